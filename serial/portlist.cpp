#include "serial/portlist.h"

#include "serial/portname.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>

namespace serial {

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
std::string NameOf(const std::string& device, const std::set<long>& aliasNumbers) {
    const std::string ttyS = "/dev/ttyS";
    if (device.rfind(ttyS, 0) == 0) {
        unsigned k = 0;
        const char* last = device.data() + device.size();
        const auto [end, ec] = std::from_chars(device.data() + ttyS.size(), last, k);
        // The round trip refuses "ttyS01" and the like, which no COM name reaches.
        if (ec == std::errc() && end == last && device == ttyS + std::to_string(k) && k < 1000000 &&
            !aliasNumbers.count(k + 1))
            return "COM" + std::to_string(k + 1);
    }
    const std::string dev = "/dev/";
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
                                 const std::vector<AliasPort>& aliases) {
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
                         .state = a.state});
    }
    for (const SystemPort& p : system)
        ports.push_back({.name = NameOf(p.device, aliasNumbers),
                         .device = p.device,
                         .stablePath = p.stablePath,
                         .description = Describe(p),
                         .state = p.state});
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
        {"NAME", "DEVICE", "ACCESS", "BUSY", "STABLE PATH", "DESCRIPTION"}};
    const auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const PortInfo& p : ports) {
        const char* held = p.state.held == PortHeld::Yes  ? "yes"
                           : p.state.held == PortHeld::No ? "no"
                                                          : "?";
        rows.push_back({p.name, orDash(p.device), p.state.accessible ? "yes" : "no", held,
                        orDash(p.stablePath), orDash(p.description)});
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

PortState ProbePort(const std::string& path) {
    PortState state;
    state.accessible = ::access(path.c_str(), R_OK | W_OK) == 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A terminal in exclusive mode refuses everyone but root with EBUSY.
        state.held = errno == EBUSY ? PortHeld::Yes : PortHeld::Unknown;
        return state;
    }
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive)
        state.held = PortHeld::Yes;
    else if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        state.held = errno == EWOULDBLOCK ? PortHeld::Yes : PortHeld::Unknown;
    else
        state.held = PortHeld::No;
    ::close(fd); // also releases the shared lock
    return state;
}

std::vector<SystemPort> QuerySystemPorts() {
    // The stable links, by the device they lead to. by-id names the adapter (vendor, product,
    // serial number), so it follows the adapter to another USB socket; identical adapters
    // without serial numbers share one name, and udev then gives it to one of them only.
    std::map<std::string, std::string> stable;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/serial/by-id", ec)) {
        std::error_code linkError;
        const auto target = std::filesystem::canonical(entry.path(), linkError);
        if (!linkError)
            stable.emplace(target.string(), entry.path().string());
    }
    std::vector<SystemPort> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SystemPort p;
        p.device = info.systemLocation().toStdString();
        std::error_code canonicalError;
        const auto real = std::filesystem::canonical(p.device, canonicalError);
        if (const auto it = stable.find(canonicalError ? p.device : real.string());
            it != stable.end())
            p.stablePath = it->second;
        p.product = info.description().toStdString();
        p.manufacturer = info.manufacturer().toStdString();
        p.serialNumber = info.serialNumber().toStdString();
        if (info.hasVendorIdentifier())
            p.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            p.productId = info.productIdentifier();
        p.state = ProbePort(p.device);
        ports.push_back(std::move(p));
    }
    return ports;
}

std::vector<AliasPort> ReadAliases(const std::string& folder) {
    std::vector<AliasPort> aliases;
    if (!IsTrustedAliasFolder(folder))
        return aliases;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        // Only the exact spelling democomm looks up ("COM" and the number, no leading zero).
        const long n = ComNumber(name);
        if (n < 1 || name != "COM" + std::to_string(n))
            continue;
        const std::string path = entry.path().string();
        AliasPort a;
        a.name = name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            a.gone = true; // e.g. a link to the terminal of a simulator that was killed
            aliases.push_back(std::move(a));
            continue;
        }
        std::error_code linkError;
        const auto target = std::filesystem::canonical(entry.path(), linkError);
        a.target = linkError ? path : target.string();
        a.simulator = ::access((folder + "/." + name + ".owner").c_str(), F_OK) == 0;
        a.state = ProbePort(path);
        aliases.push_back(std::move(a));
    }
    return aliases;
}

std::vector<PortInfo> ListPorts() {
    return MergePorts(QuerySystemPorts(), ReadAliases(AliasFolder()));
}

} // namespace serial
