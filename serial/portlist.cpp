#include "serial/portlist.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <tuple>
#include <unistd.h>

namespace serial {

namespace fs = std::filesystem;

namespace {

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& p : parts) {
        if (p.empty())
            continue;
        if (!out.empty())
            out += separator;
        out += p;
    }
    return out;
}

std::string Describe(const SystemPort& p) {
    std::string ids;
    if (p.vendorId || p.productId) {
        char text[16];
        std::snprintf(text, sizeof text, "%04x:%04x", p.vendorId, p.productId);
        ids = text;
    }
    return Join(
        {p.product, p.manufacturer, ids, p.serialNumber.empty() ? "" : "S/N " + p.serialNumber},
        ", ");
}

// The name the port box takes for a device path (see MergePorts).
std::string NameOf(const std::string& device, const std::set<long>& aliasNumbers,
                   const std::string& devFolder) {
    const std::string ttyS = devFolder + "/ttyS";
    if (device.rfind(ttyS, 0) == 0) {
        unsigned k = 0;
        const char* last = device.data() + device.size();
        const auto [end, ec] = std::from_chars(device.data() + ttyS.size(), last, k);
        // The round trip refuses "ttyS01" and the like, which no COM name reaches.
        if (ec == std::errc() && end == last && device == ttyS + std::to_string(k) && k < 1000000 &&
            !aliasNumbers.count(k + 1))
            return "COM" + std::to_string(k + 1);
    }
    const std::string dev = devFolder + "/";
    if (device.rfind(dev, 0) == 0 && device.find('/', dev.size()) == std::string::npos)
        return device.substr(dev.size());
    return device;
}

// Sort key: COM names first, then by the text before the trailing digits, then by their
// number (ttyUSB2 before ttyUSB10, COM2 before COM10).
auto OrderKey(const std::string& name) {
    const std::size_t digits = name.find_last_not_of("0123456789") + 1; // npos + 1 == 0
    const std::size_t number = std::min(name.find_first_not_of('0', digits), name.size());
    return std::tuple(ComNumber(name) == 0, name.substr(0, digits), name.size() - number,
                      name.substr(number), name);
}

std::string PortMarks(const PortState& s) {
    std::string marks;
    if (!s.accessible)
        marks += "（无权限）";
    if (s.held == PortHeld::Yes)
        marks += "（已被占用）";
    return marks;
}

} // namespace

std::vector<PortInfo> MergePorts(const std::vector<SystemPort>& system,
                                 const std::vector<AliasPort>& aliases, const std::string& dev) {
    std::set<long> aliasNumbers;
    std::vector<PortInfo> ports;
    for (const AliasPort& a : aliases) {
        aliasNumbers.insert(ComNumber(a.name));
        if (a.gone)
            continue;
        ports.push_back({.name = a.name,
                         .device = a.target,
                         .stablePath = {},
                         .description = a.simulator ? SimulatedDeviceText : "",
                         .state = a.state,
                         .byId = {},
                         .byPath = {}});
    }
    // An identical adapter without serial number and without by-id link: udev gave the
    // name both would have to one of them, so that name is no way to tell them apart.
    const auto twinLacksLink = [&system](const SystemPort& p) {
        return p.vendorId && p.serialNumber.empty() &&
               std::any_of(system.begin(), system.end(), [&p](const SystemPort& q) {
                   return &q != &p && q.stablePath.empty() && q.serialNumber.empty() &&
                          std::tie(q.vendorId, q.productId, q.product, q.manufacturer) ==
                              std::tie(p.vendorId, p.productId, p.product, p.manufacturer);
               });
    };
    for (const SystemPort& p : system) {
        const bool bySocket = !p.byPath.empty() && (p.stablePath.empty() || twinLacksLink(p));
        ports.push_back({.name = NameOf(p.device, aliasNumbers, dev),
                         .device = p.device,
                         .stablePath = bySocket ? p.byPath : p.stablePath,
                         .description = Describe(p),
                         .state = p.state,
                         .byId = p.stablePath,
                         .byPath = p.byPath});
    }
    std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return OrderKey(a.name) < OrderKey(b.name);
    });
    return ports;
}

