// The printed results: each line as it reaches the display.
#include "cli/Printers.h"
#include "common/aDefs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Keeps the lines instead of writing them, each marked with its stream.
class RecordingDisplay : public CLI_Display {
public:
    void info_message(const char* text) override { lines.push_back(std::string("out:") + text); }
    void error_message(const char* text) override { lines.push_back(std::string("err:") + text); }

    std::vector<std::string> lines;
};

using Lines = std::vector<std::string>;

DeviceInfo device(linkType type, uint32_t serial, uint32_t model, const char* name)
{
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serialNumber = serial;
    info.spec.model = model;
    info.modelName = "not this name";
    info.name = name;
    return info;
}

DeviceInfo tcpDevice(uint32_t serial, uint32_t model, const char* name, const uint8_t (&address)[4])
{
    DeviceInfo info = device(TCPIP, serial, model, name);
    std::memcpy(&info.spec.ipAddress, address, sizeof address);
    return info;
}

void setFirmware(DeviceInfo& info, uint8_t major, uint8_t minor, uint32_t patch, uint32_t build)
{
    info.major = major;
    info.minor = minor;
    info.patch = patch;
    info.build = build;
}

const char USB_HEADER[] = "out:    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char IP_HEADER[] =
    "out:    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

} // namespace

TEST(Printers, VersionLine)
{
    RecordingDisplay display;
    _display_app_version(display);
    EXPECT_EQ(display.lines, Lines{"out:Updater (Version: 2.12.4 May 26 2026)"});
}

TEST(Printers, FingerprintWordsInIndexOrder)
{
    RecordingDisplay display;
    Fingerprint fingerprint{{0x0000ABCD, 0xDEADBEEF, 0x1, 0xFFFFFFFF}};
    _display_fingerprint(display, fingerprint);
    EXPECT_EQ(display.lines, Lines{"out:[ 0000ABCD DEADBEEF 00000001 FFFFFFFF ]"});
}

TEST(Printers, EmptyBuildListIsOneLineWithoutHeader)
{
    RecordingDisplay display;
    _display_builds(display, {}, 0x40F5849A);
    EXPECT_EQ(display.lines, Lines{"out:No builds found for device [40F5849A]"});
}

TEST(Printers, BuildListNewestVersionFirstInFifteenColumns)
{
    RecordingDisplay display;
    _display_builds(display,
                    {{"99528558", "2.10.4"},
                     {"1234", "2.12.0"},
                     {"123456789012345678", "2.9.17"},
                     {"77", "a version text longer than fifteen"}},
                    0xAB);
    EXPECT_EQ(display.lines, (Lines{
                                 "out:Build List for device [000000AB]:\n",
                                 "out:Build          \tVersion        ",
                                 "out:1234           \t2.12.0         ",
                                 "out:99528558       \t2.10.4         ",
                                 "out:123456789012345\t2.9.17         ",
                                 "out:77             \ta version text ",
                             }));
}

TEST(Printers, EmptyDeviceListNamesItsTransport)
{
    struct Case {
        linkType type;
        const char* heading;
    };
    const Case cases[] = {
        {USB, "out:Discovered Devices: (USB)"},
        {TCPIP, "out:Discovered Devices: (TCPIP)"},
        {INVALID, "out:Discovered Devices: (Unknown)"},
        {SERIAL, "out:Discovered Devices: (Unknown)"},
    };
    for (const Case& c : cases) {
        RecordingDisplay display;
        _display_device_list(display, {}, c.type);
        EXPECT_EQ(display.lines, (Lines{c.heading, "out:    No devices found."}));
    }
}

TEST(Printers, UsbDevicesWithFirmwareOrError)
{
    DeviceInfo bench = device(USB, 0x40F5849A, aMODEL_ORVAN, "Bench A");
    bench.spec.moduleAddress = 0x06;
    setFirmware(bench, 2, 12, 4, 99528558);
    DeviceInfo busy = device(USB, 0xABCD, aMODEL_ORVAN, "Busy");
    setFirmware(busy, 2, 12, 4, 99528558);
    busy.error = 5;
    DeviceInfo unknownModel = device(USB, 0x1, 99, "");
    unknownModel.spec.routerAddress = 0xA2;
    setFirmware(unknownModel, 10, 0, 123, 4294967295u);

    RecordingDisplay display;
    _display_device_list(display, {bench, busy, unknownModel}, USB);
    EXPECT_EQ(display.lines,
              (Lines{
                  "out:Discovered Devices: (USB)",
                  USB_HEADER,
                  "out:    40F5849A  06       00      Orvan          2.12.4 (  99528558)         Bench A",
                  "out:    0000ABCD  [Error (5): Device in use. Close all other Zentrova associated applications.]",
                  "out:    00000001  00       A2      Unknown       10.0.123 (4294967295)         ",
              }));
}

TEST(Printers, TcpDevicesShowTheirAddressAndNeverTheError)
{
    DeviceInfo hall = tcpDevice(0x2181F0EE, aMODEL_EVRAST, "Hall", {192, 168, 1, 20});
    hall.spec.moduleAddress = 0x02;
    hall.spec.routerAddress = 0x0A;
    setFirmware(hall, 2, 9, 17, 1234);
    DeviceInfo failed = tcpDevice(0xBEEF, 0, "", {10, 0, 0, 7});
    failed.error = 5;
    DeviceInfo widest = tcpDevice(0xFFFFFFFF, aMODEL_KORVELPRO, "Wide", {255, 255, 255, 255});

    RecordingDisplay display;
    _display_device_list(display, {hall, failed, widest}, TCPIP);
    EXPECT_EQ(display.lines,
              (Lines{
                  "out:Discovered Devices: (TCPIP)",
                  IP_HEADER,
                  "out:    2181F0EE  02       0A      Evrast         2.9.17 (      1234)        [192.168.1.20]     Hall",
                  "out:    0000BEEF  00       00      Unknown        0.0.0 (         0)        [10.0.0.7]         ",
                  "out:    FFFFFFFF  00       00      Korvelpro      0.0.0 (         0)        [255.255.255.255]  Wide",
              }));
}

TEST(Printers, LineFormFollowsEachDevicesOwnLinkType)
{
    // Behind a router searched on any transport: the heading is the one with
    // addresses, and each line takes the form of its device's link type.
    DeviceInfo usb = device(USB, 0x10, aMODEL_BOVIN, "Left");
    usb.spec.moduleAddress = 0x04;
    usb.spec.routerAddress = 0x02;
    setFirmware(usb, 1, 2, 3, 7);
    DeviceInfo tcp = tcpDevice(0x20, aMODEL_BOVIN, "Right", {127, 0, 0, 1});
    DeviceInfo serialBusy = device(SERIAL, 0x30, aMODEL_BOVIN, "");
    serialBusy.error = 11;

    RecordingDisplay display;
    _display_device_list(display, {usb, tcp, serialBusy}, INVALID);
    EXPECT_EQ(display.lines,
              (Lines{
                  "out:Discovered Devices: (Unknown)",
                  IP_HEADER,
                  "out:    00000010  04       02      Bovin          1.2.3 (         7)         Left",
                  "out:    00000020  00       00      Bovin          0.0.0 (         0)        [127.0.0.1]        Right",
                  "out:    00000030  [Error (11): Device in use. Close all other Zentrova associated applications.]",
              }));
}
