// The list of serial ports present. From given records: names (COMn for ttyS, an alias hiding
// the ttyS of its number), order, the stable path put in the box, the settings dialog's entries
// and the printed table. From the system: a sysfs, /dev, /proc and lock folders built in a
// temporary folder around a real pseudo-terminal (for what no real system shows on demand:
// stale and binary locks, unreadable processes), and the real /proc with a real holder.
#include "serial/portlist.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace serial;
namespace fs = std::filesystem;

namespace {

const PortState Free{true, PortHeld::No, ""};

TEST(PortList, MergeDialogEntriesAndTable) {
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0";
    const std::string socket = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:";
    const std::string ch340 = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0";
    const std::string dual = "/dev/serial/by-id/usb-FTDI_Dual_RS232-if0";
    const std::vector<SystemPort> system{
        {"/dev/ttyUSB10", byId, "FT232R USB UART", "FTDI", "A1B2", 0x0403, 0x6001, Free,
         socket + "1:1.0-port0"},
        {"/dev/ttyS1", "", "", "", "", 0, 0, Free, ""},
        {"/dev/ttyUSB2", "", "", "", "", 0, 0, {false, PortHeld::Yes, "minicom[1234]"}, ""},
        {"/dev/ttyS4", "", "", "", "", 0, 0, {true, PortHeld::Unknown, ""}, ""},
        {"/dev/ttyS0", "", "", "", "", 0, 0, Free, ""},
        {"/dev/ttyS2", "", "", "", "", 0, 0, Free, ""},
        {"/dev/ttyS01", "", "", "", "", 0, 0, Free, ""},
        // Two identical adapters without serial number: udev gave their shared by-id name to
        // one, so both are named by their socket.
        {"/dev/ttyUSB3", ch340, "USB Serial", "1a86", "", 0x1a86, 0x7523, Free,
         socket + "3:1.0-port0"},
        {"/dev/ttyUSB4", "", "USB Serial", "1a86", "", 0x1a86, 0x7523, Free,
         socket + "4:1.0-port0"},
        // The two ports of one adapter without serial number each have their own by-id name.
        {"/dev/ttyUSB5", dual + "0-port0", "Dual RS232", "FTDI", "", 0x0403, 0x6010, Free,
         socket + "5:1.0-port0"},
        {"/dev/ttyUSB6", dual + "1-port0", "Dual RS232", "FTDI", "", 0x0403, 0x6010, Free,
         socket + "5:1.1-port0"},
        // No by-id link (an adapter udev names no other way): the socket.
        {"/dev/ttyACM0", "", "", "", "", 0, 0, Free, socket + "7:1.0"},
    };
    const std::vector<AliasPort> aliases{
        {"COM2", "/dev/pts/3", true, false, Free},
        {"COM3", "", false, true, {}}, // a dangling alias still owns the name COM3
    };
    const std::vector<PortInfo> ports = MergePorts(system, aliases);

    std::vector<std::string> names;
    for (const PortInfo& p : ports)
        names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM2", "COM5", "ttyACM0", "ttyS01", "ttyS1",
                                               "ttyS2", "ttyUSB2", "ttyUSB3", "ttyUSB4", "ttyUSB5",
                                               "ttyUSB6", "ttyUSB10"}));

    std::vector<std::vector<std::string>> choices;
    for (const PortChoice& c : DialogChoices(ports))
        choices.push_back({c.boxText, c.label, c.detail});
    const std::string ch340Text = "USB Serial, 1a86, 1a86:7523";
    const std::string dualText = "Dual RS232, FTDI, 0403:6010";
    const std::vector<std::vector<std::string>> expected{
        {"COM1", "COM1", "/dev/ttyS0"},
        {"COM2", "COM2", SimulatedDeviceText},
        {"COM3", "COM3", ""},
        {"COM4", "COM4", ""},
        {"COM5", "COM5", "/dev/ttyS4"},
        {socket + "7:1.0", "ttyACM0", "/dev/ttyACM0"},
        {"ttyS01", "ttyS01", "/dev/ttyS01"},
        {"ttyS1", "ttyS1", "/dev/ttyS1"},
        {"ttyS2", "ttyS2", "/dev/ttyS2"},
        {"ttyUSB2", "ttyUSB2", "/dev/ttyUSB2（无权限）（已被占用）"},
        {socket + "3:1.0-port0", "ttyUSB3", ch340Text},
        {socket + "4:1.0-port0", "ttyUSB4", ch340Text},
        {dual + "0-port0", "ttyUSB5", dualText},
        {dual + "1-port0", "ttyUSB6", dualText},
        {byId, "ttyUSB10", "FT232R USB UART, FTDI, 0403:6001, S/N A1B2"},
    };
    EXPECT_EQ(choices, expected);
    EXPECT_EQ(ports.back().byPath, socket + "1:1.0-port0");
    EXPECT_EQ(ports[8].byId, ch340);

    const std::vector<PortInfo> few{ports[1], ports[7], ports[12]};
    const std::string pad(byId.size() - 9, ' ');
    EXPECT_EQ(FormatPortTable(few),
              "NAME      DEVICE         ACCESS  BUSY  HELD BY        STABLE PATH" + pad +
                  "DESCRIPTION\n"
                  "COM2      /dev/pts/3     yes     no    -              -" +
                  pad + "          模拟装置 (democomm-sim)\n" +
                  "ttyUSB2   /dev/ttyUSB2   no      yes   minicom[1234]  -" + pad +
                  "          -\n" + "ttyUSB10  /dev/ttyUSB10  yes     no    -              " +
                  byId + "  FT232R USB UART, FTDI, 0403:6001, S/N A1B2\n");
}

