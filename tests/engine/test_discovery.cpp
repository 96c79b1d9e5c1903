// test-labels: integration netns
// test-wrapper: umockdev
// Discovery into device records: simulated devices on an emulated USB bus
// and behind a veth pair in a second network namespace, each answering its
// module information and system entity; and the modules behind a routing
// device, reached over its link and found by an I2C write to every address.
#include "common/aVersion.h"
#include "engine/Updater.h"
#include "platform/Tessaline_libusb.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/device_model.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/i2c_bus.h"
#include "tests/sim/module_info.h"
#include "tests/sim/private_network.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/uei_entities.h"
#include "tests/sim/usb_carrier.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using enginetest::RecordingDisplay;

namespace {

constexpr uint8_t kSystem = 3;
enum SystemOption : uint8_t {
    kModule = 1,
    kRouter = 2,
    kVersion = 7,
    kModel = 8,
    kSerialNumber = 9,
    kRouteToMe = 20,
    kName = 32,
};
constexpr uint8_t kKorvel = 21;

struct Firmware {
    uint8_t major, minor, patch;
};

// One simulated device: its packets, system entity and module information.
// The carrier that feeds it is destroyed first.
struct SimDevice {
    SimDevice(uint32_t serial, uint8_t address, uint8_t model, Firmware version, uint32_t build,
              const std::string& name = "")
        : device(sim::DeviceConfig{address, sim::kEchoCommand, serial, model}), info(device, entities, build)
    {
        entities.setValue(kSystem, 0, kModule, sim::UeiType::Byte, {address});
        entities.setValue(kSystem, 0, kRouter, sim::UeiType::Byte, {0});
        entities.setValue(kSystem, 0, kModel, sim::UeiType::Byte, {model});
        entities.setValue(kSystem, 0, kSerialNumber, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, serial));
        entities.setValue(kSystem, 0, kVersion, sim::UeiType::Int,
                          sim::ueiBytes(sim::UeiType::Int, aVersion_Pack(version.major, version.minor, version.patch)));
        entities.setValue(kSystem, 0, kName, sim::UeiType::Bytes, std::vector<uint8_t>(name.begin(), name.end()));
        entities.setValue(kSystem, 0, kRouteToMe, sim::UeiType::Byte, {0});
    }
    // Whether the host asked for the system option.
    bool asked(uint8_t option) const
    {
        for (const sim::UeiRequest& r : entities.requests())
            if (r.command == kSystem && r.option == option) return true;
        return false;
    }
    // The values the host set the system option to, in order.
    std::vector<uint8_t> sets(uint8_t option) const
    {
        std::vector<uint8_t> values;
        for (const sim::UeiRequest& r : entities.requests())
            if (r.command == kSystem && r.option == option && r.set && !r.value.empty()) values.push_back(r.value[0]);
        return values;
    }

    sim::DeviceModel device;
    sim::UeiEntities entities{device};
    sim::ModuleInfo info;
    std::unique_ptr<sim::TcpCarrier> carrier;
};

// The modules on a routing device's I2C network: each holds an address on
// the router's bus, and every packet the host sends to that address over the
// router's link reaches the module, whose answers come back the same way.
class RoutedBus {
public:
    explicit RoutedBus(SimDevice& router) : router_(router), bus_(router.entities) {}
    void attach(SimDevice& module)
    {
        const uint8_t address = module.device.config().address;
        bus_.addDevice(0, address, {0, 0});
        router_.device.setAddressHandler(address, [&module](sim::DeviceModel& r, const sim::Packet& p) {
            const std::vector<uint8_t> wire = p.wire();
            module.device.fromHost(wire.data(), wire.size());
            for (std::vector<uint8_t> frame; module.device.toHostFrame(frame);) r.injectToHost(frame);
        });
    }
    // The addresses written to on the bus, in order.
    std::vector<uint8_t> probed() const
    {
        std::vector<uint8_t> addresses;
        for (const sim::Packet& p : router_.device.records().packets)
            if (p.data.size() > 4 && p.data[0] == sim::kI2cCommand) addresses.push_back(p.data[2]);
        return addresses;
    }
    uint8_t speed() const { return bus_.lastSpeed(0); }

private:
    SimDevice& router_;
    sim::I2cBus bus_;
};

