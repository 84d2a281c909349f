// Port names: paths, COMn with and without a trusted alias folder, bare names under /dev,
// serial device servers' tcp:// names.
#include "serial/portname.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

TEST(PortNames, MapToDevicesAndTrustedAliases) {
    const std::string runtime = ::testing::TempDir() + "democomm-names-" + std::to_string(getpid());
    const std::string folder = runtime + "/democomm";
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(serial::AliasFolder(), folder);
    const std::pair<const char*, const char*> table[] = {
        {"COM1", "/dev/ttyS0"},      {"com2", "/dev/ttyS1"},
        {"CoM10", "/dev/ttyS9"},     {"COM0", "/dev/COM0"},
        {"COM", "/dev/COM"},         {"COM1x", "/dev/COM1x"},
        {"ttyUSB0", "/dev/ttyUSB0"}, {"/dev/pts/3", "/dev/pts/3"},
        {"./here", "./here"},        {"tcp://192.0.2.1:4001", "tcp://192.0.2.1:4001"},
    };
    for (const auto& [name, path] : table)
        EXPECT_EQ(serial::ResolvePortName(name), path) << name;

    ASSERT_EQ(serial::PrepareAliasFolder(), "");
    ASSERT_EQ(::symlink("/dev/null", (folder + "/COM2").c_str()), 0);
    EXPECT_EQ(serial::ResolvePortName("com2"), folder + "/COM2");
    EXPECT_EQ(serial::ResolvePortName("COM12"), "/dev/ttyS11"); // an alias for its name only
    ::chmod(folder.c_str(), 0770); // group may write: anyone in it could redirect COM2
    EXPECT_EQ(serial::ResolvePortName("COM2"), "/dev/ttyS1");
    EXPECT_NE(serial::PrepareAliasFolder(), "");
    ::unlink((folder + "/COM2").c_str());
    ::rmdir(folder.c_str());
    ASSERT_EQ(::symlink(runtime.c_str(), folder.c_str()), 0); // a linked folder is not trusted
    EXPECT_FALSE(serial::IsTrustedAliasFolder(folder));
    ::unlink(folder.c_str());
    ::rmdir(runtime.c_str());

    ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1); // not absolute: not used
    EXPECT_EQ(serial::AliasFolder(), "/tmp/democomm-" + std::to_string(::getuid()));
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(PortNames, TcpNamesGiveHostAndPort) {
    const std::tuple<const char*, const char*, int> good[] = {
        {"tcp://127.0.0.1:4001", "127.0.0.1", 4001},
        {"TCP://[::1]:1", "::1", 1},
        {"tcp://[fe80::1%eth0]:65535", "fe80::1%eth0", 65535},
        {"tcp://device-server.local:502", "device-server.local", 502}};
    for (const auto& [name, host, port] : good) {
        const auto e = serial::ParseTcpName(name);
        ASSERT_TRUE(e) << name;
        EXPECT_EQ(e->host, host);
        EXPECT_EQ(e->port, port);
    }
    for (const char* bad :
         {"tcp://", "tcp://host", "tcp://host:", "tcp://:4001", "tcp://host:0", "tcp://host:65536",
          "tcp://host:+1", "tcp://::1:4001", "tcp://[]:1", "tcp://[host]:1", "tcp://host:4001/",
          "tcp://us er@host:1", "tcp:/h:1", "udp://host:1", "tcp://host:4001x"})
        EXPECT_FALSE(serial::ParseTcpName(bad)) << bad;
    EXPECT_TRUE(serial::IsTcpName("Tcp://x"));
    EXPECT_FALSE(serial::IsTcpName("/dev/tcp"));
}
