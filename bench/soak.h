#pragma once
// Exchanges at TComm level against democomm-sim with every fault flag on, each reply
// accounted for, for bench/fault_soak.
//
// The master asks for the eight set-points (function 03 from 0100 hex), whose reply the
// simulator never changes, so that every fault can be read back from the bytes: a reply
// missing (drop), the request in front (echo), 1..4 stray bytes before the reply (noise),
// exception 04 instead of the answer, the last byte damaged (bad CRC), the reply's bytes in
// two deliveries (split, its gap several read intervals long) and the reply late (delay,
// many intervals long). The faults read back must equal what the simulator says it injected
// on exit. Each exchange is also classified as a window would take its last delivery
// (CRC test, then length, then refusal), and that must be what the faults predict.
//
// User-interface thread; needs a running Qt application (events are processed while
// waiting). Header-only.

#include "../tests/sim/process.h"
#include "modbus/codec.h"
#include "serial/co.h"
#include "support/frames.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace soak {

using Bytes = std::vector<uint8_t>;

using testsupport::WithCrc;

// Resident memory of this process in KiB (VmRSS), 0 when unknown.
inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

struct Settings {
    int exchanges = 300;
    uint64_t seed = 20261206;
    double rate = 0.10;  // each of the seven fault flags
    int intervalMs = 20; // ReadIntervalTimeout: the short interval time-out
    // Both far beyond the interval, so that scheduling delays on a loaded machine cannot
    // make a prompt reply look late or join the two parts of a split one.
    int delayMs = 300;    // the simulator's --delay-ms
    int splitGapMs = 100; // the simulator's --split-gap
    std::string simPath;
};

struct FaultTally {
    long drop = 0, badCrc = 0, split = 0, delay = 0, exception = 0, noise = 0, echo = 0;
    // From the simulator's "drop=1 bad-crc=2 ..." summary.
    static FaultTally Parse(const std::string& summary) {
        FaultTally t;
        std::istringstream in(summary);
        std::string item;
        while (in >> item) {
            const auto eq = item.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = item.substr(0, eq);
            const long value = std::stol(item.substr(eq + 1));
            long* field = key == "drop"        ? &t.drop
                          : key == "bad-crc"   ? &t.badCrc
                          : key == "split"     ? &t.split
                          : key == "delay"     ? &t.delay
                          : key == "exception" ? &t.exception
                          : key == "noise"     ? &t.noise
                          : key == "echo"      ? &t.echo
                                               : nullptr;
            if (field)
                *field = value;
        }
        return t;
    }
    std::string Summary() const {
        return "drop=" + std::to_string(drop) + " bad-crc=" + std::to_string(badCrc) +
               " split=" + std::to_string(split) + " delay=" + std::to_string(delay) +
               " exception=" + std::to_string(exception) + " noise=" + std::to_string(noise) +
               " echo=" + std::to_string(echo);
    }
};

enum class Outcome { Accepted, CrcDropped, Short, Refused, TimedOut, Count };
inline const char* OutcomeName(Outcome o) {
    static const char* names[] = {"accepted", "dropped-by-crc", "short", "refused", "timed-out"};
    return names[static_cast<int>(o)];
}

struct Report {
    int exchanges = 0;
    std::array<long, static_cast<int>(Outcome::Count)> outcomes{};
    FaultTally seen;                     // faults read back from the bytes
    std::string simFaults;               // the simulator's own "faults:" summary
    std::string simFrames;               // and its "frames:" line
    int unexplained = 0;                 // exchanges whose bytes fit no combination of faults
    int mispredicted = 0;                // outcome other than the faults predict
    long rssStartKiB = 0, rssEndKiB = 0; // after the first tenth, at the end
    double seconds = 0;
    std::vector<std::string> notes; // the first few unexplained or mispredicted exchanges

