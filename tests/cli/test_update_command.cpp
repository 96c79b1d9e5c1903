// test-labels: integration netns threaded
// test-wrapper: umockdev
// The updater program's update command, run as its user runs it, against
// simulated devices on the emulated USB bus, directly and behind a routing
// device, and over TCP/IP: the build it chooses, the images the device holds
// afterwards, and for every refusal or failure the exit code 1 with its
// reason on standard error and nothing written that should not be.
#include "common/aDefs.h"
#include "common/aVersion.h"
#include "engine/BirdFile.h"
#include "engine/KeyValueStore.h"
#include "engine/UpdaterEntity.h"
#include "engine/UpdaterStore.h"
#include "tests/cli/updater_run.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/i2c_bus.h"
#include "tests/sim/module_info.h"
#include "tests/sim/netns.h"
#include "tests/sim/private_network.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/update_server_fixture.h"
#include "tests/sim/upgrade_device.h"
#include "tests/sim/usb_carrier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using clitest::hasLine;
using clitest::Outcome;
using sim::SampleBird;

namespace {

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr const char* kSerialText = "0BADCAFE";
constexpr unsigned kBuild = 1234;
// No update server answers here.
constexpr const char* kNoServer = "127.0.0.1:1";

constexpr uint8_t kSystem = 3;
enum SystemOption : uint8_t { kModule = 1, kRouter = 2, kVersion = 7, kModel = 8, kSerialNumber = 9, kRouteToMe = 20 };

// One simulated Korvel with the upgrade command; its carrier must stop
// feeding it before it goes.
struct SimDevice {
    SimDevice(uint32_t serial, uint8_t address)
        : device(sim::DeviceConfig{address, sim::kEchoCommand, serial, aMODEL_KORVEL})
    {
        entities.setValue(kSystem, 0, kModule, sim::UeiType::Byte, {address});
        entities.setValue(kSystem, 0, kRouter, sim::UeiType::Byte, {0});
        entities.setValue(kSystem, 0, kModel, sim::UeiType::Byte, {aMODEL_KORVEL});
        entities.setValue(kSystem, 0, kSerialNumber, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, serial));
        entities.setValue(kSystem, 0, kVersion, sim::UeiType::Int,
                          sim::ueiBytes(sim::UeiType::Int, aVersion_Pack(2, 15, 3)));
        entities.setValue(kSystem, 0, kRouteToMe, sim::UeiType::Byte, {0});
    }
    // Whether it was written to at all.
    bool untouched() const { return upgrade.requests(val_UPGRADE_INIT) == 0 && upgrade.firmware().empty(); }

    sim::DeviceModel device;
    sim::UeiEntities entities{device};
    sim::ModuleInfo info{device, entities, 1};
    sim::UpgradeDevice upgrade{device, entities};
};

// The firmware image as the device must hold it: the file's, with the
// device's serial number put in.
sim::Bytes patchedFirmware(const std::string& path, uint32_t serial = kSerial)
{
    BirdFile file(path.c_str());
    EXPECT_TRUE(file.ReplaceSerialNumber(serial));
    const BirdBlock block = file.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    return sim::Bytes(block.payload + 4, block.payload + block.length);
}

