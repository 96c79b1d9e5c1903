// test-labels: integration threaded
// test-wrapper: umockdev
// The update operation against a simulated device on the emulated USB bus,
// with the update server out of reach in the test's own network namespace:
// the choice of the file, the checks against the device, what the device
// receives and what the store records.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <fstream>
#include <sstream>
#include <string>

#include "common/aDefs.h"
#include "engine/KeyValueStore.h"
#include "engine/Updater.h"
#include "engine/UpdaterEntity.h"
#include "platform/Tessaline_libusb.h"
#include "tests/device_api/tcp_device.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/upgrade_device.h"
#include "tests/sim/usb_carrier.h"

namespace {

using sim::SampleBird;

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kBuildNumber = 1234;

class UpdateFirmware : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
        char dir[] = "/tmp/update_firmware.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        root = dir;
        entities.setValue(3, 0, 9, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, kSerial));
        setModel(aMODEL_KORVEL);
        updater = std::make_unique<Updater>("http://127.0.0.1:1/cgi/u", (root + "/store").c_str(), display);
        // Told to reboot, the device restarts into its new firmware.
        rebooter = std::thread([this] {
            size_t reboots = 0;
            while (!stopping) {
                const bool asked = device.waitFor(
                    [&](const sim::Records& r) {
                        size_t n = 0;
                        for (const sim::Packet& p : r.packets) n += p.data == std::vector<uint8_t>{0x5F, 0x06};
                        return n > reboots;
                    },
                    50);
                if (asked) {
                    ++reboots;
                    if (spoilStoreOnReboot) {
                        std::string command = "rm -rf '" + root + "/store' && touch '" + root + "/store'";
                        EXPECT_EQ(0, std::system(command.c_str()));
                    }
                    carrier.reenumerate(handle);
                }
            }
        });
    }
    void TearDown() override
    {
        stopping = true;
        rebooter.join();
        Tessaline_libusb_exit();
        std::string command = "rm -rf '" + root + "'";
        ASSERT_EQ(0, std::system(command.c_str()));
    }

    void setModel(uint8_t model) { entities.setValue(3, 0, 8, sim::UeiType::Byte, {model}); }

    // The firmware image as the device must receive it: the sample's, with
    // the device's serial number put in.
    static sim::Bytes patchedFirmware(const std::string& path)
    {
        BirdFile file(path.c_str());
        EXPECT_TRUE(file.ReplaceSerialNumber(kSerial));
        const BirdBlock block = file.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
        return sim::Bytes(block.payload + 4, block.payload + block.length);
    }

    std::string settings(const char* key)
    {
        KeyValueStore store;
        store.Load((root + "/store/0BADCAFE" + "/.settings").c_str());
        return store.GetString(key, "");
    }

    size_t shown(const std::string& text) const { return display.count("info " + text); }

    std::string root;
    sim::DeviceModel device{sim::DeviceConfig{0x04, sim::kEchoCommand, kSerial}};
    sim::UeiEntities entities{device};
    sim::ModuleInfo info{device, entities, apitest::kBuild};
    sim::UpgradeDevice upgrade{device, entities};
    sim::UsbCarrier carrier;
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), device);
    enginetest::RecordingDisplay display;
    std::unique_ptr<Updater> updater;
    std::atomic<bool> stopping{false};
    // When the device is told to reboot, its store becomes a plain file.
    std::atomic<bool> spoilStoreOnReboot{false};
    std::thread rebooter;
};