// The host end th0 (10.77.0.1) of a veth pair is in this process's private
// network, the other end (10.77.0.2) in the devices' namespace, where each
// TCP/IP device serves its link and the responder answers discovery for all.
class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::openDeviceNetwork(&host, &why)) << why;
        usb = std::make_unique<sim::UsbCarrier>();
    }
    void TearDown() override
    {
        Tessaline_libusb_exit();
        if (host) host->run([&] { responder.reset(); });
        usb.reset();
    }

    // Serves the devices over TCP/IP, plus discovery answers that lead nowhere.
    void serve(std::vector<SimDevice*> devices, std::vector<sim::DiscoveryAnswer> extra = {})
    {
        host->run([&] {
            std::vector<sim::DiscoveryAnswer> answers;
            for (SimDevice* d : devices) {
                d->carrier = std::make_unique<sim::TcpCarrier>(d->device, sim::TcpCarrierOptions{"10.77.0.2"});
                const sim::DeviceConfig& c = d->device.config();
                answers.push_back({c.address, d->carrier->port(), c.serialNumber, c.model});
            }
            answers.insert(answers.end(), extra.begin(), extra.end());
            responder = std::make_unique<sim::DiscoveryResponder>(answers, std::vector<std::string>{"10.77.0.2"});
        });
        ASSERT_TRUE(responder->ok()) << responder->error();
    }

    RecordingDisplay display;
    Updater updater{"http://127.0.0.1:1/cgi/u", "/tmp/discovery_test_store", display};
    std::unique_ptr<sim::UsbCarrier> usb;
    std::unique_ptr<sim::NetworkHost> host;
    std::unique_ptr<sim::DiscoveryResponder> responder;
};

TEST_F(DiscoveryTest, EveryTcpipDeviceIsReadIntoItsRecord)
{
    SimDevice named(0x1000A, 0x04, kKorvel, {2, 10, 4}, 1234, "bench unit");
    SimDevice older(0x1000B, 0x06, kKorvel, {2, 10, 3}, 1200, "never asked");
    SimDevice noVersion(0x1000C, 0x08, kKorvel, {2, 15, 0}, 1300, "never asked");
    noVersion.entities.setOption(kSystem, 0, kVersion, sim::UeiType::Int,
                                 [](const sim::UeiRequest&) { return sim::UeiAnswer::failure(aErrBusy); }, {});
    SimDevice shortBuild(0x1000D, 0x0A, 5, {2, 15, 1}, 1400);
    shortBuild.device.setCommandHandler(sim::kModuleInfoCommand, [](sim::DeviceModel& d, const sim::Packet& p) {
        d.answer(sim::Packet{p.address, {sim::kModuleInfoCommand, 0xFF, 0, 0, 5}});
    });
    // Answers discovery, but nothing serves its link.
    serve({&named, &older, &noVersion, &shortBuild}, {{0x0C, 1, 0x1000E, kKorvel}});

    const std::vector<DeviceInfo> found = updater.Discover_Devices(TCPIP);
    ASSERT_EQ(found.size(), 5u);
    const DeviceInfo& a = found[0];
    EXPECT_EQ(a.spec.type, TCPIP);
    EXPECT_EQ(a.spec.serialNumber, 0x1000Au);
    EXPECT_EQ(a.spec.ipAddress, sim::ipv4("10.77.0.2"));
    EXPECT_EQ(a.spec.tcpPort, named.carrier->port());
    EXPECT_EQ(a.spec.moduleAddress, 0x04u);
    EXPECT_EQ(a.spec.routerAddress, 0u);
    EXPECT_EQ(a.modelName, "Korvel");
    EXPECT_EQ(a.error, aErrNone);
    EXPECT_EQ(a.build, 1234u);
    EXPECT_EQ(std::vector<unsigned>({a.major, a.minor, a.patch}), std::vector<unsigned>({2, 10, 4}));
    EXPECT_EQ(a.name, "bench unit");

    EXPECT_EQ(found[1].spec.serialNumber, 0x1000Bu);
    EXPECT_EQ(found[1].error, aErrNone);
    EXPECT_EQ(found[1].patch, 3u);
    EXPECT_EQ(found[1].name, "");
    EXPECT_FALSE(older.asked(kName));

    EXPECT_EQ(found[2].spec.serialNumber, 0x1000Cu);
    EXPECT_EQ(found[2].error, aErrBusy);
    EXPECT_EQ(found[2].build, 1300u);
    EXPECT_FALSE(noVersion.asked(kName));

    EXPECT_EQ(found[3].spec.serialNumber, 0x1000Du);
    EXPECT_EQ(found[3].build, 0u);
    EXPECT_EQ(found[3].error, aErrNone);
    EXPECT_EQ(found[3].modelName, "Bovin");

    EXPECT_EQ(found[4].spec.serialNumber, 0x1000Eu);
    EXPECT_NE(found[4].error, aErrNone);
    EXPECT_EQ(found[4].build, 0u);
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(DiscoveryTest, BothTransportsListUsbFirst)
{
    SimDevice onUsb(0x2000A, 0x02, kKorvel, {2, 15, 3}, 1500, "usb unit");
    SimDevice onTcp(0x2000B, 0x04, kKorvel, {2, 15, 3}, 1501, "tcp unit");
    const int plugged = usb->plug(sim::UsbDeviceDescription::tessaline(0x2000A, 512, kKorvel), onUsb.device);
    serve({&onTcp});

    const std::vector<DeviceInfo> found = updater.Discover_Devices(INVALID);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].spec.type, USB);
    EXPECT_EQ(found[0].spec.serialNumber, 0x2000Au);
    EXPECT_EQ(found[0].name, "usb unit");
    EXPECT_EQ(found[0].build, 1500u);
    EXPECT_EQ(found[1].spec.type, TCPIP);
    EXPECT_EQ(found[1].name, "tcp unit");
    for (const DeviceInfo& d : found) EXPECT_EQ(d.error, aErrNone) << d.spec.serialNumber;

    EXPECT_EQ(updater.Discover_Devices(USB).size(), 1u);
    usb->unplug(plugged);
}

