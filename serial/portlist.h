#pragma once
// The serial ports present: what the settings dialog offers and `--list-ports` prints.
//
// Two halves. The system query (QuerySystemPorts, ReadAliases, ReadHolders, StateOf,
// ListPorts) reads the tty devices in sysfs, their links under /dev/serial/by-id and
// /dev/serial/by-path, the alias folder, the UUCP lock files and which processes have which
// devices open. It never opens a port: an open raises DTR and RTS, which resets boards that
// reset on DTR and, on a port whose HUPCL was cleared, leaves an RS-485 adapter driving the bus
// after the close. The pure half (MergePorts, DialogChoices, FormatPortTable) turns given
// records into names, descriptions, the dialog's entries and the table, so it can be tested
// without hardware. Port I/O is PosixPort's.
//
// All strings are UTF-8. All functions are safe on any thread.

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "serial/portname.h"

namespace serial {

// Whether another program holds a port.
enum class PortHeld { No, Yes, Unknown };

// What the system says about one device path, found without opening it.
struct PortState {
    bool accessible = false;           // this user may open it for reading and writing
    PortHeld held = PortHeld::Unknown; // Unknown when neither lock files nor /proc can tell
    std::string holders; // who holds it: "minicom[1234]", several joined by ","; may be empty
};

// One port as the system lists it.
struct SystemPort {
    std::string device;     // "/dev/ttyUSB0"
    std::string stablePath; // its link under /dev/serial/by-id, or empty
    std::string product, manufacturer, serialNumber;
    uint16_t vendorId = 0, productId = 0; // USB identifiers, 0 when unknown
    PortState state;
    std::string byPath; // its link under /dev/serial/by-path (the socket it is in), or empty
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
    std::string stablePath;  // a name that survives re-plugging (byId or byPath), or empty
    std::string description; // product, manufacturer, vendor:product, serial number; may be empty
    PortState state;
    std::string byId, byPath; // its links under /dev/serial/by-id and by-path, or empty

    // What to put in the port box for this port: the stable path when there is one, so that
    // an adapter plugged back in under another ttyUSB number is still found.
    const std::string& BoxName() const { return stablePath.empty() ? name : stablePath; }
};

// The description of an alias made by democomm-sim.
inline constexpr const char* SimulatedDeviceText = "模拟装置 (democomm-sim)";

// Names, describes and orders the ports. An alias keeps its name; /dev/ttyS<n-1> is "COMn"
// unless an alias of that name hides it, and is then named "ttyS<n-1>"; other devices
// directly under /dev (`dev`) take their file name, the rest their path. Order: COMn names by n,
// then the others by name with trailing numbers compared as numbers (ttyUSB2 before
// ttyUSB10).
// The stable path is the by-id link (it follows the adapter to any socket), except for an
// adapter without serial number that has a twin present (same USB ids and strings, also
// without serial number) lacking a by-id link: udev gave their shared by-id name to one of
// the two, and it may lead to the other after the next plugging, so the by-path link (the
// socket) names it. A port without by-id link takes its by-path link.
std::vector<PortInfo> MergePorts(const std::vector<SystemPort>& system,
                                 const std::vector<AliasPort>& aliases,
                                 const std::string& dev = "/dev");

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
// ACCESS, BUSY (yes, no, ? when it cannot be told), HELD BY, STABLE PATH, DESCRIPTION, aligned
// in spaces, "-" for an empty field.
std::string FormatPortTable(const std::vector<PortInfo>& ports);

// --- the system query

// Where the list reads the system. The defaults are the system's own; tests point them at
// folders they build.
struct PortListSources {
    std::string sys = "/sys";   // class/tty: the tty devices, their kind and USB parents
    std::string dev = "/dev";   // the device nodes, serial/by-id and serial/by-path
    std::string proc = "/proc"; // which process has which device open
    std::vector<std::string> lockFolders{"/run/lock", "/var/lock"}; // UUCP lock files
    std::string aliases = AliasFolder();
    // The walk through /proc stops after this; ports no process seen so far holds are then
    // Unknown. It bounds the time the settings dialog takes to open on a crowded machine.
    std::chrono::milliseconds procBudget{100};
};

// The serial ports in sysfs (tty devices with a parent device, rfcomm and tnt), without the
// 8250 ports that have no UART behind them (sysfs type 0), with their by-id and by-path links
// and USB descriptions. States are not filled in.
std::vector<SystemPort> QuerySystemPorts(const PortListSources& sources = {});

// The aliases "COMn" in `folder`, those that lead to no character device marked gone; none
// when the folder cannot be trusted (IsTrustedAliasFolder). States are not filled in.
std::vector<AliasPort> ReadAliases(const std::string& folder);

// Who holds which device, read once for a whole list by ReadHolders.
struct Holders {
    // A device as processes reach it: its device number and, for a pseudo-terminal, the
    // file system (each devpts instance numbers its terminals from 0).
    using Key = std::pair<dev_t, dev_t>;
    std::map<Key, std::set<pid_t>> open;             // processes that have the device open
    std::set<std::pair<pid_t, unsigned>> ptyMasters; // (process, terminal number) of masters
    bool allProcessesRead = true; // every process's descriptors were read, within the budget
    struct Lock {
        std::string name; // what follows "LCK..", or empty for a "LCK.MMM.mmm" lock
        dev_t device = 0; // the device the name leads to (or its numbers), 0 when none
        pid_t pid = 0;    // its owner, running (kill 0); 0 when the file names none
    };
    std::vector<Lock> locks; // stale locks (owner no longer running) left out
    std::string proc;        // where the processes' names are read
};

// Reads the lock folders (each once, /var/lock is usually /run/lock) and every process's
// descriptors in `sources.proc` that this user may read.
Holders ReadHolders(const PortListSources& sources = {});

// The state of the port reached by `paths` (the device first, then other names of it: links,
// the alias), from `holders`. Accessible: from the device's mode, owner and group against the
// effective user and groups (root may open anything). Held: Yes when a live lock names it
// (by any of the names, or by device number) or a process has it open, except a process that
// holds the master of that very pseudo-terminal (that is the device end, such as
// democomm-sim); No when every process was read and no lock naming it lacks an owner; else
// Unknown.
PortState StateOf(const std::vector<std::string>& paths, const Holders& holders,
                  const std::string& dev = "/dev");

// Whether a file of `mode`, `owner` and `group` may be opened for reading and writing by
// effective user `user` with the groups `groups` (effective group included): the owner's
// bits for the owner, else the group's for a member, else the others'; root always.
bool MayReadWrite(mode_t mode, uid_t owner, gid_t group, uid_t user,
                  const std::vector<gid_t>& groups);

// QuerySystemPorts and ReadAliases with their states from one ReadHolders, merged.
std::vector<PortInfo> ListPortsFrom(const PortListSources& sources);

// ListPortsFrom the system's own places.
std::vector<PortInfo> ListPorts();

} // namespace serial
