// test-labels: integration netns
// test-wrapper: umockdev
// The i.MX road of the chip fingerprint: the live loader written through the
// simulated serial download boot ROM on a pseudo-terminal and started, then
// found as a device on the emulated USB bus and its identifier read; the
// live loader's file taken from the store or the update server; and the
// recovery firmware's download by fingerprint.
#include "engine/BirdFile.h"
#include "engine/Updater.h"
#include "engine/UpdaterEntity.h"
#include "engine/UpdaterStore.h"
#include "platform/Tessaline_libusb.h"
#include "recovery/SDPLoader_Interface.h"
#include "tests/cli/updater_run.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/device_model.h"
#include "tests/sim/hidraw_carrier.h"
#include "tests/sim/module_info.h"
#include "tests/sim/netns.h"
#include "tests/sim/pty_carrier.h"
#include "tests/sim/sdp_boot_rom.h"
#include "tests/sim/system_entity.h"
#include "tests/sim/uei_entities.h"
#include "tests/sim/upgrade_device.h"
#include "tests/sim/update_server_fixture.h"
#include "tests/sim/usb_carrier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using enginetest::RecordingDisplay;

namespace {

class PrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    }
};
const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kReset = 11;
const uint32_t kIdentifier[4] = {0x11112222, 0x33334444, 0x55556666, 0x77778888}; // by sub-index

// The live loader as it shows up on USB: a device of the family whose system
// entity holds the chip's identifier.
struct LiveLoader {
    explicit LiveLoader(uint32_t serial, int failingSubindex = -1)
        : device(sim::DeviceConfig{0x02, sim::kEchoCommand, serial, 0}), info(device, entities, 1)
    {
        sim::installSystemEntity(entities, sim::systemValues(device.config()));
        entities.setOption(
            sim::kSystemCommand, 0, systemUniqueIdentifier, sim::UeiType::Int,
            [failingSubindex](const sim::UeiRequest& r) {
                const int sub = r.value.empty() ? 0 : r.value[0];
                if (sub == failingSubindex || sub > 3) return sim::UeiAnswer::failure(2);
                return sim::UeiAnswer::intValue(kIdentifier[sub]);
            },
            {});
    }
    bool wasReset() const
    {
        for (const sim::UeiRequest& r : entities.requests())
            if (r.command == sim::kSystemCommand && r.option == kReset && r.set) return true;
        return false;
    }
    sim::DeviceModel device;
    sim::UeiEntities entities{device};
    sim::ModuleInfo info;
    sim::UpgradeDevice upgrade{device, entities};
};

// An i.MX boot ROM behind the port a case names: emulated HID under the
// ROM's own ids (so that a wrong id in the client shows), or a
// pseudo-terminal. The carriers go before the chip they feed.
struct BootRomPort {
    explicit BootRomPort(bool hid) : chip{hid ? sim::SdpBootRom::Wire::Hid : sim::SdpBootRom::Wire::Uart}
    {
        if (hid) {
            usbHid = std::make_unique<sim::HidrawCarrier>();
            usbHid->plug({0x1FC9, 0x0130, "SE Blank RT Family", sim::SdpBootRom::hidReportDescriptor()}, chip);
        } else {
            line = std::make_unique<sim::PtyCarrier>(chip, sim::PtyCarrier::Framing::Raw);
            port = line->path();
        }
    }
    sim::SdpBootRom chip;
    std::unique_ptr<sim::PtyCarrier> line;
    std::unique_ptr<sim::HidrawCarrier> usbHid;
    std::string port = "USB";
};

class ImxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/recovery_imx.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        storeDir = root + "/updater";
    }
    void TearDown() override
    {
        Tessaline_libusb_exit();
        usb.reset();
        std::system(("rm -rf " + root).c_str());
    }
    int plug(LiveLoader& loader)
    {
        return usb->plug(sim::UsbDeviceDescription::tessaline(loader.device.config().serialNumber), loader.device);
    }

    // Told to reboot after the firmware, the live loader leaves the bus.
    std::thread unplugOnReboot(LiveLoader& loader, int handle)
    {
        return std::thread([this, &loader, handle] {
            loader.device.waitFor(
                [](const sim::Records& r) {
                    for (const sim::Packet& p : r.packets)
                        if (p.data == std::vector<uint8_t>{0x5F, 0x06}) return true;
                    return false;
                },
                60000);
            usb->unplug(handle);
        });
    }
    static sim::BirdWriter loaderBird()
    {
        sim::BirdWriter bird;
        bird.loader(0x20000000, sim::randomBytes(2048, 1)).loader(0x20002000, sim::randomBytes(1500, 2));
        return bird;
    }
    // The server gives the default recovery image as the live loader, and
    // for the chip's identifier the device kSerial with build 900, the firmware.
    static void serveRecovery(sim::UpdateServer& server, const sim::BirdWriter& firmware)
    {
        const uint32_t fingerprint[4] = {kIdentifier[3], kIdentifier[2], kIdentifier[1], kIdentifier[0]};
        server.addBuild(kDefaultSerialNumber, 5,
                        loaderBird().identity(5, "1.0.0", kDefaultSerialNumber, "Korvel").file());
        server.addRecovery(fingerprint, kSerial, 900);
        server.addBuild(kSerial, 900, firmware.file());
    }
    bool loaderWritten() const
    {
        return rom.memory(0x20000000, 2048) == sim::randomBytes(2048, 1) &&
               rom.memory(0x20002000, 1500) == sim::randomBytes(1500, 2);
    }
    std::string root;
    std::string storeDir;
    sim::SdpBootRom rom{sim::SdpBootRom::Wire::Uart};
    sim::PtyCarrier pty{rom, sim::PtyCarrier::Framing::Raw};
    std::unique_ptr<sim::UsbCarrier> usb = std::make_unique<sim::UsbCarrier>();
    RecordingDisplay display;
};