    long Accounted() const {
        long n = 0;
        for (long c : outcomes)
            n += c;
        return n;
    }
    std::string Text() const {
        std::ostringstream o;
        o << "exchanges: " << exchanges << " in " << seconds << " s\n";
        o << "outcomes:";
        for (int i = 0; i < static_cast<int>(Outcome::Count); ++i)
            o << ' ' << OutcomeName(static_cast<Outcome>(i)) << '=' << outcomes[i];
        o << " (accounted " << Accounted() << ")\n";
        o << "faults read back: " << seen.Summary() << "\n";
        o << "faults injected:  " << simFaults << "\n";
        o << "simulator " << simFrames << "\n";
        o << "unexplained: " << unexplained << " mispredicted: " << mispredicted << "\n";
        o << "resident memory: " << rssStartKiB << " KiB after " << exchanges / 10 << " exchanges, "
          << rssEndKiB << " KiB at the end\n";
        for (const auto& n : notes)
            o << "  " << n << "\n";
        return o.str();
    }
};

// The window's checks on one delivery, in the order the reading windows make them.
inline Outcome Classify(const Bytes& d) {
    if (!modbus::CrcTestPasses(d))
        return Outcome::CrcDropped;
    if (!modbus::LengthTestComplete(d))
        return Outcome::Short;
    if (modbus::RefusalTestRefused(d))
        return Outcome::Refused;
    return Outcome::Accepted;
}

namespace detail {

struct Delivery {
    Bytes bytes;
    qint64 atMs; // since the request was handed over
};

inline std::string Hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (uint8_t c : b) {
        std::snprintf(t, sizeof t, "%02X ", c);
        s += t;
    }
    return s;
}

// `tail` is `reply`, or `reply` with its last byte changed.
inline int MatchTail(const Bytes& all, const Bytes& reply) {
    if (all.size() < reply.size())
        return -1;
    const std::size_t at = all.size() - reply.size();
    if (!std::equal(reply.begin(), reply.end() - 1, all.begin() + static_cast<std::ptrdiff_t>(at)))
        return -1;
    return all.back() == reply.back() ? 0 : 1;
}

} // namespace detail