std::vector<PortChoice> DialogChoices(const std::vector<PortInfo>& ports) {
    const auto detail = [](const PortInfo& p) {
        return (p.description.empty() ? p.device : p.description) + PortMarks(p.state);
    };
    std::vector<PortChoice> choices;
    for (int n = 1; n <= 4; ++n) {
        const std::string name = "COM" + std::to_string(n);
        PortChoice c{name, name, {}};
        for (const PortInfo& p : ports)
            if (ComNumber(p.name) == n)
                c.detail = detail(p);
        choices.push_back(c);
    }
    for (const PortInfo& p : ports) {
        const long n = ComNumber(p.name);
        if (n < 1 || n > 4)
            choices.push_back({p.BoxName(), p.name, detail(p)});
    }
    return choices;
}

std::string FormatPortTable(const std::vector<PortInfo>& ports) {
    // The description comes last: it is the only column that may hold Chinese text, whose
    // width on a terminal is not its length.
    std::vector<std::vector<std::string>> rows{
        {"NAME", "DEVICE", "ACCESS", "BUSY", "HELD BY", "STABLE PATH", "DESCRIPTION"}};
    const auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const PortInfo& p : ports) {
        const char* held = p.state.held == PortHeld::Yes  ? "yes"
                           : p.state.held == PortHeld::No ? "no"
                                                          : "?";
        rows.push_back({p.name, orDash(p.device), p.state.accessible ? "yes" : "no", held,
                        orDash(p.state.holders), orDash(p.stablePath), orDash(p.description)});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string out;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i + 1 < row.size(); ++i)
            out += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
        out += row.back() + "\n";
    }
    return out;
}

// --- the system query

