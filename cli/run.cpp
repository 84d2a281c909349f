#include "cli/cli.h"

#include "analysis/record.h"
#include "analysis/report.h"
#include "master/session.h"
#include "modbus/codec.h"
#include "serial/errordetails.h"
#include "serial/portlist.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <pthread.h>
#include <unistd.h>

namespace cli {
namespace {

using master::Outcome;
using master::Request;
using master::Result;

// One value of a record: how text, JSON and CSV show it.
struct Item {
    std::string label, key, text, json, csv;
};
using Record = std::vector<Item>;

std::string Hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFFu);
    return b;
}

using analysis::JsonString;

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char ch : s)
        out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

Item Word(const std::string& label, const std::string& key, uint16_t raw) {
    const std::string v = modbus::RegisterText(static_cast<uint8_t>(raw >> 8), raw & 0xFF);
    return {label, key, v, v, v};
}

Item Bit(const std::string& label, const std::string& key, bool set, bool windowText) {
    return {label, key, windowText ? (set ? "是" : "否") : (set ? "1" : "0"),
            set ? "true" : "false", set ? "1" : "0"};
}

std::string FrameText(const master::Bytes& frame, bool hex) {
    if (!hex)
        return modbus::FrameLine(frame);
    std::string s;
    for (uint8_t b : frame) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X ", b);
        s += t;
    }
    return s;
}

