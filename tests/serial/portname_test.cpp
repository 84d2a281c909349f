// Port names: paths, COMn with and without a trusted alias folder, bare names under /dev.
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
        {"COM1", "/dev/ttyS0"},      {"com2", "/dev/ttyS1"},       {"CoM10", "/dev/ttyS9"},
        {"COM0", "/dev/COM0"},       {"COM", "/dev/COM"},          {"COM1x", "/dev/COM1x"},
        {"ttyUSB0", "/dev/ttyUSB0"}, {"/dev/pts/3", "/dev/pts/3"}, {"./here", "./here"},
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
