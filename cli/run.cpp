#include "cli/cli.h"

#include "master/session.h"
#include "modbus/codec.h"
#include "serial/errordetails.h"
#include "serial/portlist.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
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

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        if (static_cast<unsigned char>(ch) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", ch);
            out += b;
            continue;
        }
        out += ch;
    }
    return out + "\"";
}

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

int SignalPipe[2] = {-1, -1};
void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &c, 1);
}

class Runner {
public:
    explicit Runner(const Command& c) : c_(c) {}

    int Start() {
        if (c_.name == "list-ports")
            return ListPorts();
        session_.setResponseTimeout(c_.timeoutGiven || c_.name != "scan" ? c_.timeoutMs : 100);
        try {
            session_.Open(QString::fromStdString(c_.port), c_.baud);
        } catch (const ECommsError& e) {
            std::fprintf(stderr, "democomm-cli: %s\n", e.what());
            if (const std::string d = serial::CommsErrorDetails(e); !d.empty())
                std::fprintf(stderr, "%s\n", d.c_str());
            return kPortError;
        }
        QObject::connect(&session_, &master::Session::PortLost, [this] {
            // A network port tells why (refused, unreachable, reset, ...) and what to check.
            if (const auto lost = LostPortError(QString::fromStdString(c_.port)))
                std::fprintf(stderr, "democomm-cli: %s\n%s\n", lost->what(),
                             serial::CommsErrorDetails(*lost).c_str());
            else
                std::fprintf(stderr, "democomm-cli: the port %s went away\n", c_.port.c_str());
            Quit(kPortError);
        });
        if (c_.name == "read")
            Read([this](const Record& r) {
                Print(r, false);
                Quit(kOk);
            });
        else if (c_.name == "write")
            Write();
        else if (c_.name == "watch")
            Watch();
        else if (c_.name == "scan")
            Scan(c_.scanFrom);
        return QCoreApplication::exec();
    }

private:
    void Quit(int code) {
        if (!quitting_)
            QCoreApplication::exit(code);
        quitting_ = true;
    }