// The program runs in this process's private network and on its emulated
// USB bus; each test has a scratch directory holding the program's store.
class UpdateCommand : public ::testing::Test {
public:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(openNetwork(&why)) << why;
        char pattern[] = "/tmp/update_command_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        usb = std::make_unique<sim::UsbCarrier>();
    }
    void TearDown() override
    {
        stopping = true;
        if (rebooter.joinable()) rebooter.join();
        usb.reset();
        fs::remove_all(root);
    }

    virtual bool openNetwork(std::string* why) { return sim::enterPrivateNetwork(why); }

    // Plugs the device; told to reboot, it restarts into its new firmware.
    void plug(SimDevice& sim, uint32_t usbSerial = kSerial)
    {
        const int handle = usb->plug(sim::UsbDeviceDescription::tessaline(usbSerial), sim.device);
        rebooter = std::thread([this, &sim, handle] {
            size_t reboots = 0;
            while (!stopping) {
                const bool asked = sim.device.waitFor(
                    [&](const sim::Records& r) {
                        size_t n = 0;
                        for (const sim::Packet& p : r.packets)
                            n += p.data == std::vector<uint8_t>{sim::kUpgradeCommand, val_UPGRADE_REBOOT};
                        return n > reboots;
                    },
                    50);
                if (asked) {
                    ++reboots;
                    usb->reenumerate(handle);
                }
            }
        });
    }

    Outcome run(const std::vector<std::string>& args)
    {
        std::vector<std::string> words{"-i", root};
        words.insert(words.end(), args.begin(), args.end());
        return clitest::runUpdater(words, root);
    }

    std::string folder() const { return root + "/updater/" + kSerialText; }
    // Stores the file under the device's entry, with the settings given.
    void store(const std::string& name, const sim::BirdWriter& bird,
               const std::map<std::string, std::string>& settings = {})
    {
        fs::create_directories(folder());
        bird.write(folder() + "/" + name);
        KeyValueStore values((folder() + "/.settings").c_str());
        for (const auto& [key, value] : settings) values.Add(key.c_str(), value);
        ASSERT_TRUE(values.Save());
    }
    std::string setting(const char* key) const
    {
        return KeyValueStore((folder() + "/.settings").c_str()).GetString(key, "");
    }
    std::string given(const sim::BirdWriter& bird) const { return bird.write(root + "/given.bird"); }

    // A device that lives as long as the test: the carriers and the rebooter
    // are done with it before it goes.
    SimDevice& simDevice(uint32_t serial, uint8_t address)
    {
        devices.push_back(std::make_unique<SimDevice>(serial, address));
        return *devices.back();
    }

    std::string root;
    std::vector<std::unique_ptr<SimDevice>> devices;
    std::unique_ptr<sim::I2cBus> routerBus; // a routing device's bus, when a test has one
    std::unique_ptr<sim::UsbCarrier> usb;
    std::atomic<bool> stopping{false};
    std::thread rebooter;
};

// What is there before the run, and the build it must write.
struct BuildChoice {
    const char* name;
    std::function<void(UpdateCommand&, sim::UpdateServer&)> prepare;
    std::vector<std::string> args; // after "-U -d SERIAL"; "{server}": the server's URL, "{given}": the given file
    unsigned written;
    std::vector<std::string> shown; // lines on standard output
    std::string recorded;           // LATEST_TRANSFER afterwards; "{file}": the given file's path
};

class UpdateCommandBuild : public UpdateCommand, public ::testing::WithParamInterface<BuildChoice> {};

TEST_P(UpdateCommandBuild, DeviceOnUsbHoldsTheLoaderAndTheSerialPatchedFirmware)
{
    const BuildChoice& c = GetParam();
    SimDevice& sim = simDevice(kSerial, 0x04);
    plug(sim);
    sim::UpdateServer server;
    c.prepare(*this, server);
    const std::string path = root + "/given.bird";
    std::vector<std::string> args{"-U", "-d", kSerialText};
    for (const std::string& a : c.args) args.push_back(a == "{server}" ? server.url() : a == "{given}" ? path : a);

    const Outcome r = run(args);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& line : c.shown) EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;
    EXPECT_EQ(sim.upgrade.loader()[SampleBird::loaderAddress], SampleBird::loaderImage(c.written));
    const std::string file = fs::exists(path) ? path : folder() + "/" + std::to_string(c.written) + ".bird";
    EXPECT_EQ(sim.upgrade.firmware()[SampleBird::firmwareAddress], patchedFirmware(file));
    EXPECT_NE(sim.upgrade.firmware()[SampleBird::firmwareAddress], SampleBird::firmwareImage(c.written));
    EXPECT_TRUE(sim.upgrade.rebooted());
    EXPECT_EQ(setting(UpdaterStore::KEY_LATEST_TRANSFER), c.recorded == "{file}" ? path : c.recorded);
}

