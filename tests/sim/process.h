#pragma once
// Child processes for the simulator and end-to-end tests: democomm-sim run in the background
// with its output collected line by line, and one-shot commands (mbpoll) with their output.
// Header-only; POSIX; used from one test thread.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsim {

using Env = std::map<std::string, std::string>; // value "" unsets the variable

struct Result {
    int exitCode = -1; // -1 when killed for running too long
    std::string output; // standard output and error together
};

namespace detail {

// posix_spawn rather than fork and exec: the Qt test executables have other threads, and a
// forked child of a threaded process must not allocate before exec.
inline pid_t Spawn(const std::vector<std::string>& args, const Env& env, int in, int out, int err) {
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!env.count(entry.substr(0, entry.find('='))))
            envText.push_back(entry);
    }
    for (const auto& [k, v] : env)
        if (!v.empty())
            envText.push_back(k + "=" + v);
    std::vector<char*> envp, argv;
    for (std::string& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(rc));
        return -1;
    }
    return pid;
}

inline int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace detail

// Runs a command to its end (killed after `timeoutMs`), collecting its output.
inline Result Run(const std::vector<std::string>& args, int timeoutMs = 10000, const Env& env = {}) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = detail::Spawn(args, env, devNull, pipeFds[1], pipeFds[1]);
    ::close(pipeFds[1]);
    ::close(devNull);
    Result r;
    if (pid < 0) {
        ::close(pipeFds[0]);
        return r;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool killed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        r.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exitCode = killed ? -1 : detail::DecodeStatus(status);
    return r;
}

// democomm-sim (or any program) in the background. Its standard input is a pipe the test
// holds, so closing it is the "end of input" stop; its output is read as it comes.
class Background {
public:
    Background(const std::vector<std::string>& args, const Env& env = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = detail::Spawn(args, env, in[0], out[1], out[1]);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        ::fcntl(stdout_, F_SETFL, ::fcntl(stdout_, F_GETFL) | O_NONBLOCK);
    }
    ~Background() {
        if (pid_ > 0 && !exitCode_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        CloseStdin();
        if (stdout_ >= 0)
            ::close(stdout_);
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t Pid() const { return pid_; }

    // Output lines so far (complete lines only), after reading what is available.
    const std::vector<std::string>& Lines() {
        Drain(0);
        return lines_;
    }
    std::string Output() {
        Drain(0);
        std::string all;
        for (const std::string& l : lines_)
            all += l + "\n";
        return all + partial_;
    }

    // Waits until a line satisfies `pred`; returns it, or nullopt after `timeoutMs`.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& pred, int timeoutMs = 5000,
                                           std::size_t from = 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (std::size_t i = from; i < lines_.size(); ++i)
                if (pred(lines_[i]))
                    return lines_[i];
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !Drain(static_cast<int>(left)))
                return std::nullopt;
        }
    }

    // The value of the first line "key: value".
    std::string Field(const std::string& key, int timeoutMs = 5000) {
        const std::string prefix = key + ": ";
        const auto line = WaitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeoutMs);
        return line ? line->substr(prefix.size()) : std::string();
    }

    void CloseStdin() {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }

    // Waits for the process to end; its exit code (128 + signal when killed by one), or
    // nullopt if it is still running after `timeoutMs`.
    std::optional<int> Wait(int timeoutMs = 5000) {
        if (pid_ <= 0)
            return std::nullopt; // never started
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!exitCode_) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exitCode_ = detail::DecodeStatus(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            Drain(10);
        }
        while (Drain(50)) {
        }
        return exitCode_;
    }

    // Stops the process with `sig` and waits for it.
    std::optional<int> Stop(int sig = SIGTERM, int timeoutMs = 5000) {
        if (pid_ <= 0)
            return std::nullopt; // never started: there is no process to signal
        if (!exitCode_)
            ::kill(pid_, sig);
        return Wait(timeoutMs);
    }

private:
    // Reads what arrives within `ms`; false at end of output or when nothing came.
    bool Drain(int ms) {
        if (stdout_ < 0)
            return false;
        pollfd p{stdout_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        char buf[4096];
        bool got = false;
        for (;;) {
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0)
                break;
            got = true;
            partial_.append(buf, static_cast<std::size_t>(n));
        }
        std::size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return got;
    }

    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    std::optional<int> exitCode_;
    std::vector<std::string> lines_;
    std::string partial_;
};

} // namespace testsim
