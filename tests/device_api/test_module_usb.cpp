// test-labels: integration
// test-wrapper: umockdev
// Modules and Links to simulated devices on the emulated USB bus: connecting
// by serial number and by model, the fallback between USB and link-sharing
// servers, and connecting again after the device restarted.
#include <gtest/gtest.h>

#include <string>

#include "common/aDebug.h"
#include "device_api/Module.h"
#include "platform/Tessaline_libusb.h"
#include "platform/aTime.h"
#include "tests/device_api/tcp_device.h"
#include "tests/sim/usb_carrier.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kOtherSerial = 0x0BADF00D;

class UsbModule : public ::testing::Test {
protected:
    void TearDown() override { Tessaline_libusb_exit(); }

    // Until the link of the module leaves the running state, or 3 s.
    static bool dropped(Module& module)
    {
        for (int i = 0; i < 300 && module.isConnected(); i++) aTime_MSSleep(10);
        return !module.isConnected();
    }

    sim::DeviceModel device{sim::DeviceConfig{0x04, sim::kEchoCommand, kSerial, 0x13}};
    sim::UeiEntities entities{device};
    sim::ModuleInfo info{device, entities, apitest::kBuild};
    sim::DeviceModel other{sim::DeviceConfig{0x06, sim::kEchoCommand, kOtherSerial, 0x21}};
    sim::UsbCarrier carrier;
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), device);
    int otherHandle = carrier.plug(sim::UsbDeviceDescription::tessaline(kOtherSerial, 512, 0x0021), other);
};

TEST_F(UsbModule, ConnectsBySerialNumberAndLearnsTheAddress)
{
    Module module(0x02, 0);
    ASSERT_EQ(aErrNone, module.setConfig(unshared()));
    ASSERT_EQ(aErrNone, module.connect(USB, kSerial));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(0x04, module.getModuleAddress());
    EXPECT_TRUE(carrier.claimed(handle));
    EXPECT_FALSE(carrier.claimed(otherHandle));

    uint32_t build = 0;
    EXPECT_EQ(aErrNone, module.getBuild(&build));
    EXPECT_EQ(apitest::kBuild, build);

    // A UEI get of the system entity's serial number, as the entity layer sends it.
    entities.setValue(3, 0, 9, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, kSerial));
    uei record{};
    record.module = module.getModuleAddress();
    record.command = 3;
    record.option = 9 | 0x40;
    record.specifier = 0x20;
    ASSERT_EQ(aErrNone, module.getLink()->sendUEI(record));
    record.option = 9;
    record.specifier = 0;
    ASSERT_EQ(aErrNone, module.getLink()->receiveUEI(record.module, 3, 9, 0, &record));
    EXPECT_EQ(ueiTypeInt, record.type);
    EXPECT_EQ(kSerial, record.value.intVal);
}

TEST_F(UsbModule, SerialNumberZeroTakesTheFirstDeviceOfTheModel)
{
    Module module(0x02, 0x21);
    ASSERT_EQ(aErrNone, module.setConfig(unshared()));
    ASSERT_EQ(aErrNone, module.discoverAndConnect(USB, 0));
    EXPECT_EQ(0x06, module.getModuleAddress());
    EXPECT_TRUE(carrier.claimed(otherHandle));
    EXPECT_FALSE(carrier.claimed(handle));
}

// USB falls back once to a link-sharing server, which this library does not
// discover; a link-sharing server's serial number falls back to USB.
TEST_F(UsbModule, FallbackBetweenUsbAndLinkSharingServers)
{
    aTessalineDebuggingEnable = true;
    aTessalineDebuggingLevel = aDEBUG_LINKS;
    aVorneConfig config = unshared();
    config.fallback = 1;

    Link missing("missing");
    ASSERT_EQ(aErrNone, missing.setConfig(config));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(aErrNotFound, missing.discoverAndConnect(USB, 0x0EEEEEEE, 0));
    EXPECT_EQ("Executing Fallback - old type: 1 - new type: 4\n", ::testing::internal::GetCapturedStdout());

    Link served("served");
    ASSERT_EQ(aErrNone, served.setConfig(config));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(aErrNone, served.discoverAndConnect(AVORNE, kSerial, 0));
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Executing Fallback - old type: 4 - new type: 1\n")) << out;
    EXPECT_TRUE(served.isConnected());
    linkSpec spec{};
    ASSERT_EQ(aErrNone, served.getLinkSpecifier(&spec));
    EXPECT_EQ(USB, spec.type);
    aTessalineDebuggingEnable = false;
    aTessalineDebuggingLevel = 0;
}

// The update's road after the device restarts into its loader: the link
// drops, is given back, and the Module finds the device again.
TEST_F(UsbModule, ConnectsAgainAfterTheDeviceRestarted)
{
    Module module(0x02, 0);
    ASSERT_EQ(aErrNone, module.setConfig(unshared()));
    ASSERT_EQ(aErrNone, module.connect(USB, kSerial));
    carrier.reenumerate(handle);
    ASSERT_TRUE(dropped(module));
    EXPECT_NE(kLinkStatusRunning, module.getStatus());
    EXPECT_EQ(aErrConnection, module.reconnect());

    EXPECT_EQ(aErrNone, module.disconnect());
    module.setModuleAddress(0x02);
    ASSERT_EQ(aErrNone, module.discoverAndConnect(USB, kSerial));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(0x04, module.getModuleAddress());
    const uint8_t bytes[] = {0x55};
    EXPECT_EQ(aErrNone, module.debug(bytes, 1));
}

} // namespace