// The server offers these builds; its latest is the highest.
void offer(sim::UpdateServer& server, std::vector<unsigned> builds)
{
    for (unsigned b : builds) server.addBuild(kSerial, b, sim::sampleBird(kSerial, b, "Korvel").file());
}

INSTANTIATE_TEST_SUITE_P(
    Choices, UpdateCommandBuild,
    ::testing::Values(
        BuildChoice{"FileGiven",
                    [](UpdateCommand& test, sim::UpdateServer&) { test.given(sim::sampleBird(kSerial, kBuild, "Korvel")); },
                    {"-f", "{given}", "-u", kNoServer},
                    kBuild,
                    {}, "{file}"},
        BuildChoice{"ServersLatestStored",
                    [](UpdateCommand& test, sim::UpdateServer& server) {
                        offer(server, {1200, kBuild});
                        test.store("1234.bird", sim::sampleBird(kSerial, kBuild, "Korvel"));
                        test.store("1200.bird", sim::sampleBird(kSerial, 1200, "Korvel"),
                                {{UpdaterStore::KEY_LATEST_DOWNLOAD, "1200.bird"}});
                    },
                    {"-u", "{server}"},
                    kBuild,
                    {"Updating firmware with build: 1234"}, "1234.bird"},
        // The server's latest build as some servers send it.
        BuildChoice{"ServersLatestWithBlanksStored",
                    [](UpdateCommand& test, sim::UpdateServer& server) {
                        offer(server, {1200, kBuild});
                        server.setFaults(R"({"qu": {"lines": [" 1234 ", "A"]}})");
                        test.store("1234.bird", sim::sampleBird(kSerial, kBuild, "Korvel"));
                        test.store("1200.bird", sim::sampleBird(kSerial, 1200, "Korvel"),
                                {{UpdaterStore::KEY_LATEST_DOWNLOAD, "1200.bird"}});
                    },
                    {"-u", "{server}"},
                    kBuild,
                    {"Updating firmware with build: 1234"}, "1234.bird"},
        BuildChoice{"ServersLatestNotStored",
                    [](UpdateCommand& test, sim::UpdateServer& server) {
                        offer(server, {kBuild, 1300});
                        test.store("1234.bird", sim::sampleBird(kSerial, kBuild, "Korvel"),
                                {{UpdaterStore::KEY_LATEST_DOWNLOAD, "1234.bird"}});
                    },
                    {"-u", "{server}"},
                    kBuild,
                    {"New firmware is available.  Updater will proceed if valid firmware is found locally.",
                     "Updating with the Latest Download", "Updating firmware with build: 1234"},
                    "1234.bird"},
        BuildChoice{"LatestTransfer",
                    [](UpdateCommand& test, sim::UpdateServer&) {
                        test.store("1234.bird", sim::sampleBird(kSerial, kBuild, "Korvel"),
                                {{UpdaterStore::KEY_LATEST_TRANSFER, "1234.bird"}});
                    },
                    {"-u", kNoServer},
                    kBuild,
                    {"Updating with the Latest Transfer", "Updating firmware with build: 1234"}, "1234.bird"}),
    [](const auto& choice) { return std::string(choice.param.name); });


// A run that must end with code 1 and the reason on standard error.
struct Refusal {
    const char* name;
    std::function<void(UpdateCommand&, SimDevice&)> prepare; // may write the given file
    std::vector<std::string> args; // after "-U -d SERIAL -u <no server>"; "{given}": the given file
    std::string error;             // the start of a line on standard error
    bool written;                  // whether the device was written to before the failure
};

