// The simulator's parts: frame finder, faults, register map, command line and alias.
#include "modbus/codec.h"
#include "sim/alias.h"
#include "sim/device.h"
#include "sim/faults.h"
#include "sim/framer.h"
#include "sim/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using sim::FoundBytes;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

const auto Req = [](Bytes b) { return sim::AppendCrc(b), b; };
const auto Read = [](uint8_t slave, uint8_t fn, uint16_t start, uint16_t count) {
    const auto r = modbus::BuildRequest(slave, fn, start, count);
    return Bytes(r.begin(), r.end());
};
const auto Cat = [](Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
const auto F = [](Bytes b) { return FoundBytes{FoundBytes::Kind::Frame, std::move(b)}; };
const auto J = [](Bytes b) { return FoundBytes{FoundBytes::Kind::Garbage, std::move(b)}; };

// Each case: two chunks, the second `gap` after the first; what is found after a silence.
TEST(Framer, FramesByLengthOrSilenceNoiseAndGaps) {
    const Bytes r3 = Read(1, 3, 0, 5), w06 = Req({1, 6, 1, 0, 1, 0xF4}),
                w10 = Req({1, 16, 1, 0, 0, 1, 2, 0, 5});
    const Bytes noLength = Req({1, 0x2B, 0x0E, 1, 0}), other = Req({2, 3, 2, 0, 1});
    const Bytes head(r3.begin(), r3.begin() + 3), tail(r3.begin() + 3, r3.end()),
        badCrc = Cat(head, {0, 0, 5, 0x85, 0xC8});
    const std::tuple<Bytes, std::chrono::microseconds, Bytes, std::vector<FoundBytes>> cases[] = {
        {head, 3ms, tail, {F(r3)}}, // pieces within the 4 ms silence
        {Cat(r3, w06), 0ms, Cat(w10, r3), {F(r3), F(w06), F(w10), F(r3)}},
        {{0xFF, 0}, 0ms, r3, {J({0xFF, 0}), F(r3)}},
        {head, 5ms, tail, {J(head), J(tail)}},
        {head, 5ms, r3, {J(head), F(r3)}},
        {badCrc, 0ms, {}, {J(badCrc)}},
        {noLength, 0ms, {}, {F(noLength)}},
        {{1, 0x10, 0, 0, 0, 0x80, 0xFF}, 1ms, r3, {J({1, 0x10, 0, 0, 0, 0x80, 0xFF}), F(r3)}},
        {other, 5ms, r3, {F(other), F(r3)}},
    };
    for (const auto& [first, gap, second, found] : cases) {
        sim::FrameFinder finder(sim::SilenceFor(9600));
        auto got = finder.Feed(first, sim::Clock::time_point{});
        const sim::Clock::time_point t = sim::Clock::time_point{} + gap;
        for (const auto& part : {finder.Idle(t), finder.Feed(second, t), finder.Idle(t + 1s)})
            got.insert(got.end(), part.begin(), part.end());
        EXPECT_TRUE(got == found) << modbus::FrameLine(first) << "/" << modbus::FrameLine(second);
    }
    EXPECT_EQ(sim::SilenceFor(9600), 4011us);
    EXPECT_EQ(sim::SilenceFor(115200), 1750us) << "fixed minimum above 19200 baud";
    sim::FrameFinder finder(4ms);
    finder.Feed(noLength, sim::Clock::time_point{});
    EXPECT_TRUE(finder.Idle(sim::Clock::time_point{} + 3999us).empty());
    EXPECT_EQ(finder.Idle(sim::Clock::time_point{} + 4ms).size(), 1u);
}

TEST(Faults, EachFaultAloneAndASeedRepeatsARun) {
    const Bytes request = Read(1, 3, 0, 1), reply = Req({1, 3, 2, 3, 0xE8});
    auto plan = [&](sim::FaultRates rates, uint64_t seed = 1) {
        std::vector<std::string> notes;
        return sim::FaultInjector(rates, seed, 4ms).Plan(request, reply, "regs", notes);
    };
    EXPECT_TRUE(plan({.drop = 1}).empty());
    const Bytes damaged = plan({.badCrc = 1}).at(0).bytes;
    EXPECT_TRUE(damaged != reply &&
                Bytes(damaged.begin(), damaged.end() - 1) == Bytes(reply.begin(), reply.end() - 1));
    const auto split = plan({.split = 1, .splitGapMs = 1500});
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(Cat(split[0].bytes, split[1].bytes), reply);
    for (uint64_t seed = 0; seed < 30; ++seed) // never an empty part, wherever it is cut
        EXPECT_FALSE(plan({.split = 1}, seed).at(0).bytes.empty()) << seed;
    EXPECT_EQ(split[1].at - split[0].at, 1500ms);
    EXPECT_EQ(split[1].what, "regs (fault: split, second part 1500 ms later)");
    const auto delay = plan({.badCrc = 1, .delay = 1, .delayMs = 700});
    EXPECT_EQ(delay.at(0).at, 700ms);
    EXPECT_EQ(delay.at(0).what, "regs (fault: CRC damaged, delayed 700 ms)");
    EXPECT_EQ(plan({.exception = 1}).at(0).bytes, Req({1, 0x83, 4}));
    const auto noise = plan({.noise = 1});
    ASSERT_EQ(noise.size(), 2u);
    EXPECT_TRUE(noise[0].bytes.size() >= 1 && noise[0].bytes.size() <= 4 && noise[1].at > 4ms);
    EXPECT_EQ(noise[1].bytes, reply);
    EXPECT_EQ(Cat(plan({.echo = 1}).at(0).bytes, plan({.echo = 1}).at(1).bytes),
              Cat(request, reply));
    auto run = [&](uint64_t seed) {
        sim::FaultInjector f({.drop = .2, .badCrc = .2, .split = .2, .echo = .2}, seed, 4ms);
        std::vector<std::string> notes;
        for (int i = 0; i < 2000; ++i)
            f.Plan(request, reply, "", notes);
        return std::pair(f.Summary(), f.Counts().drop);
    };
    EXPECT_EQ(run(42), run(42));
    EXPECT_NEAR(run(7).second, 400, 80);
}

TEST(Device, RegisterMapReadsWritesAndSlaveAddress) {
    sim::Device d(1);
    const Bytes working = d.Handle(Read(1, 3, 0, 5), 12345).reply;
    ASSERT_TRUE(working.size() == 15 && modbus::CrcTestPasses(working));
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ((working[3 + 2 * k] << 8) | working[4 + 2 * k], d.At(12345).working[k]) << k;
    EXPECT_EQ(modbus::ToSignMagnitude(0), 0x0000) << "no minus zero";
    const uint16_t in = d.At(39900).inputs; // advance action: 40 s into the cycle less the lead
    EXPECT_EQ(d.Handle(Read(1, 2, 0x300, 12), 39900).reply,
              Req({1, 2, 2, uint8_t(in), uint8_t(in >> 8)}));
    EXPECT_EQ(d.Handle(Read(1, 2, 0x308, 4), 39900).reply[3], in >> 8);
    EXPECT_TRUE(d.At(39880).Input(sim::kAdvanceAction) && !d.At(39870).Input(sim::kAdvanceAction));
    const Bytes w06 = Req({1, 6, 1, 0, 1, 0xF4});
    EXPECT_EQ(d.Handle(w06, 0).reply, w06);
    EXPECT_EQ(d.Handle(Req({1, 16, 1, 6, 0, 2, 4, 0x80, 5, 4, 0xB0}), 0).reply,
              Req({1, 16, 1, 6, 0, 2}));
    EXPECT_EQ(d.Handle(Req({0, 6, 1, 1, 0, 0x2A}), 0).kind, sim::Outcome::Kind::Silent)
        << "broadcast";
    EXPECT_EQ(d.Handle(Read(2, 3, 0x100, 8), 0).kind, sim::Outcome::Kind::NotForUs);
    EXPECT_EQ(d.Handle(Read(1, 3, 0x100, 8), 0).reply,
              Req({1, 3, 16, 1, 0xF4, 0, 0x2A, 0, 30, 0, 20, 7, 0xD0, 1, 0x90, 0x80, 5, 4, 0xB0}));
    EXPECT_TRUE(d.At(39500).Input(sim::kAdvanceAction) && !d.At(39490).Input(sim::kAdvanceAction));
}

// The cycle to the millisecond: each input's changes within the second cycle (the self-test
// of power-on is over), with the default set-points, and with an allowed frequency difference
// and both equalising periods of 0 (frequency permitted only while the slip passes zero, no
// phase permission, no closing, no pulses).
TEST(Device, CycleOfTheInputs) {
    const auto changes = [](const sim::Device& d) {
        std::vector<std::string> out(12);
        uint16_t was = d.At(60000).inputs;
        for (int k = 0; k < 12; ++k)
            out[k] = (was >> k) & 1 ? "on" : "off";
        for (int64_t t = 1; t < 60000; ++t) {
            const uint16_t now = d.At(60000 + t).inputs;
            for (int k = 0; k < 12; ++k)
                if (((now ^ was) >> k) & 1)
                    out[k] += " " + std::to_string(t) + ((now >> k) & 1 ? "+" : "-");
            was = now;
        }
        return out;
    };
    sim::Device d(1);
    EXPECT_EQ(changes(d),
              (std::vector<std::string>{
                  "off 39880+ 42980-", "off 36000+ 39980-", "off 13658+ 39980-",
                  "off 17901+ 39980-", "on 17901-", "off", "off", "off", "off",
                  "on 500- 3000+ 3500- 6000+ 6500- 9000+ 9500- 12000+ 12500-", "off",
                  "on 400- 2000+ 2400- 4000+ 4400- 6000+ 6400- 8000+ 8400- 10000+ 10400- "
                  "12000+ 12400- 14000+ 14400- 16000+ 16400-"}));
    for (const Bytes& w : {Req({1, 6, 1, 3, 0, 0}), Req({1, 6, 1, 4, 0, 0}), Req({1, 6, 1, 6, 0, 0})})
        ASSERT_EQ(d.Handle(w, 0).reply, w);
    EXPECT_EQ(changes(d), (std::vector<std::string>{"off", "off", "off 22917+ 23380-",
                                                    "off 17901+", "on 22917- 23380+", "off",
                                                    "off", "off", "off", "off", "off", "off"}));
    EXPECT_LT(d.CloseAtMs(), 0);
}

TEST(Device, RefusalsChangeNothing) {
    // clang-format off
    const std::pair<Bytes, uint8_t> cases[] = {
        {Read(1, 1, 0, 1), 1}, {Req({1, 0x2B, 0x0E, 1, 0}), 1}, {Read(1, 3, 0, 6), 2},
        {Read(1, 3, 3, 3), 2}, {Read(1, 3, 0x107, 2), 2}, {Read(1, 3, 0, 126), 3},
        {Read(1, 3, 0, 0), 3}, {Read(1, 2, 0x2FF, 2), 2}, {Read(1, 2, 0x300, 2001), 3},
        {Req({1, 6, 0, 0, 0, 1}), 2}, {Req({1, 6, 1, 8, 0, 1}), 2},
        {Req({1, 16, 1, 0, 0, 2, 2, 0, 1}), 3}, {Req({1, 16, 1, 7, 0, 2, 4, 0, 1, 0, 2}), 2}};
    // clang-format on
    for (const auto& [request, code] : cases) {
        sim::Device d(1);
        EXPECT_EQ(d.Handle(request, 0).reply, Req({1, uint8_t(request[1] | 0x80), code}))
            << modbus::FrameLine(request);
        EXPECT_EQ(d.Setpoints(), sim::kDefaultSetpoints);
    }
}

TEST(Options, ValuesAndClearErrors) {
    const auto r = sim::ParseOptions({"--slave", "5", "--baud=19200", "--alias", "COM7", "--echo",
                                      "0.3", "--seed", "18446744073709551615"});
    const sim::Options& o = r.options;
    EXPECT_EQ(std::tuple(r.error, o.slave, o.baud, o.AliasName(), o.faults.echo, *o.seed),
              std::tuple("", 5, 19200, "COM7", 0.3, 18446744073709551615ull));
    EXPECT_EQ(sim::ParseOptions({}).options.AliasName(), "COM2");
    EXPECT_EQ(sim::ParseOptions({"--port", "/dev/ttyUSB0"}).options.AliasName(), "");
    EXPECT_EQ(sim::ParseOptions({"--alias", std::string(64, 'C')}).error, ""); // the longest name
    // Line time: on unless turned off; turnaround, chunks and chatter as given.
    const sim::Options line =
        sim::ParseOptions({"--turnaround", "7", "--chunk-ms", "16", "--chatter", "500"}).options;
    EXPECT_EQ(std::tuple(line.lineTime, line.turnaroundMs, line.chunkMs, line.chatterMs),
              std::tuple(true, 7, 16, 500));
    EXPECT_FALSE(sim::ParseOptions({"--no-line-time"}).options.lineTime);
    // A TCP address: IPv6 in brackets, the loopback when only a port is given.
    const sim::Options v6 = sim::ParseOptions({"--tcp", "[::1]:4001"}).options;
    const sim::Options v4 = sim::ParseOptions({"--tcp", "4002"}).options;
    EXPECT_EQ(std::tuple(*v6.tcpHost, v6.tcpPort, *v4.tcpHost, v4.tcpPort),
              std::tuple("::1", 4001, "127.0.0.1", 4002));
    // The ranges' ends are taken; one beyond is refused.
    EXPECT_EQ(sim::ParseOptions({"--baud", "50", "--turnaround", "60000"}).error, "");
    // clang-format off
    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--bogus"}, "unknown option --bogus"}, {{"stray"}, "unexpected argument"},
        {{"--slave"}, "needs a value"}, {{"--slave", "248"}, "1 to 247"}, {{"--slave", "3x"}, "--slave"},
        {{"--drop", "1.5"}, "probability"}, {{"--noise", "nan"}, "probability"},
        {{"--alias", "a/b"}, "alias name"}, {{"--alias", "COM3", "--no-alias"}, "contradict"},
        {{"--alias", std::string(65, 'C')}, "alias name"}, {{"--chatter", "0"}, "--chatter"},
        {{"--parity", "even"}, "only with --port"}, {{"--baud", "49"}, "--baud"},
        {{"--turnaround", "60001"}, "--turnaround"}, {{"--tcp", "::1:4001"}, "brackets"}};
    // clang-format on
    for (const auto& [args, mentions] : bad)
        EXPECT_NE(sim::ParseOptions(args).error.find(mentions), std::string::npos) << mentions;
}