TEST(PortList, AccessFromModeOwnerAndGroups) {
    const struct {
        mode_t mode;
        uid_t owner;
        gid_t group;
        uid_t user;
        std::vector<gid_t> groups;
        bool may;
    } rows[] = {
        {0660, 0, 20, 1000, {1000, 20}, true},  // a member of the port's group (dialout)
        {0660, 0, 20, 1000, {1000}, false},     // joined it but not logged in again
        {0640, 0, 20, 1000, {1000, 20}, false}, // the group may only read
        {0066, 1000, 20, 1000, {20}, false},    // the owner's bits decide for the owner
        {0620, 1000, 5, 1000, {1000}, true},    // a pseudo-terminal of one's own
        {0606, 0, 20, 1000, {1000}, true},      // anyone may
        {0600, 7, 7, 0, {0}, true},             // root may open anything
    };
    for (const auto& r : rows)
        EXPECT_EQ(MayReadWrite(r.mode, r.owner, r.group, r.user, r.groups), r.may)
            << std::oct << r.mode << std::dec << " owner " << r.owner << " user " << r.user;
}

// Another process holding `path` open, as a program that takes no lock and no exclusive
// mode (libmodbus, pyserial) does.
class Holder {
public:
    explicit Holder(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fd, STDIN_FILENO);
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
        if (fd < 0 || ::posix_spawnp(&pid_, "sleep", &actions, nullptr, argv, environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fd);
    }
    ~Holder() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
    }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = 0;
};

// A scenario of the system query around one USB adapter, ttyUSB7, whose node is a link to a
// real pseudo-terminal. Entries are built under a fresh folder: "a/b = text" a file,
// "a/b -> target" a link, "a/b/" a folder, after replacing {root}, {pty} (the terminal),
// {n} (its number), {maj} and {min3} (its device numbers, the minor in 3 digits), {pid} (this
// process), {dead} (no process) and {bin} (this process's id as 4 binary bytes).
struct SystemCase {
    const char* what;
    std::vector<std::string> entries;
    PortHeld held;
    std::string holders;
    std::string names = "ttyUSB7"; // the ports listed
    std::string stablePath = "";
    bool realProc = false;   // the real /proc instead of {root}/proc
    bool otherHolds = false; // another process holds the terminal
    int budgetMs = 60000;
};

std::string Replaced(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    return text;
}

void Build(const fs::path& root, const std::string& entry,
           const std::map<std::string, std::string>& values) {
    const std::size_t link = entry.find(" -> "), file = entry.find(" = ");
    const std::string path =
        (root / Replaced(entry.substr(0, std::min(link, file)), values)).string();
    fs::create_directories(fs::path(path).parent_path());
    if (link != std::string::npos)
        fs::create_symlink(Replaced(entry.substr(link + 4), values), path);
    else if (file != std::string::npos)
        std::ofstream(path, std::ios::binary) << Replaced(entry.substr(file + 3), values);
    else
        fs::create_directories(path);
}

