#pragma once
// The serial ports present: what the settings dialog offers and `--list-ports` prints.
//
// Two halves. The system query (QuerySystemPorts, ReadAliases, ProbePort, ListPorts) asks
// Qt's QSerialPortInfo for the ports, finds their stable paths under /dev/serial/by-id, reads
// the alias folder and probes each port. The pure half (MergePorts, DialogChoices,
// FormatPortTable) turns given records into names, descriptions, the dialog's entries and the
// table, so it can be tested without hardware. Only this library links QtSerialPort; the port
// I/O itself is PosixPort's.
//
// All strings are UTF-8. All functions are safe on any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace serial {

// Whether another program holds a port.
enum class PortHeld { No, Yes, Unknown };

// What a probe of one device path found.
struct PortState {
    bool accessible = false;           // this user may open it for reading and writing
    PortHeld held = PortHeld::Unknown; // Unknown when the probe could not open it
};

// One port as the system lists it.
struct SystemPort {
    std::string device;     // "/dev/ttyUSB0"
    std::string stablePath; // its link under /dev/serial/by-id, or empty
    std::string product, manufacturer, serialNumber;
    uint16_t vendorId = 0, productId = 0; // USB identifiers, 0 when unknown
    PortState state;
};

// One alias "COMn" in the alias folder.
struct AliasPort {
    std::string name;       // "COM2"
    std::string target;     // the device it leads to, "/dev/pts/3"
    bool simulator = false; // made by democomm-sim (it keeps an owner record beside it)
    bool gone = false;      // leads to no character device: not listed, but the name COMn
                            // still means the alias (democomm opens it and fails)
    PortState state;
};

// One entry of the list.
struct PortInfo {
    std::string name;        // as the port box takes it: "COM1", "COM2", "ttyUSB0"
    std::string device;      // the device that name opens
    std::string stablePath;  // a name that survives re-plugging, or empty
    std::string description; // product, manufacturer, vendor:product, serial number; may be empty
    PortState state;

    // What to put in the port box for this port: the stable path when there is one, so that
    // an adapter plugged back in under another ttyUSB number is still found.
    const std::string& BoxName() const { return stablePath.empty() ? name : stablePath; }
};

// The description of an alias made by democomm-sim.
inline constexpr const char* SimulatedDeviceText = "模拟装置 (democomm-sim)";

// Names, describes and orders the ports. An alias keeps its name; /dev/ttyS<n-1> is "COMn"
// unless an alias of that name hides it, and is then named "ttyS<n-1>"; other devices
// directly under /dev take their file name, the rest their path. Order: COMn names by n,
// then the others by name with trailing numbers compared as numbers (ttyUSB2 before
// ttyUSB10).
std::vector<PortInfo> MergePorts(const std::vector<SystemPort>& system,
                                 const std::vector<AliasPort>& aliases);

// One entry of the settings dialog's port list.
struct PortChoice {
    std::string boxText; // put in the box when chosen
    std::string label;   // short name shown in the list
    std::string detail;  // shown beside it: description (or device), access and holder marks
};

// The dialog's list: "COM1".."COM4" in that order, each with the detail of the port it
// reaches now (none when nothing is there), then every other port of `ports` in their order.
std::vector<PortChoice> DialogChoices(const std::vector<PortInfo>& ports);

// The table `--list-ports` prints: a header line and one line per port, columns NAME, DEVICE,
// ACCESS, BUSY, STABLE PATH, DESCRIPTION, aligned in spaces, "-" for an empty field.
std::string FormatPortTable(const std::vector<PortInfo>& ports);

// --- the system query

// The ports QSerialPortInfo lists, with stable paths and probed.
std::vector<SystemPort> QuerySystemPorts();

// The aliases "COMn" in `folder`, those that lead to a character device probed, the others
// marked gone; none when the folder cannot be trusted (IsTrustedAliasFolder).
std::vector<AliasPort> ReadAliases(const std::string& folder);

// Whether this user may open `path` (access R_OK|W_OK), and whether another program holds
// it. The holder test opens the device with O_RDWR|O_NOCTTY|O_NONBLOCK and closes it at
// once: a refusal with EBUSY (the holder set exclusive mode), exclusive mode set (seen by
// root, whom it does not keep out) or an exclusive flock that a shared non-blocking flock
// cannot join all mean held. democomm holds its port in all these ways. A holder that uses
// none of them is not seen. The probe never changes line settings and, as the holder's
// descriptor stays open, its close is not the last one (no hang-up). On a port nobody holds,
// the open raises DTR and RTS and the close drops them, as any open and close does.
PortState ProbePort(const std::string& path);

// MergePorts(QuerySystemPorts(), ReadAliases(AliasFolder())).
std::vector<PortInfo> ListPorts();

} // namespace serial