constexpr uint32_t kRouterSerial = 0xD272031D;

TEST_F(DiscoveryTest, ModulesBehindARouterAreFoundByTheirI2CAddress)
{
    SimDevice router(kRouterSerial, 0x04, kKorvel, {2, 15, 3}, 900);
    SimDevice at8(0x5000008, 0x08, 0, {2, 10, 4}, 777, "not read behind a router");
    at8.entities.setValue(kSystem, 0, kRouter, sim::UeiType::Byte, {0x04});
    at8.entities.setValue(kSystem, 0, kModel, sim::UeiType::Byte, {kKorvel});
    SimDevice noSerial(0x500000A, 0x0A, 0, {2, 10, 4}, 778);
    noSerial.entities.setOption(kSystem, 0, kSerialNumber, sim::UeiType::Int,
                                [](const sim::UeiRequest&) { return sim::UeiAnswer::failure(aErrBusy); }, {});
    SimDevice noModel(0x500000C, 0x0C, 0, {2, 11, 0}, 779);
    noModel.entities.setOption(kSystem, 0, kModel, sim::UeiType::Byte,
                               [](const sim::UeiRequest&) { return sim::UeiAnswer::failure(aErrPermission); }, {});
    RoutedBus bus(router);
    bus.attach(at8);
    bus.attach(noSerial);
    bus.attach(noModel);
    serve({&router});

    const std::vector<DeviceInfo> found = updater.Discover_TLNetwork_Devices(kRouterSerial, INVALID);
    ASSERT_EQ(found.size(), 2u);
    const DeviceInfo& m = found[0];
    EXPECT_EQ(m.networkAddress, 8);
    EXPECT_EQ(m.spec.type, TCPIP);
    EXPECT_EQ(m.spec.serialNumber, 0x5000008u);
    EXPECT_EQ(m.spec.routerSerialNumber, kRouterSerial);
    EXPECT_EQ(m.spec.moduleAddress, 0x08u);
    EXPECT_EQ(m.spec.routerAddress, 0x04u);
    EXPECT_EQ(m.spec.ipAddress, sim::ipv4("10.77.0.2"));
    EXPECT_EQ(m.spec.tcpPort, router.carrier->port());
    EXPECT_EQ(m.spec.model, kKorvel);
    EXPECT_EQ(m.modelName, "Korvel");
    EXPECT_EQ(m.build, 777u);
    EXPECT_EQ(std::vector<unsigned>({m.major, m.minor, m.patch}), std::vector<unsigned>({2, 10, 4}));
    EXPECT_EQ(m.name, "");
    EXPECT_EQ(m.error, aErrNone);
    EXPECT_FALSE(at8.asked(kName));

    EXPECT_EQ(found[1].networkAddress, 0x0C);
    EXPECT_EQ(found[1].spec.serialNumber, 0x500000Cu);
    EXPECT_EQ(found[1].error, aErrPermission);
    EXPECT_EQ(found[1].modelName, "");

    std::vector<uint8_t> expected;
    for (unsigned a = 2; a <= 252; a += 2)
        if (a != 4) expected.push_back(uint8_t(a));
    EXPECT_EQ(bus.probed(), expected);
    EXPECT_EQ(bus.speed(), 3);
    EXPECT_EQ(router.sets(kRouteToMe), (std::vector<uint8_t>{1, 0}));
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(DiscoveryTest, RouterThatCannotBeUsedGivesNoModules)
{
    SimDevice router(kRouterSerial, 0x04, kKorvel, {2, 15, 3}, 900);
    router.entities.setOption(kSystem, 0, kRouteToMe, sim::UeiType::Byte, {},
                              [](const sim::UeiRequest&) { return sim::UeiAnswer::failure(aErrPermission); });
    RoutedBus bus(router);
    serve({&router}, {{0x06, 1, 0x600000F, kKorvel}});

    EXPECT_TRUE(updater.Discover_TLNetwork_Devices(0x7777777, INVALID).empty());
    EXPECT_TRUE(updater.Discover_TLNetwork_Devices(kRouterSerial, USB).empty());
    EXPECT_TRUE(display.calls.empty());

    EXPECT_TRUE(updater.Discover_TLNetwork_Devices(kRouterSerial, TCPIP).empty());
    EXPECT_EQ(display.calls, std::vector<std::string>{"error Error " + std::to_string(aErrPermission) +
                                                      " on route to me"});
    EXPECT_TRUE(bus.probed().empty());

    display.calls.clear();
    EXPECT_TRUE(updater.Discover_TLNetwork_Devices(0x600000F, INVALID).empty());
    ASSERT_EQ(display.calls.size(), 1u);
    EXPECT_EQ(display.calls[0].rfind("error Error ", 0), 0u);
    EXPECT_NE(display.calls[0].find(" on connectFromSpec"), std::string::npos);
}

} // namespace
