// The list of serial ports present, from given records: names (COMn for ttyS, an alias hiding
// the ttyS of its number), order, the settings dialog's entries and the printed table.
#include "serial/portlist.h"

#include <gtest/gtest.h>

using namespace serial;

namespace {

const PortState Free{true, PortHeld::No};

TEST(PortList, MergeDialogEntriesAndTable) {
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0";
    const std::vector<SystemPort> system{
        {"/dev/ttyUSB10", byId, "FT232R USB UART", "FTDI", "A1B2", 0x0403, 0x6001, Free},
        {"/dev/ttyS1", "", "", "", "", 0, 0, Free},
        {"/dev/ttyUSB2", "", "", "", "", 0, 0, {false, PortHeld::Yes}},
        {"/dev/ttyS4", "", "", "", "", 0, 0, {true, PortHeld::Unknown}},
        {"/dev/ttyS0", "", "", "", "", 0, 0, Free},
        {"/dev/ttyS2", "", "", "", "", 0, 0, Free},
        {"/dev/ttyS01", "", "", "", "", 0, 0, Free},
    };
    const std::vector<AliasPort> aliases{
        {"COM2", "/dev/pts/3", true, false, Free},
        {"COM3", "", false, true, {}}, // a dangling alias still owns the name COM3
    };
    const std::vector<PortInfo> ports = MergePorts(system, aliases);

    std::vector<std::string> names;
    for (const PortInfo& p : ports)
        names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM2", "COM5", "ttyS01", "ttyS1", "ttyS2",
                                               "ttyUSB2", "ttyUSB10"}));

    std::vector<std::vector<std::string>> choices;
    for (const PortChoice& c : DialogChoices(ports))
        choices.push_back({c.boxText, c.label, c.detail});
    const std::vector<std::vector<std::string>> expected{
        {"COM1", "COM1", "/dev/ttyS0"},
        {"COM2", "COM2", SimulatedDeviceText},
        {"COM3", "COM3", ""},
        {"COM4", "COM4", ""},
        {"COM5", "COM5", "/dev/ttyS4"},
        {"ttyS01", "ttyS01", "/dev/ttyS01"},
        {"ttyS1", "ttyS1", "/dev/ttyS1"},
        {"ttyS2", "ttyS2", "/dev/ttyS2"},
        {"ttyUSB2", "ttyUSB2", "/dev/ttyUSB2（无权限）（已被占用）"},
        {byId, "ttyUSB10", "FT232R USB UART, FTDI, 0403:6001, S/N A1B2"},
    };
    EXPECT_EQ(choices, expected);

    const std::vector<PortInfo> few{ports[1], ports[6], ports[7]};
    EXPECT_EQ(FormatPortTable(few), "NAME      DEVICE         ACCESS  BUSY  STABLE PATH" +
                                        std::string(byId.size() - 9, ' ') +
                                        "DESCRIPTION\n"
                                        "COM2      /dev/pts/3     yes     no    -" +
                                        std::string(byId.size() + 1, ' ') +
                                        "模拟装置 (democomm-sim)\n"
                                        "ttyUSB2   /dev/ttyUSB2   no      yes   -" +
                                        std::string(byId.size() + 1, ' ') + "-\n" +
                                        "ttyUSB10  /dev/ttyUSB10  yes     no    " + byId +
                                        "  FT232R USB UART, FTDI, 0403:6001, S/N A1B2\n");
}

} // namespace
