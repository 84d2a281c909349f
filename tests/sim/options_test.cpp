// Command line: values in both forms, every documented flag, clear errors.
#include "sim/options.h"

#include <gtest/gtest.h>

namespace {

sim::ParseResult Parse(std::vector<std::string> args) { return sim::ParseOptions(args); }

TEST(Options, Defaults) {
    const auto r = Parse({});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.slave, 1);
    EXPECT_EQ(r.options.baud, 9600);
    EXPECT_EQ(r.options.AliasName(), "COM2");
    EXPECT_EQ(r.options.faults.splitGapMs, 1500);
    EXPECT_FALSE(r.options.seed);
}

TEST(Options, ValuesInBothForms) {
    const auto r = Parse({"--slave", "5", "--baud=19200", "--alias", "COM7", "--drop=0.25", "--bad-crc", "1",
                          "--split", "0.5", "--split-gap", "2000", "--delay", "0", "--delay-ms=300",
                          "--exception", "0.1", "--noise", "0.2", "--echo", "0.3", "--seed", "18446744073709551615",
                          "--quiet"});
    ASSERT_EQ(r.error, "");
    const sim::Options& o = r.options;
    EXPECT_EQ(o.slave, 5);
    EXPECT_EQ(o.baud, 19200);
    EXPECT_EQ(o.AliasName(), "COM7");
    EXPECT_EQ(o.faults.drop, 0.25);
    EXPECT_EQ(o.faults.badCrc, 1.0);
    EXPECT_EQ(o.faults.split, 0.5);
    EXPECT_EQ(o.faults.splitGapMs, 2000);
    EXPECT_EQ(o.faults.delayMs, 300);
    EXPECT_EQ(o.faults.exception, 0.1);
    EXPECT_EQ(o.faults.noise, 0.2);
    EXPECT_EQ(o.faults.echo, 0.3);
    EXPECT_EQ(*o.seed, 18446744073709551615ull);
    EXPECT_TRUE(o.quiet);
}

TEST(Options, AliasChoices) {
    EXPECT_EQ(Parse({"--no-alias"}).options.AliasName(), "");
    EXPECT_EQ(Parse({"--port", "/dev/ttyUSB0"}).options.AliasName(), "") << "a real line gets no alias unasked";
    EXPECT_EQ(Parse({"--port", "/dev/ttyUSB0", "--alias", "COM3"}).options.AliasName(), "COM3");
    const auto r = Parse({"--port", "/dev/ttyUSB0", "--parity", "even", "--stop-bits", "1"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.parity, 'E');
    EXPECT_EQ(r.options.stopBits, 1);
}

TEST(Options, EveryFlagIsDocumented) {
    const std::string help = sim::UsageText();
    for (const char* flag : {"--slave", "--baud", "--port", "--parity", "--stop-bits", "--alias", "--no-alias", "--drop",
                             "--bad-crc", "--split", "--split-gap", "--delay", "--delay-ms", "--exception", "--noise",
                             "--echo", "--seed", "--quiet", "--help"}) {
        EXPECT_NE(help.find(std::string("  ") + flag + " "), std::string::npos) << flag;
        EXPECT_TRUE(Parse({flag, "x"}).error.find("unknown option") == std::string::npos) << flag;
    }
    EXPECT_NE(help.find("Examples:"), std::string::npos);
}

struct BadCase {
    std::vector<std::string> args;
    const char* mentions;
};

class BadFlags : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadFlags, ClearError) {
    const auto r = Parse(GetParam().args);
    EXPECT_NE(r.error.find(GetParam().mentions), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadFlags,
    ::testing::Values(BadCase{{"--bogus"}, "unknown option --bogus"}, BadCase{{"stray"}, "unexpected argument"},
                      BadCase{{"--slave"}, "needs a value"}, BadCase{{"--slave", "0"}, "1 to 247"},
                      BadCase{{"--slave", "248"}, "1 to 247"}, BadCase{{"--slave", "3x"}, "--slave"},
                      BadCase{{"--baud", "-9600"}, "--baud"}, BadCase{{"--drop", "1.5"}, "probability"},
                      BadCase{{"--drop", "-0.1"}, "probability"}, BadCase{{"--drop", "nan"}, "probability"},
                      BadCase{{"--echo", ""}, "probability"}, BadCase{{"--seed", "-1"}, "--seed"},
                      BadCase{{"--split-gap", "soon"}, "--split-gap"}, BadCase{{"--alias", "a/b"}, "alias name"},
                      BadCase{{"--alias", "COM3", "--no-alias"}, "contradict"},
                      BadCase{{"--no-alias=yes"}, "takes no value"}, BadCase{{"--parity", "mark"}, "none, even or odd"},
                      BadCase{{"--parity", "even"}, "only with --port"}, BadCase{{"--stop-bits", "3"}, "--stop-bits"}));

} // namespace
