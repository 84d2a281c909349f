#include "sim/alias.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

std::string Errno() { return std::strerror(errno); }

std::string OwnerPath(const std::string& folder, const std::string& name) {
    return folder + "/." + name + ".owner";
}

// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat); 0 when
// unknown. Telling a process from a later one that got the same id needs it.
unsigned long long StartTime(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return 0;
    // The command name in field 2 may hold blanks and parentheses: count from its last ")".
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i)
        if (i == 22)
            return std::strtoull(field.c_str(), nullptr, 10);
    return 0;
}

struct Owner {
    pid_t pid = 0;
    unsigned long long start = 0;
};

bool ReadOwner(const std::string& path, Owner& owner) {
    std::ifstream in(path);
    long long pid = 0;
    unsigned long long start = 0;
    if (!(in >> pid >> start) || pid <= 0)
        return false;
    owner.pid = static_cast<pid_t>(pid);
    owner.start = start;
    return true;
}

bool Alive(const Owner& o) {
    if (::kill(o.pid, 0) != 0 && errno == ESRCH)
        return false;
    const unsigned long long now = StartTime(o.pid);
    return now == 0 || o.start == 0 || now == o.start;
}

std::string ReadLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// Holds an exclusive lock on the folder so that two simulators starting together cannot both
// decide that the same alias is free.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~FolderLock() {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

std::string AliasFolderPath() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/democomm";
    return "/tmp/democomm-" + std::to_string(::getuid());
}

std::string EnsureAliasFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create the alias folder " + folder + ": " + Errno();
    struct stat st{};
    if (::lstat(folder.c_str(), &st) != 0)
        return "cannot examine the alias folder " + folder + ": " + Errno();
    if (!S_ISDIR(st.st_mode))
        return "the alias folder " + folder + " is not a directory (a link or a file is there); remove it";
    if (st.st_uid != ::getuid())
        return "the alias folder " + folder + " belongs to user id " + std::to_string(st.st_uid) +
               ", not to you (" + std::to_string(::getuid()) + "); it is not used";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "the alias folder " + folder + " is writable by others; it is not used (chmod 700 it)";
    return {};
}

bool ValidAliasName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool IsComName(const std::string& name) {
    if (name.size() < 4)
        return false;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return false;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

Alias::Alias(std::string folder, std::string name, std::string target)
    : folder_(std::move(folder)), name_(std::move(name)), target_(std::move(target)),
      path_(folder_ + "/" + name_) {}

std::unique_ptr<Alias> Alias::Create(const std::string& folder, const std::string& name, const std::string& target) {
    if (!ValidAliasName(name))
        throw std::runtime_error("'" + name + "' cannot be an alias name (no '/', not empty)");
    if (const std::string problem = EnsureAliasFolder(folder); !problem.empty())
        throw std::runtime_error(problem);

    FolderLock lock(folder);
    const std::string path = folder + "/" + name;
    const std::string ownerPath = OwnerPath(folder, name);

    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error(path + " exists and is not a link; remove it or choose another --alias");
        const std::string points = ReadLink(path);
        struct stat targetSt{};
        const bool targetExists = ::stat(path.c_str(), &targetSt) == 0;
        Owner owner;
        if (ReadOwner(ownerPath, owner)) {
            if (Alive(owner) && owner.pid != ::getpid())
                throw std::runtime_error("the alias " + path + " is in use by democomm-sim (process " +
                                         std::to_string(owner.pid) + ", serving " + points +
                                         "); stop it or choose another --alias");
            // Its creator is gone: stale, whatever the link points to now.
        } else if (targetExists) {
            throw std::runtime_error("the alias " + path + " points to " + points +
                                     ", which exists and was not made by democomm-sim; remove it or choose another --alias");
        }
        // A link to a vanished terminal, or one whose creator died: replaced below.
    } else if (errno != ENOENT) {
        throw std::runtime_error("cannot examine " + path + ": " + Errno());
    }

    // The owner record first, then the link, each written aside and renamed into place, so
    // that a reader never sees a half-made alias.
    const std::string suffix = ".tmp." + std::to_string(::getpid());
    {
        const std::string tmp = ownerPath + suffix;
        std::ofstream out(tmp, std::ios::trunc);
        out << ::getpid() << ' ' << StartTime(::getpid()) << '\n';
        out.close();
        if (!out || std::rename(tmp.c_str(), ownerPath.c_str()) != 0) {
            const std::string why = Errno();
            ::unlink(tmp.c_str());
            throw std::runtime_error("cannot write " + ownerPath + ": " + why);
        }
    }
    const std::string tmpLink = folder + "/." + name + suffix;
    ::unlink(tmpLink.c_str());
    if (::symlink(target.c_str(), tmpLink.c_str()) != 0 || std::rename(tmpLink.c_str(), path.c_str()) != 0) {
        const std::string why = Errno();
        ::unlink(tmpLink.c_str());
        ::unlink(ownerPath.c_str());
        throw std::runtime_error("cannot create the alias " + path + ": " + why);
    }
    return std::unique_ptr<Alias>(new Alias(folder, name, target));
}

void Alias::Remove() {
    if (removed_)
        return;
    removed_ = true;
    FolderLock lock(folder_);
    Owner owner;
    const std::string ownerPath = OwnerPath(folder_, name_);
    const bool ours = ReadOwner(ownerPath, owner) && owner.pid == ::getpid();
    if (!ours)
        return; // another simulator has taken the name since: its alias stays
    if (ReadLink(path_) == target_)
        ::unlink(path_.c_str());
    ::unlink(ownerPath.c_str());
}

Alias::~Alias() { Remove(); }

} // namespace sim
