// test-labels: integration threaded
// test-wrapper: umockdev
// Writing a firmware file into a simulated device on the emulated USB bus
// that restarts into its loader when told to start it: the device is found
// again over USB, or, when it never comes back, the firmware stage fails.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/Log.h"
#include "engine/UpdaterEntity.h"
#include "engine/UpdaterTransfer.h"
#include "platform/Tessaline_libusb.h"
#include "platform/aTime.h"
#include "tests/device_api/tcp_device.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/upgrade_device.h"
#include "tests/sim/usb_carrier.h"

namespace {

using namespace Zentrova::Tessaline;
using sim::SampleBird;

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kBuildNumber = 77;
// Address queries with which a new link starts; the next one is the module's own.
constexpr unsigned kStartQueries = 6;

// One side of the device: its running firmware, or its loader.
struct Side {
    explicit Side(uint8_t address) : device(sim::DeviceConfig{address, sim::kEchoCommand, kSerial}) {}
    sim::DeviceModel device;
    sim::UeiEntities entities{device};
    sim::ModuleInfo info{device, entities, apitest::kBuild};
    sim::UpgradeDevice upgrade{device, entities};
};

// While it lives, the debug log hands each text written to it to the hook, on
// the thread that writes it, before that thread goes on.
class HookedLog {
public:
    explicit HookedLog(std::function<void(const std::string&)> hook) : hook_(std::move(hook))
    {
        cookie_io_functions_t io{nullptr, &HookedLog::write, nullptr, nullptr};
        file_ = fopencookie(this, "w", io);
        setvbuf(file_, nullptr, _IONBF, 0);
        Log::SetOutput(file_);
    }
    ~HookedLog()
    {
        Log::SetOutput(nullptr);
        std::fclose(file_);
    }
    HookedLog(const HookedLog&) = delete;
    HookedLog& operator=(const HookedLog&) = delete;

private:
    static ssize_t write(void* self, const char* data, size_t size)
    {
        static_cast<HookedLog*>(self)->hook_(std::string(data, size));
        return ssize_t(size);
    }

    std::function<void(const std::string&)> hook_;
    FILE* file_ = nullptr;
};

class LoaderRestart : public ::testing::Test {
protected:
    void SetUp() override
    {
        logFile = std::tmpfile();
        ASSERT_NE(nullptr, logFile);
        Log::SetOutput(logFile);
        Log::ActivatePackage(DEBUG_APP);
        ASSERT_EQ(aErrNone, module.setConfig(apitest::unshared()));
        ASSERT_EQ(aErrNone, module.connect(USB, kSerial));
        char dir[] = "/tmp/loader_restart.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        path = sim::sampleBird(kSerial, kBuildNumber, "Korvel").write(std::string(dir) + "/file.bird");
        file = BirdFile(path.c_str());
        directory = dir;
    }
    void TearDown() override
    {
        module.disconnect();
        Tessaline_libusb_exit();
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(DEBUG_APP);
        std::fclose(logFile);
        std::remove(path.c_str());
        std::remove(directory.c_str());
    }

    size_t logged(const std::string& line)
    {
        std::fflush(logFile);
        std::rewind(logFile);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, logFile)) > 0) text.append(buffer, n);
        size_t count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        return count;
    }

    Side running{0x04};
    Side loader{0x06};
    sim::UsbCarrier carrier;
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), running.device);
    Module module{0x02, uint8_t{0}};
    enginetest::RecordingDisplay display;
    FILE* logFile = nullptr;
    std::string path;
    std::string directory;
    BirdFile file;
};

TEST_F(LoaderRestart, DeviceFoundAgainInItsLoaderTakesTheFirmware)
{
    // Told to start its loader, the device restarts at once without a reply.
    sim::UpgradeFaults faults;
    faults.silentLoad = true;
    running.upgrade.setFaults(faults);
    std::thread restart([&] {
        running.device.waitFor(
            [](const sim::Records& r) {
                for (const sim::Packet& p : r.packets)
                    if (p.data == std::vector<uint8_t>{0x5F, 0x02}) return true;
                return false;
            },
            10000);
        carrier.reenumerate(handle, &loader.device);
    });
    const aErr started = _transfer_loader(display, module, file);
    restart.join();
    ASSERT_EQ(aErrNone, started);
    EXPECT_EQ(SampleBird::loaderImage(kBuildNumber), running.upgrade.loader()[SampleBird::loaderAddress]);

    ASSERT_TRUE(_reconnect_loader(module, kSerial));
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, file, true, false));
    EXPECT_EQ(SampleBird::firmwareImage(kBuildNumber), loader.upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_TRUE(loader.upgrade.rebooted());
    EXPECT_TRUE(running.upgrade.firmware().empty());
}