TEST_F(ImxTest, LiveLoaderFromAFileIsStartedAndItsIdentifierRead)
{
    LiveLoader loader(kSerial);
    plug(loader);
    const std::string path = loaderBird().write(root + "/loader.bird");
    Updater updater("http://127.0.0.1:1", storeDir.c_str(), display);
    Fingerprint print{};
    ASSERT_TRUE(_get_fingerprint_imx(display, updater, pty.path(), kSerial, path, print, true));
    EXPECT_TRUE(loaderWritten());
    EXPECT_EQ(rom.jumpAddress(), IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(print.words[3 - i], kIdentifier[i]) << i;
    EXPECT_TRUE(loader.wasReset());
    EXPECT_EQ(display.lines(), std::vector<std::string>{});
}

// The fingerprint over a serial port: the LPC probe finds no LPC17xx and
// leaves its bytes in the i.MX ROM's command assembly, which the i.MX road
// realigns, for a ROM that keeps a half-received command and for one that
// drops it after an idle time, the probe at 115200 baud or at 9600.
TEST_F(ImxTest, FingerprintOverASerialPortAfterTheLpcProbe)
{
    LiveLoader loader(kSerial);
    plug(loader);
    const std::string path = loaderBird().write(root + "/loader.bird");
    struct Case {
        int idleDropMs;
        unsigned baudRate;
    } cases[] = {{-1, 115200}, {-1, 9600}, {200, 115200}};
    for (const Case& c : cases) {
        sim::SdpBootRom chip{sim::SdpBootRom::Wire::Uart};
        chip.setIdleDrop(c.idleDropMs);
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        const std::string name = std::to_string(c.idleDropMs) + " " + std::to_string(c.baudRate);
        Updater updater("http://127.0.0.1:1", storeDir.c_str(), display);
        Fingerprint print{};
        ASSERT_TRUE(updater.Get_Fingerprint(print, line.path(), kSerial, path, c.baudRate, true)) << name;
        EXPECT_EQ(updater.recoveryChip, 1) << name;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(print.words[3 - i], kIdentifier[i]) << name << i;
        EXPECT_EQ(chip.memory(0x20000000, 2048), sim::randomBytes(2048, 1)) << name;
        EXPECT_EQ(chip.jumpAddress(), IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS) << name;
        EXPECT_EQ(chip.droppedBytes() > 0, c.idleDropMs >= 0) << name;
    }
    EXPECT_EQ(display.lines(), std::vector<std::string>{});
}

// The whole recovery of an i.MX RT1050 through its boot ROM on USB HID and
// on a serial port: the live loader goes in through the boot ROM and,
// started, shows up on USB and gives the chip's identifier. Without a file
// the update server names the device and build for it, and the default
// recovery image serves as the live loader; with one the file holds both.
// The firmware is written through the live loader, which then reboots.
TEST_F(ImxTest, RecoveryWritesTheFirmwareThroughTheLiveLoader)
{
    const Bytes image = sim::randomBytes(6000, 40);
    sim::BirdWriter firmware = loaderBird();
    firmware.identity(900, "2.15.3", kSerial, "Korvel").firmware(0x60000000, image);
    const std::string path = firmware.write(root + "/recover.bird");
    sim::UpdateServer server;
    serveRecovery(server, firmware);
    struct Case {
        const char* name;
        bool hid;
        uint32_t loaderSerial;
        unsigned serial;
        std::string file;
    } cases[] = {
        {"serial port, server", false, kDefaultSerialNumber, 0, ""},
        {"serial port, file", false, kSerial, kSerial, path},
        {"HID, server", true, kDefaultSerialNumber, 0, ""},
        {"HID, file", true, kSerial, kSerial, path},
    };
    for (const Case& c : cases) {
        BootRomPort rom(c.hid);
        sim::SdpBootRom& chip = rom.chip;
        const std::string& port = rom.port;
        LiveLoader loader(c.loaderSerial);
        const int handle = plug(loader);
        std::thread rebooter = unplugOnReboot(loader, handle);
        RecordingDisplay shown;
        Updater updater(server.url().c_str(), (storeDir + std::to_string(&c - cases)).c_str(), shown);
        EXPECT_TRUE(updater.Recover_Firmware(port, 0, 115200, c.serial, c.file, false)) << c.name;
        EXPECT_EQ(updater.recoveryChip, 1) << c.name;
        EXPECT_EQ(chip.memory(0x20000000, 2048), sim::randomBytes(2048, 1)) << c.name;
        EXPECT_EQ(chip.jumpAddress(), IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS) << c.name;
        EXPECT_EQ(loader.upgrade.firmware()[0x60000000], image) << c.name;
        EXPECT_TRUE(loader.upgrade.rebooted()) << c.name;
        for (const std::string& l : shown.lines())
            EXPECT_NE(l.rfind("error ", 0), 0u) << c.name << ": " << l;
        rebooter.join();
        Tessaline_libusb_exit();
    }
}

// The program's fingerprint and recovery commands with the boot ROM on USB
// HID and on a serial port: the identifier printed, and the firmware written
// through the live loader with exit code 0.
TEST_F(ImxTest, FingerprintAndRecoverCommandsOverEachPort)
{
    const Bytes image = sim::randomBytes(3000, 41);
    sim::BirdWriter firmware = loaderBird();
    firmware.identity(900, "2.15.3", kSerial, "Korvel").firmware(0x60000000, image);
    const std::string path = firmware.write(root + "/fw.bird");
    sim::UpdateServer server;
    server.addBuild(kDefaultSerialNumber, 5, loaderBird().identity(5, "1.0.0", kDefaultSerialNumber, "Korvel").file());
    struct Case {
        const char* name;
        bool hid;
        bool recover;
        int statusDelayMs;  // a ROM slow to answer its status requests
    } cases[] = {
        {"fingerprint, HID", true, false, 0},
        {"fingerprint, serial port", false, false, 0},
        {"recover, HID", true, true, 0},
        {"recover, serial port", false, true, 0},
        {"fingerprint, HID, late ROM", true, false, 400},
        {"recover, HID, late ROM", true, true, 400},
    };
    for (const Case& c : cases) {
        BootRomPort rom(c.hid);
        sim::SdpBootRom& chip = rom.chip;
        chip.setStatusDelay(c.statusDelayMs);
        const std::string& port = rom.port;
        LiveLoader loader(c.recover ? kSerial : kDefaultSerialNumber);
        const int handle = plug(loader);
        std::thread rebooter = c.recover ? unplugOnReboot(loader, handle) : std::thread();
        std::vector<std::string> args{"-i", root + "/run" + std::to_string(&c - cases), "-u", server.url(), "-s", port};
        if (c.recover)
            args.insert(args.end(), {"-U", "-t", "RECOVER", "-d", "40F5849A", "-f", path});
        else
            args.push_back("-N");
        const clitest::Outcome run = clitest::runUpdater(args, root);
        if (rebooter.joinable()) rebooter.join();
        EXPECT_EQ(run.code, 0) << c.name << "\n" << run.out << run.err;
        EXPECT_EQ(chip.memory(0x20000000, 2048), sim::randomBytes(2048, 1)) << c.name;
        if (c.recover) {
            EXPECT_EQ(loader.upgrade.firmware()[0x60000000], image) << c.name;
            EXPECT_TRUE(loader.upgrade.rebooted()) << c.name;
        } else {
            EXPECT_NE(run.out.find("[ 77778888 55556666 33334444 11112222 ]"), std::string::npos) << c.name << run.out;
            EXPECT_TRUE(loader.wasReset()) << c.name;
            usb->unplug(handle);
        }
        Tessaline_libusb_exit();
    }
}

// The program's recovery of a firmware file whose firmware blocks hold their
// load address alone. A file of nothing else is refused: named with -f,
// before the boot ROM hears anything (no live loader sent); served for the
// chip's fingerprint, once the default live loader gave it, with nothing
// sent through that loader. Among blocks with images such a block is
// skipped, not even prepared, and the device holds exactly the others.
TEST_F(ImxTest, RecoverCommandWithFirmwareBlocksHoldingOnlyTheirAddress)
{
    const uint32_t base = 0x60000000;
    const Bytes first = sim::randomBytes(3000, 42);
    const Bytes third = sim::randomBytes(700, 43);
    sim::BirdWriter addressesOnly = loaderBird();
    addressesOnly.identity(900, "2.15.3", kSerial, "Korvel").firmware(base, {}).firmware(base + 0x10000, {});
    sim::BirdWriter oneAmongImages = loaderBird();
    oneAmongImages.identity(900, "2.15.3", kSerial, "Korvel")
        .firmware(base, first)
        .firmware(base + 0x10000, {})
        .firmware(base + 0x20000, third);
    const std::string refusal = "Birdfile holds no firmware, only the load addresses of its firmware blocks";
    sim::UpdateServer server;
    serveRecovery(server, addressesOnly);
    struct Case {
        const char* name;
        const sim::BirdWriter* bird;  // named with -f; null: served for the fingerprint
        int code;
        std::string shown;  // a line on stderr when refused, on stdout when written
        std::map<uint32_t, Bytes> firmware;
    } cases[] = {
        {"addresses only, named", &addressesOnly, 1, refusal, {}},
        {"addresses only, served", nullptr, 1, refusal, {}},
        {"one among images", &oneAmongImages, 0,
         "Skipping firmware block 2 of 3 at [60010000]: it holds no firmware, only its address",
         {{base, first}, {base + 0x20000, third}}},
    };
    for (const Case& c : cases) {
        BootRomPort rom(false);
        LiveLoader loader(c.bird ? kSerial : kDefaultSerialNumber);
        const int handle = plug(loader);
        std::thread rebooter = c.code == 0 ? unplugOnReboot(loader, handle) : std::thread();
        std::vector<std::string> args{"-i", root + "/run" + std::to_string(&c - cases), "-u", server.url(),
                                      "-s", rom.port, "-U", "-t", "RECOVER"};
        if (c.bird) args.insert(args.end(), {"-d", "40F5849A", "-f", c.bird->write(root + "/fw.bird")});
        const clitest::Outcome run = clitest::runUpdater(args, root);
        if (rebooter.joinable())
            rebooter.join();
        else
            usb->unplug(handle);
        EXPECT_EQ(run.code, c.code) << c.name << "\n" << run.out << run.err;
        if (c.code == 0) {
            EXPECT_EQ(run.err, "") << c.name;
            EXPECT_TRUE(clitest::hasLine(run.out, c.shown)) << c.name << "\n" << run.out;
        } else {
            EXPECT_TRUE(clitest::hasLine(run.err, c.shown)) << c.name << ": " << run.err;
        }
        // Named, the refused file reaches the boot ROM not at all.
        const bool untouched = c.code != 0 && c.bird;
        EXPECT_EQ(rom.chip.commands().empty(), untouched) << c.name;
        EXPECT_EQ(rom.chip.imageBytes() == 0, untouched) << c.name;
        // One prepare for each block with an image, none for the others.
        EXPECT_EQ(loader.upgrade.requests(val_UPGRADE_PREPARE), c.code == 0 ? 2u : 0u) << c.name;
        EXPECT_EQ(loader.upgrade.firmware(), c.firmware) << c.name;
        EXPECT_EQ(loader.upgrade.rebooted(), c.code == 0) << c.name;
        Tessaline_libusb_exit();
    }
}

// The default serial number's store folder gives the live loader: no server
// is asked, and the loader is looked for on USB under that serial number.
TEST_F(ImxTest, DefaultSerialNumberTakesTheStoresLatestLoader)
{
    UpdaterStore store(storeDir.c_str());
    UpdaterStoreItem item = store.AddDevice(kDefaultSerialNumber);
    const Bytes bird = loaderBird().file();
    ASSERT_EQ(item.WriteFile("5.bird", bird.data(), bird.size()), aErrNone);
    item.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, "5.bird");
    item.attributes.Save();

    LiveLoader loader(kDefaultSerialNumber);
    plug(loader);
    Updater updater("http://127.0.0.1:1", storeDir.c_str(), display);
    Fingerprint print{};
    ASSERT_TRUE(_get_fingerprint_imx(display, updater, pty.path(), 0, "", print, false));
    EXPECT_TRUE(loaderWritten());
    EXPECT_EQ(print.words[0], kIdentifier[3]);
    EXPECT_FALSE(loader.wasReset());
}

