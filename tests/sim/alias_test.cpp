// The alias folder rule and the alias's life: creation, removal, stale replacement, refusals.
#include "sim/alias.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class AliasTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sim-alias-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        folder_ = root_ + "/democomm";
        target_ = root_ + "/tty";
        std::ofstream(target_).put('x');
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string Link(const std::string& name) const {
        std::error_code ec;
        return fs::read_symlink(folder_ + "/" + name, ec).string();
    }
    void WriteOwner(const std::string& name, pid_t pid) const {
        std::ofstream(folder_ + "/." + name + ".owner") << pid << " 0\n";
    }
    // The id of a process that has ended (and been reaped), so nobody has it for now.
    static pid_t DeadPid() {
        const pid_t p = ::fork();
        if (p == 0)
            ::_exit(0);
        int st = 0;
        ::waitpid(p, &st, 0);
        return p;
    }

    std::string root_, folder_, target_;
};

TEST_F(AliasTest, FolderPathFollowsXdgRuntimeDir) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(sim::AliasFolderPath(), "/run/user/1234/democomm");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(sim::AliasFolderPath(), "/tmp/democomm-" + std::to_string(::getuid()));
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(sim::AliasFolderPath(), "/tmp/democomm-" + std::to_string(::getuid()));
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(AliasTest, UntrustedFoldersAreRefused) {
    // Writable by others.
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder_.c_str(), 0777), 0);
    EXPECT_NE(sim::EnsureAliasFolder(folder_).find("writable by others"), std::string::npos);
    EXPECT_THROW(sim::Alias::Create(folder_, "COM2", target_), std::runtime_error);
    EXPECT_EQ(Link("COM2"), "") << "nothing made in an untrusted folder";
    ASSERT_EQ(::chmod(folder_.c_str(), 0720), 0);
    EXPECT_NE(sim::EnsureAliasFolder(folder_), "") << "group-writable counts too";

    // A link standing in for the folder.
    fs::remove_all(folder_);
    fs::create_directory(root_ + "/elsewhere");
    fs::create_directory_symlink(root_ + "/elsewhere", folder_);
    EXPECT_NE(sim::EnsureAliasFolder(folder_).find("not a directory"), std::string::npos);

    // Someone else's folder (only root can make one here).
    if (::getuid() == 0) {
        fs::remove(folder_);
        ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
        ASSERT_EQ(::chown(folder_.c_str(), 65534, 65534), 0);
        EXPECT_NE(sim::EnsureAliasFolder(folder_).find("not to you"), std::string::npos);
    }
}

TEST_F(AliasTest, FolderCreatedPrivateAliasCreatedAndRemoved) {
    EXPECT_EQ(sim::EnsureAliasFolder(folder_), "");
    struct stat st{};
    ASSERT_EQ(::lstat(folder_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto alias = sim::Alias::Create(folder_, "COM2", target_); // an existing good folder is fine
    EXPECT_EQ(alias->Path(), folder_ + "/COM2");
    EXPECT_EQ(Link("COM2"), target_);
    EXPECT_TRUE(fs::exists(folder_ + "/.COM2.owner"));
    alias->Remove();
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder_ + "/COM2")));
    EXPECT_FALSE(fs::exists(folder_ + "/.COM2.owner"));
    alias->Remove(); // idempotent
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator{}), 0) << "no temporary files left";
}

TEST_F(AliasTest, StaleAliasesAreReplaced) {
    sim::EnsureAliasFolder(folder_);
    // A link to a terminal that no longer exists, owner unknown.
    fs::create_symlink(root_ + "/gone", folder_ + "/COM2");
    {
        auto alias = sim::Alias::Create(folder_, "COM2", target_);
        EXPECT_EQ(Link("COM2"), target_);
    }
    // A link whose creator died; its terminal number has since been reused, so it exists.
    fs::create_symlink(target_, folder_ + "/COM3");
    WriteOwner("COM3", DeadPid());
    const std::string newTarget = root_ + "/tty2";
    std::ofstream(newTarget).put('y');
    auto alias = sim::Alias::Create(folder_, "COM3", newTarget);
    EXPECT_EQ(Link("COM3"), newTarget);
}

TEST_F(AliasTest, AliasesInUseOrNotOursAreRefused) {
    sim::EnsureAliasFolder(folder_);
    // In use by a live simulator (the test's parent process stands in for it).
    fs::create_symlink(target_, folder_ + "/COM2");
    WriteOwner("COM2", ::getppid());
    try {
        sim::Alias::Create(folder_, "COM2", root_ + "/other");
        FAIL() << "a live simulator's alias was taken over";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
    }
    EXPECT_EQ(Link("COM2"), target_);

    // A link someone made by hand to a device that exists.
    fs::create_symlink(target_, folder_ + "/COM4");
    EXPECT_THROW(sim::Alias::Create(folder_, "COM4", root_ + "/other"), std::runtime_error);
    EXPECT_EQ(Link("COM4"), target_);

    // Not a link at all.
    std::ofstream(folder_ + "/COM5").put('z');
    EXPECT_THROW(sim::Alias::Create(folder_, "COM5", target_), std::runtime_error);

    // Not a name.
    EXPECT_THROW(sim::Alias::Create(folder_, "../COM6", target_), std::runtime_error);
}

TEST_F(AliasTest, RemoveLeavesAnAliasSomeoneElseTookOver) {
    auto alias = sim::Alias::Create(folder_, "COM2", target_);
    // Another simulator replaced it (as it would after deciding ours was stale).
    fs::remove(folder_ + "/COM2");
    fs::create_symlink(root_ + "/theirs", folder_ + "/COM2");
    WriteOwner("COM2", ::getppid());
    alias->Remove();
    EXPECT_EQ(Link("COM2"), root_ + "/theirs");
}

TEST(AliasNames, ComNamesAndValidity) {
    for (const char* yes : {"COM1", "com2", "Com12"})
        EXPECT_TRUE(sim::IsComName(yes)) << yes;
    for (const char* no : {"COM", "COMx", "COM1a", "ttyS0", ""})
        EXPECT_FALSE(sim::IsComName(no)) << no;
    for (const char* bad : {"", ".", "..", "a/b"})
        EXPECT_FALSE(sim::ValidAliasName(bad)) << bad;
    EXPECT_TRUE(sim::ValidAliasName("COM2"));
    EXPECT_FALSE(sim::ValidAliasName(std::string(65, 'C')));
}

} // namespace