class UpdateCommandRefusal : public UpdateCommand, public ::testing::WithParamInterface<Refusal> {};

TEST_P(UpdateCommandRefusal, EndsWithCodeOneAndTheReason)
{
    const Refusal& c = GetParam();
    SimDevice& sim = simDevice(kSerial, 0x04);
    c.prepare(*this, sim);
    plug(sim);
    const std::string path = root + "/given.bird";
    std::vector<std::string> args{"-U", "-d", kSerialText, "-u", kNoServer};
    for (const std::string& a : c.args) args.push_back(a == "{given}" ? path : a);

    const Outcome r = run(args);
    EXPECT_EQ(r.code, 1) << r.out;
    bool found = false;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) found = found || line.rfind(c.error, 0) == 0;
    EXPECT_TRUE(found) << "no line starting with \"" << c.error << "\" in:\n" << r.err;
    EXPECT_FALSE(sim.upgrade.rebooted());
    if (!c.written) {
        EXPECT_TRUE(sim.untouched());
    }
    EXPECT_EQ(setting(UpdaterStore::KEY_LATEST_TRANSFER), "");
}

sim::BirdWriter korvelFile(uint32_t serial = kSerial) { return sim::sampleBird(serial, kBuild, "Korvel"); }

INSTANTIATE_TEST_SUITE_P(
    Failures, UpdateCommandRefusal,
    ::testing::Values(
        Refusal{"DeviceReportsAnotherSerialNumber",
                [](UpdateCommand& test, SimDevice& device) {
                    test.given(korvelFile());
                    device.entities.setValue(kSystem, 0, kSerialNumber, sim::UeiType::Int,
                                        sim::ueiBytes(sim::UeiType::Int, 0x0BADCAFF));
                },
                {"-f", "{given}"}, "Birdfile failed validation", false},
        // Made for one device: no serial-number offsets to put another one in.
        Refusal{"FileMadeForAnotherSerialNumber",
                [](UpdateCommand& test, SimDevice&) {
                    test.given(sim::BirdWriter()
                                .identity(kBuild, "2.15.3", 0x11112222, "Korvel")
                                .loader(SampleBird::loaderAddress, SampleBird::loaderImage(kBuild))
                                .firmware(SampleBird::firmwareAddress, SampleBird::firmwareImage(kBuild)));
                },
                {"-f", "{given}"}, "Birdfile failed validation", false},
        Refusal{"SerialNumberCannotBePutIn",
                [](UpdateCommand& test, SimDevice&) {
                    test.given(sim::BirdWriter()
                                .identity(kBuild, "2.15.3", 0, "Korvel")
                                .loader(SampleBird::loaderAddress, SampleBird::loaderImage(kBuild))
                                .firmware(SampleBird::firmwareAddress, SampleBird::firmwareImage(kBuild))
                                .serialOffsets(0x70000000, 0));
                },
                {"-f", "{given}"}, "Unable to put serial number [0BADCAFE] into the firmware", false},
        Refusal{"FileWithoutFirmwareBlocks",
                [](UpdateCommand& test, SimDevice&) {
                    test.given(sim::BirdWriter()
                                .identity(kBuild, "2.15.3", kSerial, "Korvel")
                                .loader(SampleBird::loaderAddress, SampleBird::loaderImage(kBuild)));
                },
                {"-f", "{given}", "-O"}, "Birdfile holds no firmware blocks", false},
        Refusal{"UpgradeNotOpened",
                [](UpdateCommand& test, SimDevice& device) {
                    test.given(korvelFile());
                    sim::UpgradeFaults faults;
                    faults.shortInit = true;
                    device.upgrade.setFaults(faults);
                },
                {"-f", "{given}"}, "Device did not open its upgrade [", true},
        Refusal{"FirmwareBlockFailsEveryTime",
                [](UpdateCommand& test, SimDevice& device) {
                    test.given(korvelFile());
                    sim::UpgradeFaults faults;
                    faults.badSumsAt = SampleBird::firmwareAddress;
                    device.upgrade.setFaults(faults);
                },
                {"-f", "{given}"}, "Error transferring firmware block 1 of 1 [", true}),
    [](const auto& refusal) { return std::string(refusal.param.name); });

