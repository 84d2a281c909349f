// The master exchange's receive side (master::Core) on any byte stream, split at any points
// and interleaved with requests: echoes, noise, late and cut frames, chatter. Never a reply
// accepted with a wrong CRC, slave, function or length; the counters add up at every step;
// no wait for the line outlasts its bound; and a request out always ends by its judge time.
#include "fuzz/common.h"
#include "master/core.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

namespace {

using master::Clock;
using master::Function;
using master::Outcome;
using master::Request;

Request AnyRequest(FuzzedDataProvider& in) {
    const auto slave = in.ConsumeIntegralInRange<uint8_t>(1, 247);
    const auto address = in.ConsumeIntegralInRange<uint16_t>(0, 0x0400);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return Request::ReadHoldingRegisters(slave, address, in.ConsumeIntegralInRange<uint16_t>(1, 125));
    case 1:
        return Request::ReadDiscreteInputs(slave, address, in.ConsumeIntegralInRange<uint16_t>(1, 2000));
    case 2:
        return Request::WriteSingleRegister(slave, address, in.ConsumeIntegral<uint16_t>());
    default:
        return Request::WriteMultipleRegisters(
            slave, address, std::vector<uint16_t>(in.ConsumeIntegralInRange<std::size_t>(1, 123), 7));
    }
}

// A reply the request could get: right, or an exception, with the CRC right or not.
master::Bytes AnyReply(FuzzedDataProvider& in, const Request& rq, const master::Bytes& frame) {
    const auto fn = static_cast<uint8_t>(rq.function);
    master::Bytes r;
    if (in.ConsumeBool()) {
        r = {rq.slave, static_cast<uint8_t>(fn | 0x80), in.ConsumeIntegral<uint8_t>(), 0, 0};
    } else if (rq.function == Function::WriteSingleRegister) {
        r = frame;
    } else if (rq.function == Function::WriteMultipleRegisters) {
        r.assign(frame.begin(), frame.begin() + 6);
        r.resize(8);
    } else {
        r.resize(rq.ReplyLength());
        r[0] = rq.slave;
        r[1] = fn;
        r[2] = static_cast<uint8_t>(r.size() - 5);
        for (std::size_t i = 3; i + 2 < r.size(); ++i)
            r[i] = in.ConsumeIntegral<uint8_t>();
    }
    if (in.ConsumeBool())
        fuzzsupport::FixCrc(r);
    return r;
}

void Check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    master::LineSettings settings;
    settings.baud = in.PickValueInArray({1200u, 9600u, 19200u, 115200u});
    settings.responseTimeoutMs = in.ConsumeIntegralInRange<int>(1, 1000);
    settings.charTimeoutMs = in.ConsumeIntegralInRange<int>(1, 50);
    settings.lateGuardMs = in.ConsumeIntegralInRange<int>(-1, 1000);
    settings.echo = in.PickValueInArray({master::EchoMode::Auto, master::EchoMode::On, master::EchoMode::Off});
    master::Core core(settings);
    const auto ct = core.CharacterTime();
    auto now = Clock::time_point{} + std::chrono::hours(1);
    std::optional<Request> out;
    master::Bytes frame;
    Clock::time_point sentAt{};

    const auto judge = [&] {
        if (!out)
            return;
        // The longest a request may stay out: its own line time, the time-out, the longest
        // reply and the silence that ends it.
        const auto bound = sentAt + ct * static_cast<int64_t>(frame.size() + 256) +
                           std::chrono::milliseconds(settings.responseTimeoutMs) + core.CharTimeout();
        Check(core.JudgeTime() && *core.JudgeTime() <= bound);
        const auto v = core.Judge(now);
        if (!v) {
            Check(now < bound);
            return;
        }
        const master::Bytes& r = v->reply;
        const auto fn = static_cast<uint8_t>(out->function);
        switch (v->outcome) {
        case Outcome::Ok:
        case Outcome::NotEchoed:
            Check(r.size() == out->ReplyLength() && r[0] == out->slave && r[1] == fn &&
                  modbus::CrcTestPasses(r));
            if (v->outcome == Outcome::Ok && out->function == Function::WriteSingleRegister)
                Check(r == frame);
            break;
        case Outcome::Exception:
            Check(r.size() == 5 && r[0] == out->slave && r[1] == (fn | 0x80) && r[2] == v->exceptionCode &&
                  modbus::CrcTestPasses(r));
            break;
        case Outcome::CrcFailure:
            Check(!r.empty() && !modbus::CrcTestPasses(r));
            break;
        default:
            break;
        }
        out.reset();
    };

    while (in.remaining_bytes() > 0) {
        now += std::chrono::microseconds(in.ConsumeIntegralInRange<int>(0, 30000));
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: { // a request, when none is out, at the earliest the line allows
            if (out)
                break;
            const auto at = core.SendTime(now);
            Check(at <= now + core.QuietBound() + std::chrono::milliseconds(settings.intervalMs));
            now = std::max(now, at);
            out = AnyRequest(in);
            frame = out->Frame();
            sentAt = now;
            core.Sent(*out, frame, now);
            break;
        }
        case 1: { // any bytes; some end in a good CRC so that whole frames come up
            auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
            if (in.ConsumeBool())
                fuzzsupport::FixCrc(bytes);
            core.Received(bytes, now);
            break;
        }
        case 2: // the echo, in two pieces
            if (out) {
                const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, frame.size());
                core.Received({frame.data(), cut}, now);
                core.Received({frame.data() + cut, frame.size() - cut}, now + ct);
            }
            break;
        case 3: // a reply, right or not, in two pieces
            if (out) {
                const master::Bytes r = AnyReply(in, *out, frame);
                const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, r.size());
                core.Received({r.data(), cut}, now);
                now += std::chrono::microseconds(in.ConsumeIntegralInRange<int>(0, 30000));
                core.Received({r.data() + cut, r.size() - cut}, now);
            }
            break;
        default: // the judge's own time comes
            if (core.JudgeTime())
                now = std::max(now, *core.JudgeTime());
            break;
        }
        judge();
        const master::Statistics s = core.Stats();
        Check(s.requestsSent == s.Ended() + s.inFlight && s.inFlight == (out ? 1u : 0u));
    }
    if (out) { // a request out ends by its judge time
        now = std::max(now, *core.JudgeTime());
        judge();
        Check(!out);
    }
    return 0;
}