// Only names like COM2 are looked up by the program; the simulator says so for others.
TEST(Alias, ComNames) {
    const std::pair<const char*, bool> names[] = {{"COM1", true}, {"com12", true}, {"COM", false},
                                                  {"COMX", false}, {"CON1", false},
                                                  {"XOM1", false}, {"COM1a", false}};
    for (const auto& [name, com] : names)
        EXPECT_EQ(sim::IsComName(name), com) << name;
}

TEST(Alias, FolderRuleTrustAndLife) {
    char tmpl[] = "/tmp/sim-alias-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string root = tmpl, folder = root + "/democomm", target = root + "/tty";
    auto link = [&](const std::string& name) {
        std::error_code ec;
        return fs::read_symlink(folder + "/" + name, ec).string();
    };
    auto plant = [&](const std::string& name, const std::string& to, pid_t owner) {
        fs::create_symlink(to, folder + "/" + name);
        std::ofstream(folder + "/." + name + ".owner") << owner << " 0\n";
    };
    std::ofstream(target).put('x');
    auto alias = sim::Alias::Create(folder, "COM2", target);
    EXPECT_EQ(fs::symlink_status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(link("COM2"), target);
    alias->Remove();
    EXPECT_TRUE(fs::is_empty(folder)) << "link and owner note gone";
    // Stale: the owner gone (no such process) and its terminal reused; a link to a gone one.
    plant("COM3", target, 0x3FFFFFFF);
    fs::create_symlink(root + "/gone", folder + "/COM4");
    for (const char* n : {"COM3", "COM4"})
        EXPECT_EQ((sim::Alias::Create(folder, n, root + "/new"), link(n)), root + "/new") << n;
    // Refused: a live owner's (the parent stands in), a link made by hand, a file, a path.
    plant("COM5", target, ::getppid());
    fs::create_symlink(target, folder + "/COM6");
    std::ofstream(folder + "/COM7").put('z');
    for (const char* name : {"COM5", "COM6", "COM7", "../COM8"})
        EXPECT_THROW(sim::Alias::Create(folder, name, target), std::runtime_error) << name;
    alias = sim::Alias::Create(folder, "COM2", target); // removing leaves one taken over since
    fs::remove(folder + "/COM2");
    plant("COM2", root + "/theirs", ::getppid());
    alias->Remove();
    EXPECT_EQ(link("COM2"), root + "/theirs");
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_write); // others too
    EXPECT_NE(sim::EnsureAliasFolder(folder), "");
    EXPECT_THROW(sim::Alias::Create(folder, "COM9", target), std::runtime_error);
    fs::remove_all(root);
}

} // namespace