TEST_F(LoaderRestart, DeviceRestartingIntoItsLoaderIsLookedForOverUsb)
{
    carrier.reenumerate(handle, &loader.device);
    for (int i = 0; i < 300 && module.isConnected(); i++) aTime_MSSleep(10);
    ASSERT_FALSE(module.isConnected());
    ASSERT_TRUE(_reconnect_loader(module, kSerial));
    EXPECT_EQ(0u, logged("refreshing libusb context"));
    EXPECT_EQ(0x06, module.getModuleAddress());
}

TEST_F(LoaderRestart, DeviceThatNeverComesBackFailsTheFirmwareStage)
{
    carrier.unplug(handle);
    for (int i = 0; i < 300 && module.isConnected(); i++) aTime_MSSleep(10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(_reconnect_loader(module, kSerial));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15 * 1000));
    EXPECT_EQ(5u, logged("Failed enumeration after 3 tries, refreshing libusb context.\n"));
    EXPECT_NE(aErrNone, _transfer_firmware(display, module, file, false, false));
    EXPECT_EQ(0u, running.upgrade.requests(val_UPGRADE_REBOOT));
}

// The device is plugged in again just as the last attempt begins, with the
// fifth refresh of the USB context.
TEST_F(LoaderRestart, DeviceBackOnTheLastAllowedAttemptTakesTheFirmware)
{
    carrier.unplug(handle);
    for (int i = 0; i < 300 && module.isConnected(); i++) aTime_MSSleep(10);
    ASSERT_FALSE(module.isConnected());
    unsigned refreshes = 0;
    {
        HookedLog log([&](const std::string& text) {
            if (text.find("refreshing libusb context") != std::string::npos && ++refreshes == 5)
                carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), loader.device);
        });
        ASSERT_TRUE(_reconnect_loader(module, kSerial));
    }
    EXPECT_EQ(5u, refreshes);
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, file, true, false));
    EXPECT_EQ(SampleBird::firmwareImage(kBuildNumber), loader.upgrade.firmware()[SampleBird::firmwareAddress]);
}

// The restarted loader restarts its USB once more while the host asks it for
// its address, once its link is up: that attempt's link dies half made, and
// the next attempt finds the device.
TEST_F(LoaderRestart, LoaderDroppingAgainDuringAnAttemptIsFoundByTheNext)
{
    std::mutex lock;
    std::condition_variable asked;
    bool restartAgain = false;
    bool restarted = false;
    unsigned queries = 0;
    loader.device.setAddressHandler(sim::kAddressQuery, [&](sim::DeviceModel& device, const sim::Packet& request) {
        std::lock_guard<std::mutex> hold(lock);
        if (!restarted && ++queries > kStartQueries) {
            restartAgain = true;
            asked.notify_all();
            return;
        }
        if (request.data.empty()) device.answer(sim::Packet{device.config().address, {}});
    });
    std::thread again([&] {
        std::unique_lock<std::mutex> hold(lock);
        if (!asked.wait_for(hold, std::chrono::seconds(30), [&] { return restartAgain; })) return;
        carrier.reenumerate(handle, &loader.device);
        restarted = true;
    });
    carrier.reenumerate(handle, &loader.device);
    for (int i = 0; i < 300 && module.isConnected(); i++) aTime_MSSleep(10);
    ASSERT_FALSE(module.isConnected());

    const bool found = _reconnect_loader(module, kSerial);
    again.join();
    ASSERT_TRUE(restarted);
    ASSERT_TRUE(found);
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, file, true, false));
    EXPECT_EQ(SampleBird::firmwareImage(kBuildNumber), loader.upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_TRUE(loader.upgrade.rebooted());
}

} // namespace
