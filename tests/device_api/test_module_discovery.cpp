// test-labels: integration netns
// test-wrapper: umockdev
// Connecting Modules found by discovery: simulated TCP/IP devices in a second
// network namespace behind a veth pair of the test's own private network,
// answering the discovery query and serving their links over TCP, and an
// emulated USB bus that holds none of them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device_api/Module.h"
#include "platform/Tessaline_libusb.h"
#include "tests/device_api/tcp_device.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/private_network.h"
#include "tests/sim/usb_carrier.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;

struct SimDevice {
    uint32_t serial;
    uint8_t address;
    uint8_t model;
};

// The devices' network: this process's namespace holds the host end th0
// (10.77.0.1), the device namespace the other end (10.77.0.2), where each
// device listens for its link and the responder answers discovery for all.
class DiscoveredModule : public ::testing::Test {
protected:
    void start(const std::vector<SimDevice>& devices)
    {
        std::string why;
        ASSERT_TRUE(sim::openDeviceNetwork(&host_, &why)) << why;
        usb_ = std::make_unique<sim::UsbCarrier>();
        host_->run([&] {
            std::vector<sim::DiscoveryAnswer> answers;
            for (const SimDevice& d : devices) {
                models_.push_back(std::make_unique<sim::DeviceModel>(
                    sim::DeviceConfig{d.address, sim::kEchoCommand, d.serial, d.model}));
                carriers_.push_back(
                    std::make_unique<sim::TcpCarrier>(*models_.back(), sim::TcpCarrierOptions{"10.77.0.2"}));
                answers.push_back({d.address, carriers_.back()->port(), d.serial, d.model});
            }
            responder_ = std::make_unique<sim::DiscoveryResponder>(answers, std::vector<std::string>{"10.77.0.2"});
        });
        ASSERT_TRUE(responder_->ok()) << responder_->error();
    }

    void TearDown() override
    {
        Tessaline_libusb_exit();
        if (!host_) return;
        host_->run([&] {
            responder_.reset();
            carriers_.clear();
        });
    }

    std::unique_ptr<sim::UsbCarrier> usb_; // an emulated bus without Tessaline devices on it
    std::unique_ptr<sim::NetworkHost> host_;
    std::vector<std::unique_ptr<sim::DeviceModel>> models_;
    std::vector<std::unique_ptr<sim::TcpCarrier>> carriers_;
    std::unique_ptr<sim::DiscoveryResponder> responder_;
};

TEST_F(DiscoveredModule, ConnectsBySerialNumberOverTcpip)
{
    start({{0x1000A, 0x04, 5}, {0x1000B, 0x06, 5}});
    Module module(0x02, 0);
    ASSERT_EQ(aErrNone, module.setConfig(unshared()));
    ASSERT_EQ(aErrNone, module.connect(TCPIP, 0x1000B));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(0x06, module.getModuleAddress());
    linkSpec spec{};
    ASSERT_EQ(aErrNone, module.getLinkSpecifier(&spec));
    EXPECT_EQ(sim::ipv4("10.77.0.2"), spec.ipAddress);
    EXPECT_EQ(carriers_[1]->port(), spec.tcpPort);
    EXPECT_EQ(1u, carriers_[1]->connections());
    EXPECT_EQ(0u, carriers_[0]->connections());
    const uint8_t bytes[] = {9, 8, 7};
    EXPECT_EQ(aErrNone, module.debug(bytes, sizeof bytes));
}

// The update's road: USB first, TCP/IP when no USB device has the serial number.
TEST_F(DiscoveredModule, FallsBackToTcpipWhenUsbFindsNothing)
{
    start({{0x2000C, 0x04, 7}});
    Module module(0x02, 0);
    ASSERT_EQ(aErrNone, module.setConfig(unshared()));
    EXPECT_EQ(aErrNotFound, module.connect(USB, 0x2000C));
    ASSERT_EQ(aErrNone, module.connect(TCPIP, 0x2000C));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(0x04, module.getModuleAddress());
}

TEST_F(DiscoveredModule, SerialNumberZeroTakesTheFirstDeviceOfTheModel)
{
    start({{0x3000A, 0x04, 5}, {0x3000B, 0x06, 9}, {0x3000C, 0x08, 9}});
    Module anyModel(0x02, 0);
    ASSERT_EQ(aErrNone, anyModel.setConfig(unshared()));
    ASSERT_EQ(aErrNone, anyModel.discoverAndConnect(TCPIP, 0));
    linkSpec spec{};
    ASSERT_EQ(aErrNone, anyModel.getLinkSpecifier(&spec));
    EXPECT_EQ(0x3000Au, spec.serialNumber);

    Module model9(0x02, 9);
    ASSERT_EQ(aErrNone, model9.setConfig(unshared()));
    ASSERT_EQ(aErrNone, model9.discoverAndConnect(TCPIP, 0));
    ASSERT_EQ(aErrNone, model9.getLinkSpecifier(&spec));
    EXPECT_EQ(0x3000Bu, spec.serialNumber);
    EXPECT_EQ(0x06, model9.getModuleAddress());

    Module model3(0x02, 3);
    ASSERT_EQ(aErrNone, model3.setConfig(unshared()));
    EXPECT_EQ(aErrNotFound, model3.discoverAndConnect(TCPIP, 0));
}

} // namespace