// Firmware blocks that hold their load address alone: a file of nothing else
// is refused before the device is reached; among blocks with images they are
// skipped, not even prepared, and the device holds exactly the others.
struct AddressOnly {
    const char* name;
    sim::BirdWriter bird;
    int code;
    std::string err;   // the whole of standard error
    std::string shown; // a line on standard output, when written
    std::map<uint32_t, sim::Bytes> firmware;
};

class UpdateCommandAddressOnly : public UpdateCommand, public ::testing::WithParamInterface<AddressOnly> {};

TEST_P(UpdateCommandAddressOnly, NothingButImagesIsWritten)
{
    const AddressOnly& c = GetParam();
    SimDevice& sim = simDevice(kSerial, 0x04);
    plug(sim);
    const Outcome r = run({"-U", "-d", kSerialText, "-u", kNoServer, "-f", given(c.bird)});
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_EQ(r.err, c.err);
    if (c.code == 0) {
        EXPECT_TRUE(hasLine(r.out, c.shown)) << r.out;
    } else {
        EXPECT_TRUE(sim.untouched());
    }
    EXPECT_EQ(sim.upgrade.firmware(), c.firmware);
    EXPECT_EQ(sim.upgrade.rebooted(), c.code == 0);
}

sim::BirdWriter loaderOnlyFile()
{
    return sim::BirdWriter()
        .identity(kBuild, "2.15.3", kSerial, "Korvel")
        .loader(SampleBird::loaderAddress, SampleBird::loaderImage(kBuild));
}

constexpr uint32_t kBase = SampleBird::firmwareAddress;

INSTANTIATE_TEST_SUITE_P(
    Files, UpdateCommandAddressOnly,
    ::testing::Values(
        AddressOnly{"AddressesOnly", loaderOnlyFile().firmware(kBase, {}).firmware(kBase + 0x10000, {}), 1,
                    "Birdfile holds no firmware, only the load addresses of its firmware blocks\n", "", {}},
        AddressOnly{"OneAmongImages",
                    loaderOnlyFile()
                        .firmware(kBase, sim::randomBytes(3000, 70))
                        .firmware(kBase + 0x10000, {})
                        .firmware(kBase + 0x20000, sim::randomBytes(700, 71)),
                    0, "", "Skipping firmware block 2 of 3 at [60010000]: it holds no firmware, only its address",
                    {{kBase, sim::randomBytes(3000, 70)}, {kBase + 0x20000, sim::randomBytes(700, 71)}}}),
    [](const auto& c) { return std::string(c.param.name); });

constexpr uint32_t kRouterSerial = 0xD272031D;

// Behind the router on the USB bus: the module to update at 8 and another at 6.
// Every packet the host sends to a module's address over the router's link
// reaches that module, and its answers come back the same way.
TEST_F(UpdateCommand, ModuleBehindARoutingDeviceIsWrittenAndNothingElse)
{
    SimDevice& router = simDevice(kRouterSerial, 0x04);
    SimDevice& other = simDevice(0x0600000F, 0x06);
    SimDevice& module = simDevice(kSerial, 0x08);
    routerBus = std::make_unique<sim::I2cBus>(router.entities);
    for (SimDevice* m : {&other, &module}) {
        m->entities.setValue(kSystem, 0, kRouter, sim::UeiType::Byte, {0x04});
        const uint8_t address = m->device.config().address;
        routerBus->addDevice(0, address, {0, 0});
        router.device.setAddressHandler(address, [m](sim::DeviceModel& r, const sim::Packet& p) {
            const std::vector<uint8_t> wire = p.wire();
            m->device.fromHost(wire.data(), wire.size());
            for (std::vector<uint8_t> frame; m->device.toHostFrame(frame);) r.injectToHost(frame);
        });
    }
    usb->plug(sim::UsbDeviceDescription::tessaline(kRouterSerial), router.device);
    const std::string path = given(korvelFile());

    const Outcome r = run({"-U", "-d", kSerialText, "-r", "D272031D", "-f", path, "-u", kNoServer});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(module.upgrade.loader()[SampleBird::loaderAddress], SampleBird::loaderImage(kBuild));
    EXPECT_EQ(module.upgrade.firmware()[SampleBird::firmwareAddress], patchedFirmware(path));
    EXPECT_TRUE(module.upgrade.rebooted());
    EXPECT_TRUE(router.untouched());
    EXPECT_TRUE(other.untouched());
    EXPECT_EQ(setting(UpdaterStore::KEY_LATEST_TRANSFER), path);
}