// A wall-clock time as ISO 8601 with milliseconds and the local offset from UTC, always as
// hours and minutes ("2026-12-06T21:45:03.120+08:00", "...+00:00"), so that a record read
// elsewhere, or across a change of summer time, still names one instant.
std::string IsoTime(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t).time_since_epoch().count();
    const std::time_t secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm local{};
    ::localtime_r(&secs, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff, minutes = (offset < 0 ? -offset : offset) / 60;
    char b[64];
    std::snprintf(b, sizeof b, "%s.%03d%c%02ld:%02ld", date,
                  static_cast<int>(ms - static_cast<long long>(secs) * 1000),
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return b;
}

// "04 (slave device failure)"; a code without a standard name alone ("07").
std::string ExceptionText(uint8_t code) {
    const std::string hex = Hex4(code).substr(2);
    const char* name = modbus::ExceptionName(code);
    return name ? hex + " (" + name + ")" : hex;
}

// The exception of a result as record items: its code (hex) and name, both empty (JSON
// null) when the result is no exception, so that every record has the same fields.
Record ExceptionItems(const Result& r) {
    if (r.outcome != Outcome::Exception)
        return {{"异常码", "exception_code", "", "null", ""},
                {"异常", "exception", "", "null", ""}};
    const std::string code = Hex4(r.exceptionCode).substr(2);
    const char* name = modbus::ExceptionName(r.exceptionCode);
    return {{"异常码", "exception_code", code, JsonString(code), code},
            {"异常", "exception", name ? name : "", name ? JsonString(name) : "null",
             name ? name : ""}};
}

// Signals arrive through a pipe, so that they are handled in the event loop as ordinary code.
int SignalPipe[2] = {-1, -1};
void OnSignal(int sig) {
    const auto c = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &c, 1);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

class Runner {
public:
    explicit Runner(const Command& c) : c_(c) {}

    // The signal that ended the command (0: none); the caller ends by it once the port is
    // closed.
    int EndedBySignal() const { return signal_; }

    int Start() {
        if (c_.name == "list-ports")
            return ListPorts();
        session_.setResponseTimeout(c_.timeoutGiven || c_.name != "scan" ? c_.timeoutMs : 100);
        session_.setCharTimeout(c_.charTimeoutMs);
        session_.setEcho(c_.echo == "on"    ? master::EchoMode::On
                         : c_.echo == "off" ? master::EchoMode::Off
                                            : master::EchoMode::Auto);
        // Taken before the port is opened: from then on nothing but SIGKILL may end the
        // program without closing it, since a pseudo-terminal's far end would keep the
        // terminal's exclusive mode alive.
        TakeStopSignals();
        try {
            session_.Open(QString::fromStdString(c_.port), c_.baud);
        } catch (const ECommsError& e) {
            std::fprintf(stderr, "democomm-cli: %s\n", e.what());
            if (const std::string d = serial::CommsErrorDetails(e); !d.empty())
                std::fprintf(stderr, "%s\n", d.c_str());
            return kPortError;
        }
        QObject::connect(&session_, &master::Session::PortLost, [this] { PortGone(); });
        // Begun from the event loop, so that every end, even one decided at once, goes
        // through it.
        QTimer::singleShot(0, &session_, [this] { Begin(); });
        const int code = QCoreApplication::exec();
        ending_ = true; // the callbacks of what Close cancels have nothing more to do
        session_.Close();
        if (statisticsAtEnd_)
            PrintStatistics();
        return code;
    }

private:
    void Begin() {
        if (c_.name == "read")
            Read([this](const Record& r, std::chrono::system_clock::time_point) {
                if (Print(r, {}))
                    End(kOk);
            });
        else if (c_.name == "write")
            Write();
        else if (c_.name == "watch" && c_.what == "all" && c_.format == Format::Csv)
            RecordSample();
        else if (c_.name == "watch")
            Sample();
        else if (c_.name == "scan")
            Scan(c_.scanFrom);
    }

    // Decides the result: nothing more is sent, and the event loop ends. The port is closed
    // after it (Start).
    void End(int code, bool statistics = false) {
        if (ending_)
            return;
        ending_ = true;
        statisticsAtEnd_ = statistics;
        QCoreApplication::exit(code);
    }

    void TakeStopSignals() {
        if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &session_);
        QObject::connect(notifier, &QSocketNotifier::activated, [this] {
            unsigned char sig = 0;
            if (::read(SignalPipe[0], &sig, 1) != 1 || ending_)
                return;
            if (c_.name == "watch") {
                End(kOk, true); // the way to end a watch
                return;
            }
            signal_ = sig; // an interrupted command has no result of its own
            End(128 + sig);
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        for (int sig : kStopSignals) {
            // A signal ignored from the start stays ignored (nohup, a background job).
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
                ::sigaction(sig, &sa, nullptr);
        }
    }

    void PortGone() {
        // A network port tells why (refused, unreachable, reset, ...) and what to check.
        if (ending_)
            ;
        else if (const auto lost = LostPortError(QString::fromStdString(c_.port)))
            std::fprintf(stderr, "democomm-cli: %s\n%s\n", lost->what(),
                         serial::CommsErrorDetails(*lost).c_str());
        else
            std::fprintf(stderr, "democomm-cli: the port %s went away\n", c_.port.c_str());
        End(kPortError);
    }

    // Writes `text` to standard output at once. A write that fails (the reader has gone, the
    // disk is full) ends the program: nobody would see what follows.
    bool Out(const std::string& text) {
        if (ending_)
            return false;
        if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0)
            return true;
        std::fprintf(stderr, "democomm-cli: cannot write to standard output: %s\n",
                     std::strerror(errno));
        End(kOutputError, c_.name == "watch");
        return false;
    }

    bool ShowFrames(const Result& r) {
        if (!c_.frames)
            return true;
        std::string text = "发送:\n" + FrameText(r.requestFrame, c_.hex) + "\n";
        if (!r.replyFrame.empty())
            text += "接收:\n" + FrameText(r.replyFrame, c_.hex) + "\n";
        if (c_.format == Format::Text)
            return Out(text);
        std::fputs(text.c_str(), stderr);
        return true;
    }

    // The exit code of a failed exchange, after saying what failed.
    int Failure(const Result& r) {
        const std::string slave = std::to_string(r.request.slave);
        switch (r.outcome) {
        case Outcome::Timeout:
            std::fprintf(stderr, "democomm-cli: no reply from slave %s within %d ms\n",
                         slave.c_str(), session_.ResponseTimeout());
            return kTimeout;
        case Outcome::CrcFailure:
            std::fprintf(stderr, "democomm-cli: CRC failure in the reply of slave %s\n",
                         slave.c_str());
            return kBadReply;
        case Outcome::ShortReply:
            std::fprintf(stderr, "democomm-cli: the reply of slave %s has the wrong length\n",
                         slave.c_str());
            return kBadReply;
        case Outcome::Exception:
            std::fprintf(stderr, "democomm-cli: slave %s refused the request: exception code %s\n",
                         slave.c_str(), ExceptionText(r.exceptionCode).c_str());
            return kException;
        case Outcome::NotEchoed:
            std::fprintf(stderr, "democomm-cli: the write was not echoed as sent\n");
            return kNotEchoed;
        case Outcome::PortLost:
        case Outcome::Cancelled: // while a command runs, only the session closing for a lost
            PortGone();          // port cancels: a request that waited for the line's silence
            return kPortError;
        default:
            std::fprintf(stderr, "democomm-cli: the request could not be completed (%s)\n",
                         master::OutcomeName(r.outcome));
            return kPortError;
        }
    }

    // Sends `requests` one after the other, each only once the one before has succeeded, so
    // that nothing goes out once a failure has decided the result. `done` gets all results;
    // the first failure ends the program with its exit code, unless `onFailure` takes it (a
    // port that went away always ends it).
    struct Chain {
        std::vector<Request> requests;
        std::vector<Result> results;
        std::function<void(std::vector<Result>)> done;
        std::function<void(int)> onFailure;
    };
    void Exchange(std::vector<Request> requests, std::function<void(std::vector<Result>)> done,
                  std::function<void(int)> onFailure = {}) {
        auto chain = std::make_shared<Chain>();
        chain->requests = std::move(requests);
        chain->done = std::move(done);
        chain->onFailure = std::move(onFailure);
        Continue(std::move(chain));
    }
    void Continue(std::shared_ptr<Chain> chain) {
        if (ending_)
            return;
        if (chain->results.size() == chain->requests.size()) {
            chain->done(std::move(chain->results));
            return;
        }
        const Request& rq = chain->requests[chain->results.size()];
        const bool queued = session_.Submit(rq, [this, chain](const Result& r) {
            if (ending_ || !ShowFrames(r))
                return;
            if (r.outcome != Outcome::Ok) {
                const int code = Failure(r);
                if (code == kPortError || !chain->onFailure)
                    End(code);
                else
                    chain->onFailure(code);
                return;
            }
            chain->results.push_back(r);
            Continue(chain);
        });
        if (!queued) // the session has closed itself: the port went away
            PortGone();
    }

    // The requests a read or watch of `what` needs, and how their results become a record,
    // taken when the first request went out.
    using RecordDone = std::function<void(const Record&, std::chrono::system_clock::time_point)>;
    void Read(RecordDone done, std::function<void(int)> onFailure = {}) {
        const auto slave = static_cast<uint8_t>(c_.slave);
        const std::string& what = c_.what;
        std::vector<Request> rq;
        std::vector<const std::vector<Field>*> groups;
        if (what == "working" || what == "all") {
            rq.push_back(
                Request::ReadHoldingRegisters(slave, device::kWorkingStart, device::kWorkingCount));
            groups.push_back(&WorkingFields());
        }
        if (what == "setpoints" || (what == "all" && c_.name == "read")) {
            rq.push_back(Request::ReadHoldingRegisters(slave, device::kSetpointStart,
                                                       device::kSetpointCount));
            groups.push_back(&SetpointFields());
        }
        if (what == "switches" || what == "all") {
            rq.push_back(
                Request::ReadDiscreteInputs(slave, device::kInputStart, device::kInputCount));
            groups.push_back(&SwitchFields());
        }
        if (what == "registers")
            rq.push_back(Request::ReadHoldingRegisters(slave, c_.address, c_.count));
        if (what == "inputs")
            rq.push_back(Request::ReadDiscreteInputs(slave, c_.address, c_.count));
        Exchange(
            std::move(rq),
            [=](std::vector<Result> results) {
                Record record;
                for (std::size_t i = 0; i < results.size(); ++i) {
                    const Result& r = results[i];
                    for (std::size_t k = 0; k < r.words.size() + r.bits.size(); ++k) {
                        const Field* f = i < groups.size() ? &(*groups[i])[k] : nullptr;
                        const std::string a = Hex4(r.request.address + k);
                        const std::string label = f ? f->label : a, key = f ? f->key : a;
                        record.push_back(r.words.empty() ? Bit(label, key, r.bits[k], f != nullptr)
                                                         : Word(label, key, r.words[k]));
                    }
                }
                done(record, results.front().sentAtWall);
            },
            std::move(onFailure));
    }

    // Writes one record; `time` (empty: none) leads it. False when the output failed.
    bool Print(const Record& record, const std::string& time) {
        const bool timed = !time.empty();
        std::string out;
        if (c_.format == Format::Text) {
            for (const Item& it : record)
                out += timed ? "  " + it.label + ": " + it.text : it.label + ": " + it.text + "\n";
            if (timed)
                out = time + out + "\n";
        } else if (c_.format == Format::Json) {
            out = timed ? "{\"time\": " + JsonString(time) : "{";
            for (const Item& it : record)
                out += (out.size() > 1 ? ", " : "") + JsonString(it.key) + ": " + it.json;
            out += "}\n";
        } else {
            std::string header = timed ? "time" : "", line = timed ? CsvField(time) : "";
            for (const Item& it : record) {
                header += (header.empty() ? "" : ",") + CsvField(it.key);
                line += (line.empty() && !timed ? "" : ",") + CsvField(it.csv);
            }
            if (!csvHeaderDone_)
                out = header + "\n";
            csvHeaderDone_ = true;
            out += line + "\n";
        }
        return Out(out);
    }

    void Write() {
        const auto slave = static_cast<uint8_t>(c_.slave);
        const Request rq = c_.values.size() == 1
                               ? Request::WriteSingleRegister(slave, c_.address, c_.values[0])
                               : Request::WriteMultipleRegisters(slave, c_.address, c_.values);
        const bool queued = session_.Submit(rq, [this](const Result& r) {
            if (ending_)
                return;
            const std::string sent = FrameText(r.requestFrame, c_.hex);
            const std::string got = FrameText(r.replyFrame, c_.hex);
            std::string values, csvValues;
            for (uint16_t v : c_.values) {
                values += (values.empty() ? "" : ", ") + Word("", "", v).json;
                csvValues += (csvValues.empty() ? "" : " ") + Word("", "", v).csv;
            }
            const Record exception = ExceptionItems(r);
            char fn[4];
            std::snprintf(fn, sizeof fn, "%02X", static_cast<unsigned>(r.request.function));
            const char* outcome = master::OutcomeName(r.outcome);
            std::string out;
            if (c_.format == Format::Json) {
                out = std::string("{\"function\": \"") + fn + "\", \"address\": \"" +
                      Hex4(c_.address) + "\", \"values\": [" + values +
                      "], \"sent\": " + JsonString(sent) + ", \"received\": " + JsonString(got) +
                      ", \"outcome\": \"" + outcome +
                      "\", \"exception_code\": " + exception[0].json +
                      ", \"exception\": " + exception[1].json + "}\n";
            } else if (c_.format == Format::Csv) {
                // New columns go at the end, where scripts that count columns do not see them.
                out = std::string("function,address,sent,received,outcome,values,exception_code,"
                                  "exception\n") +
                      fn + "," + Hex4(c_.address) + "," + CsvField(sent) + "," + CsvField(got) +
                      "," + outcome + "," + CsvField(csvValues) + "," + exception[0].csv + "," +
                      CsvField(exception[1].csv) + "\n";
            } else {
                out = "发送:\n" + sent + "\n";
                if (!r.replyFrame.empty())
                    out += "接收:\n" + got + "\n";
                if (r.outcome == Outcome::Ok && c_.setpoint)
                    out += std::string(c_.setpoint->label) + ": " +
                           std::to_string(c_.setpointValue) + "\n";
            }
            if (Out(out))
                End(r.outcome == Outcome::Ok ? kOk : Failure(r));
        });
        if (!queued)
            PortGone();
    }

    // A sample of watch is taken, the one started at `started`: after the last of --count the
    // command ends (nullopt); else the milliseconds left of the interval before the next.
    std::optional<int64_t> Taken(std::chrono::steady_clock::time_point started) {
        ++taken_;
        if (c_.samples > 0 && taken_ >= c_.samples) {
            End(lastFailure_, true);
            return std::nullopt;
        }
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        return std::max<int64_t>(0, c_.intervalMs - spent.count());
    }

    void Sample() {
        if (ending_)
            return;
        const auto started = std::chrono::steady_clock::now();
        const auto next = [this, started](bool ok) {
            const std::optional<int64_t> wait = Taken(started);
            if (!wait)
                return;
            // After a good sample the next goes out from here, as this result returns. After
            // a failure it waits for the event loop, which first hands over what the failure
            // may have left behind (a late reply, the port's hang-up).
            if (ok && *wait == 0)
                Sample();
            else
                QTimer::singleShot(*wait, &session_, [this] { Sample(); });
        };
        Read(
            [=, this](const Record& r, std::chrono::system_clock::time_point at) {
                if (Print(r, IsoTime(at)))
                    next(true);
            },
            [=, this](int code) { lastFailure_ = code, next(false); });
    }

    // watch all --format csv: the monitor's record (analysis/record.h), so that the monitor
    // and `analyse` read it. Every sample has its line, a failed one too (its data empty, its
    // outcome the first failure), and the set-points are read when watching starts and once
    // a minute after.
    struct PendingSample {
        analysis::Sample s;
        std::string outcome;
        master::Clock::time_point at{};
        std::chrono::system_clock::time_point wall{};
        bool timed = false;
    };
    static constexpr auto kSetpointsEvery = std::chrono::minutes(1);

    // The outcome text of a failed exchange, as the monitor records it.
    static std::string RecordOutcome(const Result& r) {
        return r.outcome == Outcome::Exception ? "exception " + std::to_string(r.exceptionCode)
                                               : master::OutcomeName(r.outcome);
    }

    void RecordSample() {
        if (ending_)
            return;
        const auto started = std::chrono::steady_clock::now();
        if (!recordStarted_) {
            recordStarted_ = true;
            recordOrigin_ = master::Clock::now();
            if (!Out(std::string(analysis::RecordByteOrderMark) +
                     analysis::RecordHeader().toStdString()))
                return;
        }
        const auto slave = static_cast<uint8_t>(c_.slave);
        if (!setpointsRead_ || master::Clock::now() - lastSetpoints_ >= kSetpointsEvery) {
            setpointsRead_ = true;
            lastSetpoints_ = master::Clock::now();
            const bool queued = session_.Submit(
                Request::ReadHoldingRegisters(slave, device::kSetpointStart,
                                              device::kSetpointCount),
                [this, started](const Result& r) {
                    if (ending_ || !ShowFrames(r))
                        return;
                    if (r.outcome == Outcome::PortLost || r.outcome == Outcome::Cancelled) {
                        End(Failure(r), true);
                        return;
                    }
                    if (r.outcome != Outcome::Ok) {
                        lastFailure_ = Failure(r); // tried again in a minute
                    } else {
                        analysis::SetpointReading reading;
                        reading.t = std::chrono::duration<double>(r.sentAt - recordOrigin_).count();
                        for (std::size_t i = 0; i < r.words.size() && i < reading.values.size();
                             ++i)
                            reading.values[i] = device::Decode(r.words[i]);
                        if (!Out(analysis::RecordSetpointLine(WallTime(r.sentAtWall), reading,
                                                              c_.slave)
                                     .toStdString()))
                            return;
                    }
                    TakeRecordSample(started);
                });
            if (!queued)
                PortGone();
            return;
        }
        TakeRecordSample(started);
    }

    static QDateTime WallTime(std::chrono::system_clock::time_point t) {
        return QDateTime::fromMSecsSinceEpoch(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    }

    void TakeRecordSample(std::chrono::steady_clock::time_point started) {
        const auto slave = static_cast<uint8_t>(c_.slave);
        auto pending = std::make_shared<PendingSample>();
        pending->at = master::Clock::now();
        pending->wall = std::chrono::system_clock::now();
        const auto take = [this, pending](const Result& r) {
            if (ending_ || !ShowFrames(r))
                return false;
            if (r.outcome == Outcome::PortLost || r.outcome == Outcome::Cancelled) {
                End(Failure(r), true);
                return false;
            }
            if (r.sent && !pending->timed) {
                pending->timed = true;
                pending->at = r.sentAt;
                pending->wall = r.sentAtWall;
            }
            if (r.outcome == Outcome::Ok) {
                for (std::size_t i = 0; i < r.words.size() && i < pending->s.values.size(); ++i)
                    pending->s.values[i] = static_cast<int16_t>(device::Decode(r.words[i]));
                for (std::size_t k = 0; k < r.bits.size() && k < device::kInputCount; ++k)
                    pending->s.states |= uint16_t(r.bits[k] ? 1u << k : 0u);
                pending->s.have |= r.words.empty() ? analysis::HaveStates : analysis::HaveValues;
            } else if (pending->outcome.empty()) {
                pending->outcome = RecordOutcome(r);
                lastFailure_ = Failure(r);
            }
            return true;
        };
        const bool queued =
            session_.Submit(
                Request::ReadHoldingRegisters(slave, device::kWorkingStart, device::kWorkingCount),
                [take](const Result& r) { take(r); }) &&
            session_.Submit(
                Request::ReadDiscreteInputs(slave, device::kInputStart, device::kInputCount),
                [this, take, pending, started](const Result& r) {
                    if (!take(r))
                        return;
                    analysis::Sample& s = pending->s;
                    s.t = std::chrono::duration<double>(pending->at - recordOrigin_).count();
                    if (!Out(analysis::RecordSampleLine(
                                 WallTime(pending->wall), s, c_.slave,
                                 QString::fromStdString(
                                     pending->outcome.empty() ? "ok" : pending->outcome))
                                 .toStdString()))
                        return;
                    if (const std::optional<int64_t> wait = Taken(started))
                        QTimer::singleShot(*wait, &session_, [this] { RecordSample(); });
                });
        if (!queued)
            PortGone();
    }

    void PrintStatistics() {
        const master::Statistics s = session_.Stats();
        const auto ms = [](std::chrono::microseconds t) { return t.count() / 1000.0; };
        const bool replied = s.lastAcceptedAt != master::Clock::time_point{};
        const double since =
            replied ? std::chrono::duration<double>(master::Clock::now() - s.lastAcceptedAt).count()
                    : 0;
        const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
        const char* name =
            s.exceptionReplies ? modbus::ExceptionName(s.lastExceptionCode) : nullptr;
        if (c_.format == Format::Json) {
            char sinceText[32] = "null";
            if (replied)
                std::snprintf(sinceText, sizeof sinceText, "%.3f", since);
            std::fprintf(stderr,
                         "{\"statistics\": {\"requests_sent\": %llu, \"replies_accepted\": %llu, "
                         "\"crc_failures\": %llu, \"short_replies\": %llu, \"exceptions\": %llu, "
                         "\"last_exception_code\": %u, \"last_exception\": %s, \"timeouts\": %llu, "
                         "\"not_echoed\": %llu, \"aborted\": %llu, \"in_flight\": %llu, "
                         "\"late_replies\": %llu, \"echoes_skipped\": %llu, "
                         "\"quiet_waits_cut\": %llu, \"last_ms\": %.3f, "
                         "\"mean_ms\": %.3f, \"p95_ms\": %.3f, \"max_ms\": %.3f, "
                         "\"seconds_since_last_reply\": %s}}\n",
                         n(s.requestsSent), n(s.repliesAccepted), n(s.crcFailures),
                         n(s.shortReplies), n(s.exceptionReplies), s.lastExceptionCode,
                         name ? JsonString(name).c_str() : "null", n(s.timeouts), n(s.notEchoed),
                         n(s.aborted), n(s.inFlight), n(s.lateReplies), n(s.echoesSkipped),
                         n(s.quietWaitsCut), ms(s.lastReplyTime), ms(s.meanReplyTime),
                         ms(s.p95ReplyTime), ms(s.maxReplyTime), sinceText);
            return;
        }
        const std::string code = s.exceptionReplies ? ExceptionText(s.lastExceptionCode) : "-";
        char last[32] = "-";
        if (replied)
            std::snprintf(last, sizeof last, "%.1f s", since);
        std::fprintf(stderr,
                     "链路统计: 发送 %llu, 接受 %llu, CRC错误 %llu, 长度错误 %llu, 异常 %llu "
                     "(最后代码 %s), 超时 %llu, 回写不符 %llu, 中止 %llu, 进行中 %llu, "
                     "迟到回复 %llu, 跳过回波 %llu, 未等到静默 %llu\n"
                     "回复时间: 最近 %.1f ms, 平均 %.1f ms, p95 %.1f ms, 最大 %.1f ms; "
                     "距上次接受回复 %s\n",
                     n(s.requestsSent), n(s.repliesAccepted), n(s.crcFailures), n(s.shortReplies),
                     n(s.exceptionReplies), code.c_str(), n(s.timeouts), n(s.notEchoed),
                     n(s.aborted), n(s.inFlight), n(s.lateReplies), n(s.echoesSkipped),
                     n(s.quietWaitsCut), ms(s.lastReplyTime), ms(s.meanReplyTime),
                     ms(s.p95ReplyTime), ms(s.maxReplyTime), last);
    }

    // An address answers when a reply from it passed the CRC check: a normal or an exception
    // reply. A damaged reply (CRC, length) may be another slave's late reply or noise, so it
    // is reported but not counted; a port that goes away ends the scan.
    void Scan(int slave) {
        if (ending_)
            return;
        if (slave > c_.scanTo) {
            End(answered_ > 0 ? kOk : damaged_ > 0 ? kBadReply : kTimeout);
            return;
        }
        session_.setLateGuard(0); // a late reply is recognised by its slave address anyway
        const bool queued = session_.Submit(
            Request::ReadHoldingRegisters(static_cast<uint8_t>(slave), 0, 1),
            [this, slave](const Result& r) {
                if (ending_ || !ShowFrames(r))
                    return;
                const char* o = master::OutcomeName(r.outcome);
                switch (r.outcome) {
                case Outcome::Ok:
                case Outcome::Exception: {
                    ++answered_;
                    bool written = false;
                    if (c_.format == Format::Text) {
                        const std::string what =
                            r.outcome == Outcome::Ok
                                ? std::string(o)
                                : std::string(o) + " " + ExceptionText(r.exceptionCode);
                        written =
                            Out("从机号 " + std::to_string(slave) + ": 应答 (" + what + ")\n");
                    } else {
                        const std::string n = std::to_string(slave);
                        Record record{{"从机号", "slave", n, n, n},
                                      {"应答", "outcome", o, JsonString(o), o}};
                        for (Item& it : ExceptionItems(r))
                            record.push_back(std::move(it));
                        written = Print(record, {});
                    }
                    if (!written)
                        return;
                    break;
                }
                case Outcome::Timeout:
                    break;
                case Outcome::PortLost:
                case Outcome::Cancelled:
                    End(Failure(r));
                    return;
                default:
                    ++damaged_;
                    std::fprintf(stderr,
                                 "democomm-cli: slave %d: a damaged reply (%s), not counted as "
                                 "an answer\n",
                                 slave, o);
                    break;
                }
                Scan(slave + 1);
            });
        if (!queued)
            PortGone();
    }

    int ListPorts() {
        const auto ports = serial::ListPorts();
        if (c_.format == Format::Text)
            return Out(serial::FormatPortTable(ports)) ? kOk : kOutputError;
        for (const auto& p : ports) {
            const char* held = p.state.held == serial::PortHeld::Yes  ? "yes"
                               : p.state.held == serial::PortHeld::No ? "no"
                                                                      : "unknown";
            const bool ok = p.state.accessible;
            if (!Print({{"", "name", "", JsonString(p.name), p.name},
                        {"", "device", "", JsonString(p.device), p.device},
                        {"", "stable_path", "", JsonString(p.stablePath), p.stablePath},
                        {"", "description", "", JsonString(p.description), p.description},
                        {"", "accessible", "", ok ? "true" : "false", ok ? "yes" : "no"},
                        {"", "busy", "", JsonString(held), held}},
                       {}))
                return kOutputError;
        }
        return kOk;
    }

    const Command c_;
    master::Session session_;
    bool ending_ = false;
    bool statisticsAtEnd_ = false;
    int signal_ = 0;
    bool csvHeaderDone_ = false;
    long long taken_ = 0;
    int lastFailure_ = kOk;
    int answered_ = 0, damaged_ = 0;
    bool recordStarted_ = false, setpointsRead_ = false;
    master::Clock::time_point recordOrigin_{}, lastSetpoints_{};
};

// analyse: the record's attempts and verdicts on standard output.
int Analyse(const Command& c) {
    analysis::Analyser analyser;
    analysis::RecordStats stats;
    const QString path = QString::fromLocal8Bit(c.file.c_str());
    switch (analysis::LoadRecord(path, analyser, stats)) {
    case analysis::RecordError::None:
        break;
    case analysis::RecordError::CannotOpen:
        std::fprintf(stderr, "democomm-cli: cannot read %s: %s\n", c.file.c_str(),
                     std::strerror(errno));
        return kRecordError;
    case analysis::RecordError::NotARecord:
        std::fprintf(stderr,
                     "democomm-cli: %s is not a record written by democomm (its first line is "
                     "not the record's header)\n",
                     c.file.c_str());
        return kRecordError;
    }
    if (stats.skipped)
        std::fprintf(stderr,
                     "democomm-cli: %lld lines of %s could not be read and were skipped "
                     "(the first is line %lld)\n",
                     stats.skipped, c.file.c_str(), stats.firstSkipped);
    const analysis::TimeText time = analysis::RecordTimeText(stats);
    std::string out;
    if (c.format == Format::Json) {
        out = "{\"record\": {\"file\": " + analysis::JsonString(c.file) +
              ", \"samples\": " + std::to_string(stats.samples) +
              ", \"setpoint_readings\": " + std::to_string(stats.setpoints) +
              ", \"skipped_lines\": " + std::to_string(stats.skipped) +
              ", \"slave\": " + std::to_string(stats.slave) + "}, " +
              analysis::Json(analyser, time).substr(1);
    } else {
        out = "记录: " + c.file + ", 采样 " + std::to_string(stats.samples) + ", 设定值读取 " +
              std::to_string(stats.setpoints) + ", 跳过 " + std::to_string(stats.skipped) +
              " 行\n" + analysis::Text(analyser, time);
    }
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "democomm-cli: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return kOutputError;
    }
    return analysis::Summarise(analyser.Attempts()).Clean() ? kOk : kFinding;
}

} // namespace

int Run(const Command& command) {
    // A closed pipe on standard output must not kill us with the port open: the write fails
    // instead, and that ends the program (kOutputError).
    std::signal(SIGPIPE, SIG_IGN);
    if (command.name == "analyse")
        return Analyse(command);
    int code = kOk, sig = 0;
    {
        Runner runner(command);
        code = runner.Start();
        sig = runner.EndedBySignal();
    } // the port is closed here
    if (sig) {
        // End as the signal would have ended us, now that the port is closed: a shell then
        // sees an interrupted command (and stops a script on Ctrl-C).
        std::signal(sig, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(sig);
    }
    return code;
}

} // namespace cli
