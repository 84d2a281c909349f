#pragma once
// A child process with its output read line by line, its input open until CloseStdin.
// Environment changes go through env(1) in front of the command.
//
// posix_spawn, not QProcess: QProcess starts its child in the parent's memory and runs Qt's
// own code there before exec, which ThreadSanitizer cannot follow (it then misses the parent's
// locks and reports races that are not there); and a forked child of a threaded test must not
// allocate before exec.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsim {

class Background {
public:
    explicit Background(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Background() {
        Stop(SIGKILL);
        CloseStdin();
        if (stdout_ >= 0)
            ::close(stdout_);
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t Pid() const { return pid_; }
    // The complete lines so far, after reading what is there.
    const std::vector<std::string>& Lines() {
        Read(0);
        return lines_;
    }
    std::string Output() { return Lines(), all_; }
    // The first line satisfying `pred`; nullopt after `ms` or once the output has ended.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& pred,
                                           int ms = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (std::size_t i = 0;; ++i) {
            while (i >= Lines().size()) {
                const auto left = Left(deadline);
                if (left <= 0 || !Read(left))
                    return std::nullopt;
            }
            if (pred(lines_[i]))
                return lines_[i];
        }
    }
    // The value of the first line "key: value".
    std::string Field(const std::string& key) {
        const auto l =
            WaitForLine([&](const std::string& l) { return l.rfind(key + ": ", 0) == 0; });
        return l ? l->substr(key.size() + 2) : std::string();
    }
    void CloseStdin() {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }
    // Sends `sig` (0: none) and waits for the end: the exit code, -1 when killed by a signal,
    // nullopt when still running after `ms` (or never started).
    std::optional<int> Stop(int sig = SIGTERM, int ms = 5000) {
        if (pid_ <= 0)
            return status_;
        if (sig)
            ::kill(pid_, sig);
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                Lines();
                return status_;
            }
            const auto left = Left(deadline);
            if (left <= 0)
                return std::nullopt;
            Read(std::min<long>(left, 10)); // keeps the pipe from filling while it ends
        }
    }
    std::optional<int> Wait(int ms = 5000) { return Stop(0, ms); }

private:
    using Clock = std::chrono::steady_clock;
    static long Left(Clock::time_point deadline) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
            .count();
    }
    // Reads what arrives within `ms` (0: what is there) and all that follows at once; false
    // once the output has ended.
    bool Read(long ms) {
        for (long wait = ms; stdout_ >= 0; wait = 0) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(wait)) <= 0)
                return true;
            char buf[4096];
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) {
                ::close(stdout_);
                stdout_ = -1;
                break;
            }
            all_.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = all_.find('\n', split_)) != std::string::npos;
                 split_ = nl + 1)
                lines_.push_back(all_.substr(split_, nl - split_));
        }
        return false;
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    int stdin_ = -1, stdout_ = -1;
    std::vector<std::string> lines_;
    std::string all_;
    std::size_t split_ = 0; // where the first line not yet in lines_ starts
};

// The command that starts democomm-sim for a table of its faults: a port of its own (no
// alias), a fixed seed, and `faults`. Against FaultTableTimeoutMs, the response time-out the
// tables use (and the late guard, which is as long): a reply delayed 250 ms outlasts the
// time-out and comes within the guard after it; the gap of a split reply, 100 ms, outlasts
// the silence that ends a reply and comes within the guard.
constexpr int FaultTableTimeoutMs = 150;
// The closings `sim` logged (when its advance action rose, Unix ms) strictly between `fromMs`
// and `toMs`.
inline std::vector<double> LoggedClosings(Background& sim, double fromMs, double toMs) {
    std::vector<double> closings;
    for (const std::string& l : sim.Lines())
        if (const auto at = l.find("advance action at unix ms "); at != std::string::npos) {
            const double ms = std::stod(l.substr(at + 26));
            if (ms > fromMs && ms < toMs)
                closings.push_back(ms);
        }
    return closings;
}

inline std::vector<std::string> FaultSimulator(const std::string& simPath,
                                               const std::vector<std::string>& faults) {
    std::vector<std::string> cmd{simPath,      "--no-alias", "--quiet",     "--seed", "3",
                                 "--delay-ms", "250",        "--split-gap", "100"};
    cmd.insert(cmd.end(), faults.begin(), faults.end());
    return cmd;
}

} // namespace testsim
