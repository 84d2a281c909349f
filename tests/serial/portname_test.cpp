// Port names: paths, COMn with and without a trusted alias folder, bare names under /dev.
#include "serial/portname.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PortNames : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_ = ::testing::TempDir() + "democomm-names-" + std::to_string(::getpid());
        ::mkdir(runtime_.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        folder_ = runtime_ + "/democomm";
    }
    void TearDown() override {
        for (const char* n : {"/COM2", "/COM12"})
            ::unlink((folder_ + n).c_str());
        ::rmdir(folder_.c_str());
        ::rmdir(runtime_.c_str());
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    void Alias(const char* name) {
        const std::string path = folder_ + "/" + name;
        ASSERT_EQ(::symlink("/dev/null", path.c_str()), 0);
    }
    std::string runtime_, folder_;
};

TEST_F(PortNames, WithoutAliasesNamesMapToDevices) {
    EXPECT_EQ(serial::AliasFolder(), folder_);
    const std::pair<const char*, const char*> table[] = {
        {"COM1", "/dev/ttyS0"},      {"com2", "/dev/ttyS1"},       {"CoM10", "/dev/ttyS9"},
        {"COM0", "/dev/COM0"},       {"COM", "/dev/COM"},          {"COM1x", "/dev/COM1x"},
        {"ttyUSB0", "/dev/ttyUSB0"}, {"/dev/pts/3", "/dev/pts/3"}, {"./here", "./here"},
    };
    for (const auto& [name, path] : table)
        EXPECT_EQ(serial::ResolvePortName(name), path) << name;
}

TEST_F(PortNames, TrustedAliasWinsForItsNameOnly) {
    EXPECT_EQ(serial::PrepareAliasFolder(), "");
    Alias("COM2");
    Alias("COM12");
    EXPECT_EQ(serial::ResolvePortName("COM2"), folder_ + "/COM2");
    EXPECT_EQ(serial::ResolvePortName("com2"), folder_ + "/COM2");
    EXPECT_EQ(serial::ResolvePortName("COM12"), folder_ + "/COM12");
    EXPECT_EQ(serial::ResolvePortName("COM3"), "/dev/ttyS2");
}

TEST_F(PortNames, UntrustedFolderIsIgnored) {
    ASSERT_EQ(serial::PrepareAliasFolder(), "");
    Alias("COM2");
    ::chmod(folder_.c_str(), 0770); // group may write: anyone in it could redirect COM2
    EXPECT_FALSE(serial::IsTrustedAliasFolder(folder_));
    EXPECT_EQ(serial::ResolvePortName("COM2"), "/dev/ttyS1");
    EXPECT_NE(serial::PrepareAliasFolder(), "");
    ::chmod(folder_.c_str(), 0700);
    EXPECT_EQ(serial::ResolvePortName("COM2"), folder_ + "/COM2");
}

TEST_F(PortNames, LinkedFolderIsIgnored) {
    const std::string real = runtime_ + "/real";
    ::mkdir(real.c_str(), 0700);
    ASSERT_EQ(::symlink(real.c_str(), folder_.c_str()), 0);
    EXPECT_FALSE(serial::IsTrustedAliasFolder(folder_));
    ::unlink(folder_.c_str());
    ::rmdir(real.c_str());
}

TEST(PortNamesFallback, WithoutRuntimeDirTheFolderIsPerUserInTmp) {
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(serial::AliasFolder(), "/tmp/democomm-" + std::to_string(::getuid()));
    ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1); // not absolute: not used
    EXPECT_EQ(serial::AliasFolder(), "/tmp/democomm-" + std::to_string(::getuid()));
    ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