// Without a store folder the server's build for the serial number is
// downloaded while the display's messages are muted.
TEST_F(ImxTest, MissingLoaderIsDownloadedQuietly)
{
    sim::UpdateServer server;
    server.addBuild(kDefaultSerialNumber, 77, loaderBird().file());
    LiveLoader loader(kDefaultSerialNumber);
    plug(loader);
    Updater updater(server.url().c_str(), storeDir.c_str(), display);
    Fingerprint print{};
    ASSERT_TRUE(_get_fingerprint_imx(display, updater, pty.path(), kDefaultSerialNumber, "", print, false));
    EXPECT_TRUE(loaderWritten());
    EXPECT_EQ(display.lines(), std::vector<std::string>{});
    EXPECT_GT(display.count("spinner off Downloading"), 0u);
}

TEST_F(ImxTest, UnreadableIdentifierWordFailsKeepingTheWordsRead)
{
    LiveLoader loader(kSerial, 2);
    plug(loader);
    const std::string path = loaderBird().write(root + "/loader.bird");
    Updater updater("http://127.0.0.1:1", storeDir.c_str(), display);
    Fingerprint print{};
    EXPECT_FALSE(_get_fingerprint_imx(display, updater, pty.path(), kSerial, path, print, true));
    EXPECT_EQ(print.words[3], kIdentifier[0]);
    EXPECT_EQ(print.words[2], kIdentifier[1]);
    EXPECT_EQ(print.words[1], 0u);
    EXPECT_FALSE(loader.wasReset());
}

