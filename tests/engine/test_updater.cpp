// test-labels: integration netns threaded
// The updater's settings, the store every operation makes for itself, and
// link sharing switched off in a module before it connects.
#include "device_api/Module.h"
#include "engine/Updater.h"
#include "tests/device_api/tcp_device.h"
#include "tests/engine/recording_display.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

namespace fs = std::filesystem;
using enginetest::RecordingDisplay;
using Zentrova::Tessaline::Module;

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

TEST(UpdaterTest, KeepsItsSettingsAndTouchesNothing)
{
    RecordingDisplay display;
    const std::string dir = "/tmp/updater_test_not_made";
    Updater updater("http://127.0.0.1:1/cgi/u", dir.c_str(), display);
    EXPECT_EQ(updater.serverUrl, "http://127.0.0.1:1/cgi/u");
    EXPECT_EQ(updater.storeDir, dir);
    EXPECT_EQ(&updater.display, &display);
    EXPECT_EQ(updater.recoveryChip, 0);
    EXPECT_FALSE(updater.ueiBytesLoad);
    updater.Set_UEIBytes_Load(true);
    EXPECT_TRUE(updater.ueiBytesLoad);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(display.calls.empty());
}

TEST(UpdaterTest, StoreIsMadeOrItsFailureShown)
{
    char pattern[] = "/tmp/updater_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    RecordingDisplay display;

    auto store = _createUpdaterStore(display, root + "/a/b", "Get_BuildListLocal");
    ASSERT_TRUE(store);
    EXPECT_TRUE(fs::is_directory(root + "/a/b"));
    EXPECT_TRUE(display.calls.empty());

    std::ofstream(root + "/file") << "x";
    std::string why;
    try {
        UpdaterStore failing((root + "/file").c_str());
    } catch (const std::runtime_error& e) {
        why = e.what();
    }
    EXPECT_FALSE(_createUpdaterStore(display, root + "/file", "Update_Firmware"));
    EXPECT_EQ(display.calls,
              std::vector<std::string>{"error Failed to Create UpdaterStore in: Update_Firmware - Exception: " + why});
    fs::remove_all(root);
}

TEST(UpdaterTest, DeviceInfoCopiesEveryField)
{
    DeviceInfo info;
    EXPECT_EQ(info.spec.type, INVALID);
    EXPECT_EQ(info.spec.serialNumber, 0u);
    EXPECT_EQ(info.networkAddress + info.build + info.major + info.minor + info.patch, 0u);
    EXPECT_TRUE(info.modelName.empty() && info.name.empty());
    EXPECT_EQ(info.error, 0);

    info.spec.serialNumber = 0x40F5849A;
    info.spec.tcpPort = 4000;
    info.networkAddress = 8;
    info.build = 1234;
    info.major = 2;
    info.minor = 10;
    info.patch = 4;
    info.modelName = "Korvel";
    info.name = "bench unit";
    info.error = 25;
    const DeviceInfo copy = info;
    const DeviceInfo moved = std::move(info);
    for (const DeviceInfo* d : {&copy, &moved}) {
        EXPECT_EQ(d->spec.serialNumber, 0x40F5849Au);
        EXPECT_EQ(d->spec.tcpPort, 4000u);
        EXPECT_EQ(d->networkAddress, 8);
        EXPECT_EQ(d->build, 1234u);
        EXPECT_EQ(d->major, 2);
        EXPECT_EQ(d->minor, 10);
        EXPECT_EQ(d->patch, 4u);
        EXPECT_EQ(d->modelName, "Korvel");
        EXPECT_EQ(d->name, "bench unit");
        EXPECT_EQ(d->error, 25);
    }
}

using DisableVorne = apitest::TcpDevice;

TEST_F(DisableVorne, SwitchesSharingOffBeforeConnectingOnly)
{
    RecordingDisplay display;
    Module module(2, 0);
    aVorneConfig before;
    ASSERT_EQ(module.getConfig(&before), aErrNone);
    ASSERT_EQ(before.enabled, 1); // link sharing is on in a new module

    EXPECT_EQ(_disableVorne(module, display), aErrNone);
    aVorneConfig config;
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_EQ(config.enabled, 0);
    EXPECT_EQ(config.fallback, 0);
    EXPECT_EQ(config.localOnly, 1);
    EXPECT_EQ(config.tcpPort, 0);
    EXPECT_EQ(config.ipAddress, 0x0100007Fu);
    EXPECT_TRUE(display.calls.empty());

    ASSERT_EQ(module.connectFromSpec(spec()), aErrNone);
    EXPECT_EQ(_disableVorne(module, display), aErrMode);
    EXPECT_EQ(display.calls, std::vector<std::string>{"error Failed to SET network configuration"});
    module.disconnect();
}

} // namespace
