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

bool IsTcpName(const std::string& name) {
    static constexpr char scheme[] = "tcp://";
    if (name.size() < sizeof scheme - 1)
        return false;
    for (std::size_t i = 0; i + 1 < sizeof scheme; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != scheme[i])
            return false;
    return true;
}

std::optional<TcpEndpoint> ParseTcpName(const std::string& name) {
    if (!IsTcpName(name))
        return std::nullopt;
    const std::string rest = name.substr(6);
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    std::string host = rest.substr(0, colon);
    const std::string port = rest.substr(colon + 1);
    // Characters a host name, an address or an IPv6 zone may hold; nothing that would make
    // the name mean something else (a path, a user, a query).
    const auto hostChars = [](const std::string& h, bool v6) {
        for (const char c : h)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' &&
                !(v6 && (c == ':' || c == '%')))
                return false;
        return !h.empty();
    };
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (!hostChars(host, true) || host.find(':') == std::string::npos)
            return std::nullopt;
    } else if (!hostChars(host, false)) {
        return std::nullopt; // an IPv6 address without brackets lands here too
    }
    if (port.empty() || port.size() > 5)
        return std::nullopt;
    long number = 0;
    for (const char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 65535)
        return std::nullopt;
    return TcpEndpoint{host, static_cast<uint16_t>(number)};
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
