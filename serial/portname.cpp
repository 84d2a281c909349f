#include "portname.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace serial {

std::string AliasFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/democomm";
    return "/tmp/democomm-" + std::to_string(::getuid());
}

bool IsTrustedAliasFolder(const std::string& folder) {
    struct stat st {};
    // lstat: a link could point anywhere, including a folder someone else controls.
    if (::lstat(folder.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string PrepareAliasFolder() {
    const std::string folder = AliasFolder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + folder + ": " + std::strerror(errno);
    if (!IsTrustedAliasFolder(folder))
        return folder + " is not a private folder of this user";
    return {};
}

long ComNumber(const std::string& name) {
    if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return 0;
    long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        n = n * 10 + (name[i] - '0');
        if (n > 1000000)
            return 0;
    }
    return n;
}

std::string ResolvePortName(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    if (const long n = ComNumber(name); n >= 1) {
        const std::string folder = AliasFolder();
        if (IsTrustedAliasFolder(folder)) {
            const std::string alias = folder + "/COM" + std::to_string(n);
            struct stat st {};
            if (::lstat(alias.c_str(), &st) == 0)
                return alias;
        }
        return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + name;
}

} // namespace serial