inline Report Run(const Settings& s) {
    using detail::Delivery;
    Report report;
    const std::string rate = std::to_string(s.rate);
    testsim::Background sim({s.simPath,
                             "--no-alias",
                             "--quiet",
                             "--seed",
                             std::to_string(s.seed),
                             "--drop",
                             rate,
                             "--bad-crc",
                             rate,
                             "--split",
                             rate,
                             "--delay",
                             rate,
                             "--exception",
                             rate,
                             "--noise",
                             rate,
                             "--echo",
                             rate,
                             "--split-gap",
                             std::to_string(s.splitGapMs),
                             "--delay-ms",
                             std::to_string(s.delayMs)});
    const std::string port = sim.Field("port");
    if (port.empty()) {
        report.notes.push_back("democomm-sim did not start: " + sim.Output());
        return report;
    }

    TComm comm;
    comm.setCommName(QString::fromStdString(port));
    comm.setStopBits(TStopBits::_2);
    comm.setDtrControl(TDtrControl::DtrDisable);
    comm.setRtsControl(TRtsControl::RtsTransmissionAvailable);
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
    comm.setReadIntervalTimeout(static_cast<uint32_t>(s.intervalMs));
    std::vector<Delivery> deliveries;
    QElapsedTimer sinceRequest;
    comm.OnReceiveData = [&](QObject*, const void* buffer, uint16_t length) {
        const auto* p = static_cast<const uint8_t*>(buffer);
        deliveries.push_back({Bytes(p, p + length), sinceRequest.elapsed()});
    };
    comm.OpenPort();

    const Bytes request = WithCrc({0x01, 0x03, 0x01, 0x00, 0x00, 0x08});
    Bytes answer{0x01, 0x03, 0x10};
    for (uint16_t v : {120, 100, 30, 20, 2000, 400, 3000, 500}) {
        answer.push_back(static_cast<uint8_t>(v >> 8));
        answer.push_back(static_cast<uint8_t>(v));
    }
    answer = WithCrc(answer);
    const Bytes refusal = WithCrc({0x01, 0x83, 0x04});
    // Nothing at all by then: dropped (every part of a reply starts by the delay's end).
    const int quietMs = s.delayMs + s.intervalMs + 300;
    // Something came but no whole reply by then: unexplained.
    const int lastMs = s.delayMs + s.splitGapMs + s.intervalMs + 600;

    QElapsedTimer total;
    total.start();
    for (int i = 0; i < s.exchanges; ++i) {
        if (i == s.exchanges / 10)
            report.rssStartKiB = ResidentKiB();
        deliveries.clear();
        sinceRequest.start();
        if (!comm.SendData(request.data(), static_cast<uint16_t>(request.size()))) {
            report.notes.push_back("send refused at exchange " + std::to_string(i));
            break;
        }
        Bytes all;
        int kind = -1; // 0 answer, 1 refusal
        int damaged = 0;
        std::size_t consumed = 0;
        testsupport::WaitUntil(
            [&] {
                for (; consumed < deliveries.size(); ++consumed)
                    all.insert(all.end(), deliveries[consumed].bytes.begin(),
                               deliveries[consumed].bytes.end());
                for (int k = 0; k < 2 && kind < 0; ++k) {
                    const int m = detail::MatchTail(all, k == 0 ? answer : refusal);
                    if (m >= 0) {
                        kind = k;
                        damaged = m;
                    }
                }
                const qint64 t = sinceRequest.elapsed();
                return kind >= 0 || (deliveries.empty() && t > quietMs) || t > lastMs;
            },
            lastMs + 1000);
        ++report.exchanges;

        // Faults read back from the bytes.
        bool drop = false, echo = false, noise = false, split = false, delay = false;
        Outcome outcome = Outcome::TimedOut;
        if (deliveries.empty()) {
            drop = true;
        } else if (kind < 0) {
            ++report.unexplained;
            if (report.notes.size() < 10)
                report.notes.push_back("exchange " + std::to_string(i) + ": " + detail::Hex(all));
            // Let what is still on its way arrive, so that it is not taken for the next reply.
            std::size_t seen = deliveries.size();
            while (testsupport::WaitUntil([&] { return deliveries.size() > seen; }, lastMs))
                seen = deliveries.size();
            continue;
        } else {
            const Bytes& reply = kind == 0 ? answer : refusal;
            const std::size_t replyStart = all.size() - reply.size();
            std::size_t front = 0;
            if (replyStart >= request.size() &&
                std::equal(request.begin(), request.end(), all.begin())) {
                echo = true;
                front = request.size();
            }
            const std::size_t stray = replyStart - front;
            noise = stray >= 1 && stray <= 4;
            if (stray > 4) {
                ++report.unexplained;
                continue;
            }
            // Which deliveries hold the reply's first and last byte.
            std::size_t offset = 0, firstIdx = 0;
            bool foundFirst = false;
            for (std::size_t d = 0; d < deliveries.size(); ++d) {
                const std::size_t end = offset + deliveries[d].bytes.size();
                if (!foundFirst && replyStart < end) {
                    firstIdx = d;
                    foundFirst = true;
                }
                offset = end;
            }
            split = firstIdx + 1 < deliveries.size();
            // A delivery comes an interval after its last byte; a delayed one many more.
            delay = deliveries[firstIdx].atMs > s.intervalMs + s.delayMs / 2;
            outcome = Classify(deliveries.back().bytes);
            report.seen.exception += kind == 1;
            report.seen.badCrc += damaged;
        }
        report.seen.drop += drop;
        report.seen.echo += echo;
        report.seen.noise += noise;
        report.seen.split += split;
        report.seen.delay += delay;
        ++report.outcomes[static_cast<int>(outcome)];

        // What the faults predict a window would make of the last delivery.
        Outcome predicted = Outcome::Accepted;
        if (drop)
            predicted = Outcome::TimedOut;
        else if (split || damaged || noise || (echo && !delay))
            predicted = Outcome::CrcDropped;
        else if (kind == 1)
            predicted = Outcome::Short; // exception replies fail the length test first
        if (predicted != outcome) {
            ++report.mispredicted;
            if (report.notes.size() < 10)
                report.notes.push_back("exchange " + std::to_string(i) + " " +
                                       OutcomeName(outcome) + " predicted " +
                                       OutcomeName(predicted) + ": " + detail::Hex(all));
        }
    }
    report.seconds = static_cast<double>(total.elapsed()) / 1000.0;
    report.rssEndKiB = ResidentKiB();
    comm.ClosePort();

    sim.Stop(SIGTERM);
    for (const std::string& line : sim.Lines()) {
        if (line.rfind("faults: ", 0) == 0)
            report.simFaults = line.substr(8);
        if (line.rfind("frames: ", 0) == 0)
            report.simFrames = line;
    }
    return report;
}

} // namespace soak