// The device serves its link over TCP/IP from a second namespace behind a
// veth pair (10.77.0.2), where it also answers discovery; on the USB bus,
// where the program looks first, there is only a device of another serial
// number. Told to reboot, the device drops its connection and, restarting,
// takes no new one.
class UpdateCommandTcp : public UpdateCommand {
public:
    bool openNetwork(std::string* why) override { return sim::openDeviceNetwork(&host, why); }
    void TearDown() override
    {
        stopping = true;
        if (rebooter.joinable()) rebooter.join();
        if (host) host->run([&] {
            responder.reset();
            carrier.reset();
        });
        UpdateCommand::TearDown();
    }

    void serve(SimDevice& sim)
    {
        host->run([&] {
            carrier = std::make_unique<sim::TcpCarrier>(sim.device, sim::TcpCarrierOptions{"10.77.0.2"});
            const sim::DeviceConfig& c = sim.device.config();
            responder = std::make_unique<sim::DiscoveryResponder>(
                std::vector<sim::DiscoveryAnswer>{{c.address, carrier->port(), c.serialNumber, c.model}},
                std::vector<std::string>{"10.77.0.2"});
        });
        ASSERT_TRUE(responder->ok()) << responder->error();
        rebooter = std::thread([this, &sim] {
            while (!stopping) {
                const bool asked = sim.device.waitFor(
                    [&](const sim::Records& r) {
                        for (const sim::Packet& p : r.packets)
                            if (p.data == std::vector<uint8_t>{sim::kUpgradeCommand, val_UPGRADE_REBOOT}) return true;
                        return false;
                    },
                    50);
                if (asked) {
                    carrier->setRefuseConnections(true);
                    carrier->resetConnection();
                    return;
                }
            }
        });
    }

    std::unique_ptr<sim::NetworkHost> host;
    std::unique_ptr<sim::TcpCarrier> carrier;
    std::unique_ptr<sim::DiscoveryResponder> responder;
};

TEST_F(UpdateCommandTcp, DeviceOnlyOnTcpipIsWrittenThere)
{
    SimDevice& elsewhere = simDevice(0x0BADCAFD, 0x02);
    usb->plug(sim::UsbDeviceDescription::tessaline(0x0BADCAFD), elsewhere.device);
    SimDevice& sim = simDevice(kSerial, 0x04);
    serve(sim);
    const std::string path = given(korvelFile());

    const Outcome r = run({"-U", "-d", kSerialText, "-f", path, "-u", kNoServer});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim.upgrade.loader()[SampleBird::loaderAddress], SampleBird::loaderImage(kBuild));
    EXPECT_EQ(sim.upgrade.firmware()[SampleBird::firmwareAddress], patchedFirmware(path));
    EXPECT_TRUE(sim.upgrade.rebooted());
    EXPECT_TRUE(elsewhere.untouched());
    EXPECT_EQ(setting(UpdaterStore::KEY_LATEST_TRANSFER), path);
}

} // namespace