// Where the live loader starts: the first start-address block's word, read
// big-endian, when it holds one.
struct StartCase {
    const char* name;
    std::vector<Bytes> startBlocks;
    uint32_t start;
};

class LoaderStart : public ImxTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(LoaderStart, StartsAtTheFilesAddress)
{
    sim::BirdWriter bird = loaderBird();
    for (const Bytes& payload : GetParam().startBlocks)
        bird.block(BirdFile::BLOCK_LOADER_IVT, payload);
    const std::string path = bird.write(root + "/loader.bird");
    BirdFile file(path.c_str());
    EXPECT_EQ(_transfer_recovery_loader(display, file, pty.path()), aErrNone);
    EXPECT_TRUE(loaderWritten());
    EXPECT_EQ(rom.jumpAddress(), GetParam().start);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoaderStart,
    ::testing::Values(StartCase{"None", {}, 0x20000400},
                      StartCase{"Given", {{0x20, 0x00, 0x24, 0x00}, {0x20, 0x00, 0x30, 0x00}}, 0x20002400},
                      StartCase{"FirstTooShort", {{0x20, 0x00}, {0x20, 0x00, 0x30, 0x00}}, 0x20000400}),
    [](const ::testing::TestParamInfo<StartCase>& c) { return std::string(c.param.name); });

TEST_F(ImxTest, LoaderTransferFailures)
{
    sim::BirdWriter bird = loaderBird();
    const std::string path = bird.write(root + "/loader.bird");
    BirdFile file(path.c_str());
    EXPECT_EQ(_transfer_recovery_loader(display, file, root + "/no-such-port"), aErrNotReady);
    rom.setCompleteWord(0x12345678);
    EXPECT_EQ(_transfer_recovery_loader(display, file, pty.path()), aErrConnection);
    EXPECT_FALSE(rom.jumpAddress().has_value());
}

TEST_F(ImxTest, DownloadByFingerprint)
{
    sim::UpdateServer server;
    const uint32_t words[4] = {1, 2, 3, 4};
    server.addRecovery(words, kSerial, 1300);
    server.addBuild(kSerial, 1300, sim::BirdWriter().identity(1300, "2.15.3", kSerial, "Korvel").firmware(0, sim::randomBytes(512)).file());
    server.addBuild(kSerial, 1200, sim::BirdWriter().identity(1200, "2.15.1", kSerial, "Korvel").firmware(0, sim::randomBytes(512)).file());
    Updater updater(server.url().c_str(), storeDir.c_str(), display);
    const Fingerprint known{{1, 2, 3, 4}};
    EXPECT_EQ(updater.Download_Firmware(known, "", false), 1300u);
    EXPECT_EQ(updater.Download_Firmware(known, "1200", false), 1200u);
    EXPECT_EQ(updater.Download_Firmware(known, "twelve", false), 1300u);
    const Fingerprint unknown{{9, 9, 9, 9}};
    display.calls.clear();
    EXPECT_EQ(updater.Download_Firmware(unknown, "", false), 0u);
    EXPECT_EQ(display.lines(),
              std::vector<std::string>{"error Failed to retrieve recovery information from Zentrova update server"});
}

} // namespace