    void ShowFrames(const Result& r) {
        if (!c_.frames)
            return;
        FILE* to = c_.format == Format::Text ? stdout : stderr;
        std::fprintf(to, "发送:\n%s\n", FrameText(r.requestFrame, c_.hex).c_str());
        if (!r.replyFrame.empty())
            std::fprintf(to, "接收:\n%s\n", FrameText(r.replyFrame, c_.hex).c_str());
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
            std::fprintf(stderr,
                         "democomm-cli: slave %s refused the request: exception code %02X\n",
                         slave.c_str(), r.exceptionCode);
            return kException;
        case Outcome::NotEchoed:
            std::fprintf(stderr, "democomm-cli: the write was not echoed as sent\n");
            return kNotEchoed;
        case Outcome::PortLost:
        case Outcome::Cancelled: // only the session closing for a lost port cancels here
            return kPortError;   // said once, when the session reports the port lost
        default:
            std::fprintf(stderr, "democomm-cli: the request could not be completed (%s)\n",
                         master::OutcomeName(r.outcome));
            return kPortError;
        }
    }

    // Submits `requests` in order; `done` gets all results once every one succeeded. The
    // first failure ends the program with its exit code, unless `onFailure` takes it.
    void Exchange(std::vector<Request> requests, std::function<void(std::vector<Result>)> done,
                  std::function<void(int)> onFailure = {}) {
        auto results = std::make_shared<std::vector<Result>>();
        auto failed = std::make_shared<bool>(false);
        const std::size_t n = requests.size();
        for (const Request& rq : requests)
            session_.Submit(rq, [=, this](const Result& r) {
                if (*failed)
                    return;
                ShowFrames(r);
                if (r.outcome != Outcome::Ok) {
                    *failed = true;
                    const int code = Failure(r);
                    onFailure ? onFailure(code) : Quit(code);
                    return;
                }
                results->push_back(r);
                if (results->size() == n)
                    done(std::move(*results));
            });
    }

    // The requests a read or watch of `what` needs, and how their results become a record.
    void Read(std::function<void(const Record&)> done, std::function<void(int)> onFailure = {}) {
        const auto slave = static_cast<uint8_t>(c_.slave);
        const std::string& what = c_.what;
        std::vector<Request> rq;
        std::vector<const std::vector<Field>*> groups;
        if (what == "working" || what == "all") {
            rq.push_back(Request::ReadHoldingRegisters(slave, 0x0000, 5));
            groups.push_back(&WorkingFields());
        }
        if (what == "setpoints" || (what == "all" && c_.name == "read")) {
            rq.push_back(Request::ReadHoldingRegisters(slave, 0x0100, 8));
            groups.push_back(&SetpointFields());
        }
        if (what == "switches" || what == "all") {
            rq.push_back(Request::ReadDiscreteInputs(slave, 0x0300, 12));
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
                done(record);
            },
            std::move(onFailure));
    }

    void Print(const Record& record, bool timed) {
        std::string out;
        const std::string time =
            QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString();
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
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
    }

    void Write() {
        const auto slave = static_cast<uint8_t>(c_.slave);
        const Request rq = c_.values.size() == 1
                               ? Request::WriteSingleRegister(slave, c_.address, c_.values[0])
                               : Request::WriteMultipleRegisters(slave, c_.address, c_.values);
        session_.Submit(rq, [this](const Result& r) {
            const std::string sent = FrameText(r.requestFrame, c_.hex);
            const std::string got = FrameText(r.replyFrame, c_.hex);
            if (c_.format == Format::Json) {
                std::string values;
                for (uint16_t v : c_.values)
                    values += (values.empty() ? "" : ", ") + Word("", "", v).json;
                std::printf("{\"function\": \"%02X\", \"address\": \"%s\", \"values\": [%s], "
                            "\"sent\": %s, \"received\": %s, \"outcome\": \"%s\"}\n",
                            static_cast<unsigned>(r.request.function), Hex4(c_.address).c_str(),
                            values.c_str(), JsonString(sent).c_str(), JsonString(got).c_str(),
                            master::OutcomeName(r.outcome));
            } else if (c_.format == Format::Csv) {
                std::printf("function,address,sent,received,outcome\n%02X,%s,%s,%s,%s\n",
                            static_cast<unsigned>(r.request.function), Hex4(c_.address).c_str(),
                            CsvField(sent).c_str(), CsvField(got).c_str(),
                            master::OutcomeName(r.outcome));
            } else {
                std::printf("发送:\n%s\n", sent.c_str());
                if (!r.replyFrame.empty())
                    std::printf("接收:\n%s\n", got.c_str());
                if (r.outcome == Outcome::Ok && c_.setpoint)
                    std::printf("%s: %d\n", c_.setpoint->label, c_.setpointValue);
            }
            std::fflush(stdout);
            Quit(r.outcome == Outcome::Ok ? kOk : Failure(r));
        });
    }

    void Watch() {
        ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK);
        auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &session_);
        QObject::connect(notifier, &QSocketNotifier::activated, [this] {
            PrintStatistics();
            Quit(kOk);
        });
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        Sample();
    }

    void Sample() {
        const auto started = std::chrono::steady_clock::now();
        const auto next = [this, started](bool ok) {
            ++taken_;
            if (c_.samples > 0 && taken_ >= c_.samples) {
                PrintStatistics();
                Quit(lastFailure_);
                return;
            }
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
            // After a good sample the next goes out from here, as this result returns. After
            // a failure it waits for the event loop, which first hands over what the failure
            // may have left behind (a port that went away fails every send at once).
            if (ok && spent.count() >= c_.intervalMs)
                Sample();
            else
                QTimer::singleShot(std::max<int64_t>(0, c_.intervalMs - spent.count()), &session_,
                                   [this] { Sample(); });
        };
        Read([=, this](const Record& r) { Print(r, true), next(true); },
             [=, this](int code) { lastFailure_ = code, next(false); });
    }

    void PrintStatistics() {
        const master::Statistics s = session_.Stats();
        const auto ms = [](std::chrono::microseconds t) { return t.count() / 1000.0; };
        const double since =
            s.lastAcceptedAt == master::Clock::time_point{}
                ? -1
                : std::chrono::duration<double>(master::Clock::now() - s.lastAcceptedAt).count();
        if (c_.format == Format::Json) {
            std::fprintf(stderr,
                         "{\"statistics\": {\"requests_sent\": %llu, \"replies_accepted\": %llu, "
                         "\"crc_failures\": %llu, \"short_replies\": %llu, \"exceptions\": %llu, "
                         "\"last_exception_code\": %u, \"timeouts\": %llu, \"not_echoed\": %llu, "
                         "\"late_replies\": %llu, \"echoes_skipped\": %llu, \"last_ms\": %.3f, "
                         "\"mean_ms\": %.3f, \"p95_ms\": %.3f, \"max_ms\": %.3f, "
                         "\"seconds_since_last_reply\": %.3f}}\n",
                         (unsigned long long)s.requestsSent, (unsigned long long)s.repliesAccepted,
                         (unsigned long long)s.crcFailures, (unsigned long long)s.shortReplies,
                         (unsigned long long)s.exceptionReplies, s.lastExceptionCode,
                         (unsigned long long)s.timeouts, (unsigned long long)s.notEchoed,
                         (unsigned long long)s.lateReplies, (unsigned long long)s.echoesSkipped,
                         ms(s.lastReplyTime), ms(s.meanReplyTime), ms(s.p95ReplyTime),
                         ms(s.maxReplyTime), since);
            return;
        }
        const std::string code = s.exceptionReplies ? Hex4(s.lastExceptionCode).substr(2) : "-";
        char last[32] = "-";
        if (since >= 0)
            std::snprintf(last, sizeof last, "%.1f s", since);
        std::fprintf(stderr,
                     "链路统计: 发送 %llu, 接受 %llu, CRC错误 %llu, 长度错误 %llu, 异常 %llu "
                     "(最后代码 %s), 超时 %llu, 回写不符 %llu, 迟到回复 %llu, 跳过回波 %llu\n"
                     "回复时间: 最近 %.1f ms, 平均 %.1f ms, p95 %.1f ms, 最大 %.1f ms; "
                     "距上次接受回复 %s\n",
                     (unsigned long long)s.requestsSent, (unsigned long long)s.repliesAccepted,
                     (unsigned long long)s.crcFailures, (unsigned long long)s.shortReplies,
                     (unsigned long long)s.exceptionReplies, code.c_str(),
                     (unsigned long long)s.timeouts, (unsigned long long)s.notEchoed,
                     (unsigned long long)s.lateReplies, (unsigned long long)s.echoesSkipped,
                     ms(s.lastReplyTime), ms(s.meanReplyTime), ms(s.p95ReplyTime),
                     ms(s.maxReplyTime), last);
    }

    void Scan(int slave) {
        if (slave > c_.scanTo) {
            Quit(answered_ > 0 ? kOk : kTimeout);
            return;
        }
        session_.setLateGuard(0); // a late reply is recognised by its slave address anyway
        session_.Submit(Request::ReadHoldingRegisters(static_cast<uint8_t>(slave), 0, 1),
                        [this, slave](const Result& r) {
                            ShowFrames(r);
                            if (r.outcome != Outcome::Timeout) {
                                ++answered_;
                                const char* o = master::OutcomeName(r.outcome);
                                if (c_.format == Format::Text)
                                    std::printf("从机号 %d: 应答 (%s)\n", slave, o);
                                else
                                    Print({{"从机号", "slave", std::to_string(slave),
                                            std::to_string(slave), std::to_string(slave)},
                                           {"应答", "outcome", o, JsonString(o), o}},
                                          false);
                            }
                            Scan(slave + 1);
                        });
    }

    int ListPorts() {
        const auto ports = serial::ListPorts();
        if (c_.format == Format::Text) {
            std::fputs(serial::FormatPortTable(ports).c_str(), stdout);
            return kOk;
        }
        for (const auto& p : ports) {
            const char* held = p.state.held == serial::PortHeld::Yes  ? "yes"
                               : p.state.held == serial::PortHeld::No ? "no"
                                                                      : "unknown";
            const bool ok = p.state.accessible;
            Print({{"", "name", "", JsonString(p.name), p.name},
                   {"", "device", "", JsonString(p.device), p.device},
                   {"", "stable_path", "", JsonString(p.stablePath), p.stablePath},
                   {"", "description", "", JsonString(p.description), p.description},
                   {"", "accessible", "", ok ? "true" : "false", ok ? "yes" : "no"},
                   {"", "busy", "", JsonString(held), held}},
                  false);
        }
        return kOk;
    }

    const Command c_;
    master::Session session_;
    bool quitting_ = false;
    bool csvHeaderDone_ = false;
    long long taken_ = 0;
    int lastFailure_ = kOk;
    int answered_ = 0;
};

} // namespace

int Run(const Command& command) {
    Runner runner(command);
    return runner.Start();
}

} // namespace cli