namespace {

// A small file read whole (at most `limit` bytes), or false. Regular files only, opened
// without following a last link and without waiting: the lock folders are writable by
// everyone, and a "lock" that is a FIFO must not stall the list, nor one that is a link to a
// terminal open a port.
bool ReadSmallFile(const std::string& path, std::string& out, std::size_t limit = 256) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    out.clear();
    while (ok && out.size() < limit) {
        char buf[256];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    return s;
}

// The whole of `text` as a number in `base`, or false.
template <typename T> bool ParseWhole(std::string_view text, T& value, int base = 10) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

dev_t CharDeviceNumber(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
}

// Unix98 pseudo-terminal slaves: majors 136 to 143, numbered on from 0.
bool IsPtySlave(dev_t rdev) {
    return major(rdev) >= 136 && major(rdev) <= 143;
}
unsigned PtyNumber(dev_t rdev) {
    return (major(rdev) - 136) * 256 + minor(rdev);
}

Holders::Key KeyOf(const struct stat& st) {
    return {st.st_rdev, IsPtySlave(st.st_rdev) ? st.st_dev : 0};
}

// The owner a lock file names: a decimal number in ASCII, possibly padded and followed by
// more words (some programs add their name and the user's), or a 4-byte binary number as
// older UUCP programs write it. 0 when it names none.
pid_t LockOwner(const std::string& content) {
    const std::size_t first = content.find_first_not_of(" \t");
    if (first != std::string::npos) {
        std::size_t end = first;
        while (end < content.size() && std::isdigit(static_cast<unsigned char>(content[end])))
            ++end;
        long long pid = 0;
        if ((end == content.size() || std::isspace(static_cast<unsigned char>(content[end]))) &&
            ParseWhole(std::string_view(content).substr(first, end - first), pid))
            return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
    }
    const bool binary = std::any_of(content.begin(), content.end(), [](char c) {
        return !std::isprint(static_cast<unsigned char>(c)) &&
               !std::isspace(static_cast<unsigned char>(c));
    });
    if (content.size() == 4 && binary) {
        int32_t pid = 0;
        std::memcpy(&pid, content.data(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    return 0;
}

bool Running(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

void ReadLocks(const PortListSources& sources, Holders& holders) {
    std::set<std::pair<dev_t, ino_t>> folders;
    for (const std::string& folder : sources.lockFolders) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            !folders.insert({st.st_dev, st.st_ino}).second)
            continue;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const std::string file = entry.path().filename().string();
            Holders::Lock lock;
            if (file.rfind("LCK..", 0) == 0 && file.size() > 5) {
                // "LCK..ttyUSB0"; a device in a subfolder of /dev has its '/' as '_'.
                lock.name = file.substr(5);
                lock.device = CharDeviceNumber(sources.dev + "/" + lock.name);
                std::string sub = lock.name;
                std::replace(sub.begin(), sub.end(), '_', '/');
                if (!lock.device && sub != lock.name && sub.find("..") == std::string::npos)
                    lock.device = CharDeviceNumber(sources.dev + "/" + sub);
            } else if (const auto dot = file.find('.', 4);
                       file.rfind("LCK.", 0) == 0 && dot != std::string::npos) {
                // "LCK.188.000": the device by its major and minor number.
                unsigned maj = 0, min = 0;
                if (!ParseWhole(std::string_view(file).substr(4, dot - 4), maj) ||
                    !ParseWhole(std::string_view(file).substr(dot + 1), min))
                    continue;
                lock.device = makedev(maj, min);
            } else {
                continue;
            }
            std::string content;
            if (ReadSmallFile(entry.path().string(), content, 64)) {
                lock.pid = LockOwner(content);
                if (lock.pid && !Running(lock.pid))
                    continue; // stale: its owner has ended without removing it
            }
            holders.locks.push_back(std::move(lock));
        }
    }
}

void ReadProcesses(const PortListSources& sources, Holders& holders) {
    const auto deadline = std::chrono::steady_clock::now() + sources.procBudget;
    DIR* proc = ::opendir(sources.proc.c_str());
    if (!proc) {
        holders.allProcessesRead = false;
        return;
    }
    while (const dirent* e = ::readdir(proc)) {
        pid_t pid = 0;
        if (!ParseWhole(std::string_view(e->d_name), pid) || pid <= 0)
            continue;
        if (std::chrono::steady_clock::now() > deadline) {
            holders.allProcessesRead = false;
            break;
        }
        const std::string base = sources.proc + "/" + e->d_name;
        const int dir = ::open((base + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* fds = dir < 0 ? nullptr : ::fdopendir(dir);
        if (!fds) {
            // ENOENT: the process has ended meanwhile. Otherwise (another user's process,
            // for one) what it holds cannot be seen.
            if (dir >= 0 || errno != ENOENT)
                holders.allProcessesRead = false;
            if (dir >= 0)
                ::close(dir);
            continue;
        }
        while (const dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            // Only what leads to a device node is looked at: a stat of every open file
            // would wait on any unresponsive network file system a process has files on.
            char link[4096];
            const ssize_t n = ::readlinkat(dir, f->d_name, link, sizeof link);
            if (n <= 0 || std::string_view(link, static_cast<std::size_t>(n)).find("/dev/") ==
                              std::string_view::npos)
                continue;
            struct stat st {};
            if (::fstatat(dir, f->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == makedev(5, 2)) { // /dev/ptmx: a pseudo-terminal master
                std::string info;
                const std::string key = "tty-index:";
                unsigned number = 0;
                if (ReadSmallFile(base + "/fdinfo/" + f->d_name, info, 1024))
                    if (const auto at = info.find(key); at != std::string::npos) {
                        const std::size_t from = info.find_first_not_of(" \t", at + key.size());
                        const std::size_t to = info.find('\n', at);
                        if (from != std::string::npos &&
                            ParseWhole(
                                std::string_view(info).substr(
                                    from, (to == std::string::npos ? info.size() : to) - from),
                                number))
                            holders.ptyMasters.insert({pid, number});
                    }
                continue;
            }
            holders.open[KeyOf(st)].insert(pid);
        }
        ::closedir(fds); // closes `dir` too
    }
    ::closedir(proc);
}

// The names a lock file may give the port reached by `paths`: each path's file name, and a
// path under /dev with its '/' as '_' ("pts_3").
std::set<std::string> LockNames(const std::vector<std::string>& paths, const std::string& dev) {
    std::set<std::string> names;
    for (const std::string& p : paths) {
        if (const std::string file = fs::path(p).filename().string(); !file.empty())
            names.insert(file);
        if (p.rfind(dev + "/", 0) == 0) {
            std::string sub = p.substr(dev.size() + 1);
            std::replace(sub.begin(), sub.end(), '/', '_');
            names.insert(sub);
        }
    }
    return names;
}

std::vector<gid_t> EffectiveGroups() {
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    groups.push_back(::getegid());
    return groups;
}

std::string HolderName(const std::string& proc, pid_t pid) {
    std::string comm;
    ReadSmallFile(proc + "/" + std::to_string(pid) + "/comm", comm, 64);
    comm = Trimmed(comm);
    // One word, so that the table's columns stay split by blanks.
    for (char& c : comm)
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',')
            c = '_';
    return comm + "[" + std::to_string(pid) + "]";
}

// The stable links in `folder` by the device path they lead to. Where several lead to one
// device (udev makes two by-path forms for some buses), the first by name, so that the
// choice does not change from one listing to the next.
std::map<std::string, std::string> ReadLinks(const std::string& folder) {
    std::map<std::string, std::string> links;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::error_code linkError;
        const auto target = fs::canonical(entry.path(), linkError);
        if (linkError)
            continue;
        const auto [it, added] = links.emplace(target.string(), entry.path().string());
        if (!added && entry.path().string() < it->second)
            it->second = entry.path().string();
    }
    return links;
}

// Product, manufacturer, serial number and ids of the USB device above `device` in sysfs.
void ReadUsbParent(const fs::path& device, const fs::path& sysRoot, SystemPort& p) {
    const std::string root = sysRoot.string() + "/";
    for (fs::path dir = device; dir.string().rfind(root, 0) == 0; dir = dir.parent_path()) {
        std::string vendor, product;
        if (!ReadSmallFile((dir / "idVendor").string(), vendor))
            continue;
        if (ReadSmallFile((dir / "idProduct").string(), product)) {
            ParseWhole(Trimmed(vendor), p.vendorId, 16);
            ParseWhole(Trimmed(product), p.productId, 16);
        }
        std::string text;
        if (ReadSmallFile((dir / "product").string(), text))
            p.product = Trimmed(text);
        if (ReadSmallFile((dir / "manufacturer").string(), text))
            p.manufacturer = Trimmed(text);
        if (ReadSmallFile((dir / "serial").string(), text))
            p.serialNumber = Trimmed(text);
        return;
    }
}

} // namespace

bool MayReadWrite(mode_t mode, uid_t owner, gid_t group, uid_t user,
                  const std::vector<gid_t>& groups) {
    if (user == 0)
        return true;
    mode_t wanted = S_IROTH | S_IWOTH;
    if (user == owner)
        wanted = S_IRUSR | S_IWUSR;
    else if (std::find(groups.begin(), groups.end(), group) != groups.end())
        wanted = S_IRGRP | S_IWGRP;
    return (mode & wanted) == wanted;
}

Holders ReadHolders(const PortListSources& sources) {
    Holders holders;
    holders.proc = sources.proc;
    ReadLocks(sources, holders);
    ReadProcesses(sources, holders);
    return holders;
}

PortState StateOf(const std::vector<std::string>& paths, const Holders& holders,
                  const std::string& dev) {
    PortState state;
    struct stat st {};
    if (paths.empty() || ::stat(paths.front().c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return state;
    state.accessible =
        MayReadWrite(st.st_mode, st.st_uid, st.st_gid, ::geteuid(), EffectiveGroups());
    std::set<pid_t> by;
    if (const auto it = holders.open.find(KeyOf(st)); it != holders.open.end())
        for (const pid_t pid : it->second)
            // The process at the master end of this terminal is the device, not a user.
            if (!IsPtySlave(st.st_rdev) || !holders.ptyMasters.count({pid, PtyNumber(st.st_rdev)}))
                by.insert(pid);
    bool unclear = false;
    const std::set<std::string> names = LockNames(paths, dev);
    for (const Holders::Lock& lock : holders.locks) {
        if (lock.device != st.st_rdev && (lock.name.empty() || !names.count(lock.name)))
            continue;
        if (lock.pid)
            by.insert(lock.pid);
        else
            unclear = true;
    }
    state.held = !by.empty()                            ? PortHeld::Yes
                 : holders.allProcessesRead && !unclear ? PortHeld::No
                                                        : PortHeld::Unknown;
    for (const pid_t pid : by)
        state.holders += (state.holders.empty() ? "" : ",") + HolderName(holders.proc, pid);
    return state;
}

std::vector<SystemPort> QuerySystemPorts(const PortListSources& sources) {
    const auto byId = ReadLinks(sources.dev + "/serial/by-id");
    const auto byPath = ReadLinks(sources.dev + "/serial/by-path");
    std::error_code ec;
    fs::path sysRoot = fs::canonical(sources.sys, ec);
    if (ec)
        sysRoot = sources.sys;
    std::vector<SystemPort> ports;
    for (const auto& entry : fs::directory_iterator(sources.sys + "/class/tty", ec)) {
        const std::string name = entry.path().filename().string();
        // A serial port has a device behind it; consoles, ptmx and the virtual terminals
        // have none. Bluetooth (rfcomm) and null-modem (tnt) ports are virtual but serial.
        std::error_code deviceError;
        const fs::path device = fs::canonical(entry.path() / "device", deviceError);
        if (deviceError && name.rfind("rfcomm", 0) != 0 && name.rfind("tnt", 0) != 0)
            continue;
        // An 8250 line the kernel found no UART on ("unknown" type) is no port. The kernel
        // tells without anyone opening the device (which asking the driver would need).
        if (std::string type;
            ReadSmallFile((entry.path() / "type").string(), type) && Trimmed(type) == "0")
            continue;
        std::string node = name;
        std::replace(node.begin(), node.end(), '!', '/'); // sysfs spells a subfolder so
        SystemPort p;
        p.device = sources.dev + "/" + node;
        if (!CharDeviceNumber(p.device))
            continue;
        std::error_code realError;
        const auto real = fs::canonical(p.device, realError);
        const std::string key = realError ? p.device : real.string();
        if (const auto it = byId.find(key); it != byId.end())
            p.stablePath = it->second;
        if (const auto it = byPath.find(key); it != byPath.end())
            p.byPath = it->second;
        if (!deviceError)
            ReadUsbParent(device, sysRoot, p);
        ports.push_back(std::move(p));
    }
    return ports;
}

std::vector<AliasPort> ReadAliases(const std::string& folder) {
    std::vector<AliasPort> aliases;
    if (!IsTrustedAliasFolder(folder))
        return aliases;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        // Only the exact spelling democomm looks up ("COM" and the number, no leading zero).
        const long n = ComNumber(name);
        if (n < 1 || name != "COM" + std::to_string(n))
            continue;
        const std::string path = entry.path().string();
        AliasPort a;
        a.name = name;
        if (!CharDeviceNumber(path)) {
            a.gone = true; // e.g. a link to the terminal of a simulator that was killed
            aliases.push_back(std::move(a));
            continue;
        }
        std::error_code linkError;
        const auto target = fs::canonical(entry.path(), linkError);
        a.target = linkError ? path : target.string();
        a.simulator = ::access((folder + "/." + name + ".owner").c_str(), F_OK) == 0;
        aliases.push_back(std::move(a));
    }
    return aliases;
}

std::vector<PortInfo> ListPortsFrom(const PortListSources& sources) {
    std::vector<SystemPort> system = QuerySystemPorts(sources);
    std::vector<AliasPort> aliases = ReadAliases(sources.aliases);
    const Holders holders = ReadHolders(sources);
    for (SystemPort& p : system)
        p.state = StateOf({p.device, p.stablePath, p.byPath}, holders, sources.dev);
    for (AliasPort& a : aliases)
        if (!a.gone)
            a.state = StateOf({sources.aliases + "/" + a.name, a.target}, holders, sources.dev);
    return MergePorts(system, aliases, sources.dev);
}

std::vector<PortInfo> ListPorts() {
    return ListPortsFrom({});
}

} // namespace serial