TEST(PortList, SystemQueryOpensNoPortAndTellsWhoHoldsIt) {
    const std::string usb = "sys/devices/pci0/usb1/1-2/";
    const std::vector<std::string> adapter{
        usb + "idVendor = 0403\n",
        usb + "idProduct = 6001\n",
        usb + "product = FT232R USB UART\n",
        usb + "manufacturer = FTDI\n",
        usb + "serial = A1B2\n",
        usb + "1-2:1.0/ttyUSB7/",
        "sys/class/tty/ttyUSB7/device -> {root}/" + usb + "1-2:1.0/ttyUSB7",
        "dev/ttyUSB7 -> {pty}",
        "proc/",
        "run/lock/",
    };
    const std::string byId = "{root}/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0";
    const std::string byPath = "{root}/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    const std::string master = "proc/4242/fd/3 -> /dev/ptmx";
    const PortHeld freeForAll = ::geteuid() == 0 ? PortHeld::No : PortHeld::Unknown;
    const std::vector<SystemCase> cases{
        {"nothing holds it", {}, PortHeld::No, ""},
        {"an 8250 line with no UART behind it and a console are no ports",
         {"sys/class/tty/ttyS3/type = 0\n", "sys/class/tty/ttyS3/device -> {root}/sys/devices/s3",
          "sys/devices/s3/", "dev/ttyS3 -> {pty}", "sys/class/tty/ttyS2/type = 4\n",
          "sys/class/tty/ttyS2/device -> {root}/sys/devices/s2", "sys/devices/s2/",
          "dev/ttyS2 -> {pty}", "sys/class/tty/tty1/dev = 4:1\n", "dev/tty1 -> {pty}"},
         PortHeld::No,
         "",
         "COM3 ttyUSB7"},
        {"by-id link preferred; of two by-path links the first",
         {byId.substr(7) + " -> ../../ttyUSB7", byPath.substr(7) + " -> ../../ttyUSB7",
          "dev/serial/by-path/pci-0000:00:14.0-usbv2-0:2:1.0-port0 -> ../../ttyUSB7"},
         PortHeld::No,
         "",
         "ttyUSB7",
         byId},
        {"only a by-path link",
         {byPath.substr(7) + " -> ../../ttyUSB7"},
         PortHeld::No,
         "",
         "ttyUSB7",
         byPath},
        {"lock in ASCII with the program's name after the number",
         {"run/lock/LCK..ttyUSB7 = {pid} minicom root\n", "proc/{pid}/comm = minicom\n"},
         PortHeld::Yes,
         "minicom[{pid}]"},
        {"lock with a binary number", {"run/lock/LCK..ttyUSB7 = {bin}"}, PortHeld::Yes, "[{pid}]"},
        {"stale lock: its owner has ended",
         {"run/lock/LCK..ttyUSB7 =       {dead}\n"},
         PortHeld::No,
         ""},
        {"lock by device number in the second folder",
         {"var/lock/LCK.{maj}.{min3} = {pid}\n"},
         PortHeld::Yes,
         "[{pid}]"},
        {"lock under another node of the same device",
         {"dev/ttyACM9 -> {pty}", "run/lock/LCK..ttyACM9 = {pid}\n"},
         PortHeld::Yes,
         "[{pid}]"},
        {"lock under the by-id link's name",
         {byId.substr(7) + " -> ../../ttyUSB7",
          "run/lock/LCK..usb-FTDI_FT232R_USB_UART_A1B2-if00-port0 = {pid}\n"},
         PortHeld::Yes,
         "[{pid}]",
         "ttyUSB7",
         byId},
        {"lock file that names no owner", {"run/lock/LCK..ttyUSB7 = "}, PortHeld::Unknown, ""},
        {"lock of another port", {"run/lock/LCK..ttyUSB8 = {pid}\n"}, PortHeld::No, ""},
        {"a process has it open, by another node of the same device",
         {"dev/ttyACM9 -> {pty}", "proc/4242/fd/5 -> {root}/dev/ttyACM9",
          "proc/4242/comm = python3\n", "proc/77/fd/0 -> /dev/null"},
         PortHeld::Yes,
         "python3[4242]"},
        {"the process at the terminal's master end is the device",
         {master, "proc/4242/fdinfo/3 = pos:\t0\ntty-index:\t{n}\n", "proc/4242/fd/4 -> {pty}"},
         PortHeld::No,
         ""},
        {"the master of another terminal makes no device end",
         {master, "proc/4242/fdinfo/3 = pos:\t0\ntty-index:\t{n}1\n", "proc/4242/fd/4 -> {pty}"},
         PortHeld::Yes,
         "[4242]"},
        {"a process whose descriptors cannot be read", {"proc/4242/fd = "}, PortHeld::Unknown, ""},
        {"... with a live lock",
         {"proc/4242/fd = ", "run/lock/LCK..ttyUSB7 = {pid}\n"},
         PortHeld::Yes,
         "[{pid}]"},
        {"a process ended while the list was read", {"proc/4242/comm = gone\n"}, PortHeld::No, ""},
        {"/proc not read within the budget",
         {"proc/4242/fd/"},
         PortHeld::Unknown,
         "",
         "ttyUSB7",
         "",
         false,
         false,
         -1},
        {"real /proc: another process holds it",
         {},
         PortHeld::Yes,
         "sleep[{other}]",
         "ttyUSB7",
         "",
         true,
         true},
        {"real /proc: this process holds master and slave (the device end)",
         {},
         freeForAll,
         "",
         "ttyUSB7",
         "",
         true},
    };
    const testsupport::PtyPair pty;
    struct stat st {};
    ASSERT_EQ(::stat(pty.SlavePath().c_str(), &st), 0);
    const int32_t self = ::getpid();
    int n = 0;
    for (const SystemCase& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path root =
            fs::temp_directory_path() /
            ("portlist-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
        fs::remove_all(root);
        const Holder other(c.otherHolds ? pty.SlavePath() : "/nonexistent");
        const std::map<std::string, std::string> values{
            {"{root}", root.string()},
            {"{pty}", pty.SlavePath()},
            {"{n}", std::to_string(minor(st.st_rdev) + 256 * (major(st.st_rdev) - 136))},
            {"{maj}", std::to_string(major(st.st_rdev))},
            {"{min3}", (minor(st.st_rdev) < 100 ? "0" : "") +
                           std::string(minor(st.st_rdev) < 10 ? "0" : "") +
                           std::to_string(minor(st.st_rdev))},
            {"{pid}", std::to_string(self)},
            {"{dead}", "2147483646"},
            {"{bin}", std::string(reinterpret_cast<const char*>(&self), sizeof self)},
            {"{other}", std::to_string(other.Pid())},
        };
        for (const std::string& e : adapter)
            Build(root, e, values);
        for (const std::string& e : c.entries)
            Build(root, e, values);

        // Any open of the terminal, by the list or by what it asks, shows here.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, pty.SlavePath().c_str(), IN_OPEN), 0);
        PortListSources sources;
        sources.sys = (root / "sys").string();
        sources.dev = (root / "dev").string();
        sources.proc = c.realProc ? "/proc" : (root / "proc").string();
        sources.lockFolders = {(root / "run/lock").string(), (root / "var/lock").string()};
        sources.aliases = (root / "aliases").string(); // none
        sources.procBudget = std::chrono::milliseconds(c.budgetMs);
        const std::vector<PortInfo> ports = ListPortsFrom(sources);
        char events[4096];
        EXPECT_LT(::read(watch, events, sizeof events), 0) << "the list opened the port";
        ::close(watch);

        std::string names;
        const PortInfo* adapterPort = nullptr;
        for (const PortInfo& p : ports) {
            names += (names.empty() ? "" : " ") + p.name;
            if (p.name == "ttyUSB7")
                adapterPort = &p;
        }
        EXPECT_EQ(names, c.names);
        ASSERT_NE(adapterPort, nullptr);
        EXPECT_EQ(adapterPort->device, (root / "dev/ttyUSB7").string());
        EXPECT_EQ(adapterPort->description, "FT232R USB UART, FTDI, 0403:6001, S/N A1B2");
        EXPECT_TRUE(adapterPort->state.accessible);
        EXPECT_EQ(adapterPort->state.held, c.held);
        EXPECT_EQ(adapterPort->state.holders, Replaced(c.holders, values));
        EXPECT_EQ(adapterPort->stablePath, Replaced(c.stablePath, values));
        fs::remove_all(root);
    }
}

} // namespace