TEST_F(UpdateFirmware, FileGivenByPathIsWrittenAndRecordedAsGiven)
{
    const std::string path = sim::sampleBird(kSerial, kBuildNumber, "Korvel").write(root + "/given.bird");
    ASSERT_TRUE(updater->Update_Firmware(kSerial, 0, path, 0, 0, false));
    EXPECT_EQ(SampleBird::loaderImage(kBuildNumber), upgrade.loader()[SampleBird::loaderAddress]);
    EXPECT_EQ(patchedFirmware(path), upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_TRUE(upgrade.rebooted());
    EXPECT_EQ(1u, shown("Updating from Birdfile: " + path));
    EXPECT_EQ(path, settings(UpdaterStore::KEY_LATEST_TRANSFER));
    EXPECT_FALSE(settings(UpdaterStore::KEY_LAST_TRANSFER_DATE).empty());
    EXPECT_EQ(1u, std::count_if(display.calls.begin(), display.calls.end(),
                                [](const std::string& c) { return c.rfind("info Update time: ", 0) == 0; }));
}

TEST_F(UpdateFirmware, WithoutServerTheLatestDownloadIsWritten)
{
    const std::string folder = root + "/store/0BADCAFE";
    ASSERT_EQ(0, std::system(("mkdir -p '" + folder + "'").c_str()));
    sim::sampleBird(kSerial, kBuildNumber, "Korvel").write(folder + "/1234.bird");
    {
        KeyValueStore store;
        store.Load((folder + "/.settings").c_str());
        store.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, "1234.bird");
        store.Save((folder + "/.settings").c_str());
    }
    ASSERT_TRUE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
    EXPECT_EQ(1u, shown("Updating with the Latest Download"));
    EXPECT_EQ(1u, shown("Updating firmware with build: 1234"));
    EXPECT_EQ("1234.bird", settings(UpdaterStore::KEY_LATEST_TRANSFER));
    EXPECT_TRUE(upgrade.rebooted());
}

TEST_F(UpdateFirmware, FileForAnotherModelIsRefusedUnlessOverridden)
{
    setModel(aMODEL_MERVIK);
    const std::string path = sim::sampleBird(kSerial, kBuildNumber, "Korvel").write(root + "/given.bird");
    EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, path, 0, 0, false));
    EXPECT_EQ(1u, display.count("error Connected device model and Bird file model do not match [Mervik] (0)"));
    EXPECT_EQ(1u, display.count("error Birdfile failed validation"));
    EXPECT_EQ(0u, upgrade.requests(val_UPGRADE_INIT));

    EXPECT_TRUE(updater->Update_Firmware(kSerial, 0, path, 0, 0, true));
    EXPECT_TRUE(upgrade.rebooted());
}

TEST_F(UpdateFirmware, RefusedBeforeAnyDeviceIsTouched)
{
    EXPECT_FALSE(updater->Update_Firmware(0, 0, "", 0, 0, false));
    EXPECT_EQ(1u, display.count("error Update command must specify the specific device"));
    EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
    EXPECT_EQ(1u, display.count("error Could not find valid build for this device."));
    EXPECT_FALSE(updater->Update_Firmware(kSerial, 999, "", 0, 0, false));
    EXPECT_EQ(1u, shown("Updating firmware with build: 999"));
    EXPECT_EQ(1u, display.count("error Failed to load bird file"));
    EXPECT_EQ(0u, upgrade.requests(val_UPGRADE_INIT));
}

// The device holds its new firmware whatever becomes of the record.
TEST_F(UpdateFirmware, RecordThatCannotBeSavedIsReportedApart)
{
    const std::string folder = root + "/store/0BADCAFE";
    ASSERT_EQ(0, std::system(("mkdir -p '" + folder + "/.settings'").c_str()));
    const std::string path = sim::sampleBird(kSerial, kBuildNumber, "Korvel").write(root + "/given.bird");
    EXPECT_TRUE(updater->Update_Firmware(kSerial, 0, path, 0, 0, false));
    EXPECT_EQ(patchedFirmware(path), upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_TRUE(upgrade.rebooted());
    EXPECT_EQ(1u, display.count("error Device updated, but its transfer was not recorded: could not write " + folder +
                                "/.settings"));
}

// The device was written before its entry could be made: that is its outcome,
// and the store's trouble is told apart.
TEST_F(UpdateFirmware, EntryThatCannotBeMadeAfterTheTransferIsReportedApart)
{
    const std::string path = sim::sampleBird(kSerial, kBuildNumber, "Korvel").write(root + "/given.bird");
    spoilStoreOnReboot = true;
    EXPECT_TRUE(updater->Update_Firmware(kSerial, 0, path, 0, 0, false));
    EXPECT_EQ(patchedFirmware(path), upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_EQ(1u, std::count_if(display.calls.begin(), display.calls.end(), [](const std::string& c) {
                  return c.rfind("error Device updated, but its transfer was not recorded: UpdaterStore: ", 0) == 0;
              }));
}

} // namespace
