#pragma once
// A child process with its output read line by line, its input open until CloseStdin.
// Environment changes go through env(1) in front of the command. Needs a QCoreApplication.
#include <QDeadlineTimer>
#include <QProcess>

#include <functional>
#include <optional>
#include <signal.h>
#include <string>
#include <vector>

namespace testsim {

class Background {
public:
    explicit Background(const std::vector<std::string>& args) {
        QStringList rest;
        for (std::size_t i = 1; i < args.size(); ++i)
            rest << QString::fromStdString(args[i]);
        p_.setProcessChannelMode(QProcess::MergedChannels);
        p_.start(QString::fromStdString(args.at(0)), rest);
        p_.waitForStarted();
    }
    ~Background() { Stop(SIGKILL); }
    pid_t Pid() const { return static_cast<pid_t>(p_.processId()); }
    const std::vector<std::string>& Lines() {
        all_ += p_.readAllStandardOutput().toStdString();
        lines_.clear();
        for (std::size_t at = 0, nl; (nl = all_.find('\n', at)) != std::string::npos; at = nl + 1)
            lines_.push_back(all_.substr(at, nl - at));
        return lines_;
    }
    std::string Output() { return Lines(), all_; }
    // The first line satisfying `pred`; nullopt after `ms` or once the process has ended.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& pred,
                                           int ms = 5000) {
        QDeadlineTimer deadline(ms);
        for (std::size_t i = 0;; ++i) {
            while (i >= Lines().size())
                if (deadline.hasExpired() || !p_.waitForReadyRead(int(deadline.remainingTime())))
                    return std::nullopt;
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
    void CloseStdin() { p_.closeWriteChannel(); }
    // Sends `sig` (0: none) and waits for the end: the exit code, -1 when killed by a signal,
    // nullopt when still running after `ms`.
    std::optional<int> Stop(int sig = SIGTERM, int ms = 5000) {
        if (p_.state() != QProcess::NotRunning && sig)
            ::kill(Pid(), sig);
        if (p_.state() != QProcess::NotRunning && !p_.waitForFinished(ms))
            return std::nullopt;
        Lines();
        if (p_.error() == QProcess::FailedToStart)
            return std::nullopt;
        return p_.exitStatus() == QProcess::NormalExit ? p_.exitCode() : -1;
    }
    std::optional<int> Wait(int ms = 5000) { return Stop(0, ms); }

private:
    QProcess p_;
    std::vector<std::string> lines_;
    std::string all_;
};

} // namespace testsim
