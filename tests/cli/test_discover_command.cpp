// test-labels: integration netns
// The updater program's discover command over TCP/IP: simulated devices in a
// second network namespace behind a veth pair answer the discovery query and
// serve their links, and the program prints the table of what it found.
#include "common/aVersion.h"
#include "tests/cli/updater_run.h"
#include "tests/sim/device_model.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/module_info.h"
#include "tests/sim/private_network.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/uei_entities.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using clitest::hasLine;
using clitest::Outcome;

namespace {

constexpr uint8_t kSystem = 3;
enum SystemOption : uint8_t { kModule = 1, kRouter = 2, kVersion = 7, kModel = 8, kSerialNumber = 9, kName = 32 };
constexpr uint8_t kKorvel = 21;

// One simulated TCP/IP device with its system entity and module information;
// the carrier that feeds it is destroyed first.
struct SimDevice {
    SimDevice(uint32_t serial, uint8_t address, uint32_t build, const std::string& name)
        : device(sim::DeviceConfig{address, sim::kEchoCommand, serial, kKorvel}), info(device, entities, build)
    {
        entities.setValue(kSystem, 0, kModule, sim::UeiType::Byte, {address});
        entities.setValue(kSystem, 0, kRouter, sim::UeiType::Byte, {0});
        entities.setValue(kSystem, 0, kModel, sim::UeiType::Byte, {kKorvel});
        entities.setValue(kSystem, 0, kSerialNumber, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, serial));
        entities.setValue(kSystem, 0, kVersion, sim::UeiType::Int,
                          sim::ueiBytes(sim::UeiType::Int, aVersion_Pack(2, 15, 3)));
        entities.setValue(kSystem, 0, kName, sim::UeiType::Bytes, std::vector<uint8_t>(name.begin(), name.end()));
    }

    sim::DeviceModel device;
    sim::UeiEntities entities{device};
    sim::ModuleInfo info;
    std::unique_ptr<sim::TcpCarrier> carrier;
};

// The program runs in this process's private network, on th0 (10.77.0.1);
// the devices and the responder live behind td0 (10.77.0.2).
class DiscoverCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::openDeviceNetwork(&host, &why)) << why;
        char pattern[] = "/tmp/discover_command_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        if (host) host->run([&] { responder.reset(); });
        if (!root.empty()) fs::remove_all(root);
    }

    void serve(std::vector<SimDevice*> devices)
    {
        host->run([&] {
            std::vector<sim::DiscoveryAnswer> answers;
            for (SimDevice* d : devices) {
                d->carrier = std::make_unique<sim::TcpCarrier>(d->device, sim::TcpCarrierOptions{"10.77.0.2"});
                const sim::DeviceConfig& c = d->device.config();
                answers.push_back({c.address, d->carrier->port(), c.serialNumber, c.model});
            }
            responder = std::make_unique<sim::DiscoveryResponder>(answers, std::vector<std::string>{"10.77.0.2"});
        });
        ASSERT_TRUE(responder->ok()) << responder->error();
    }

    Outcome run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-i", root});
        return clitest::runUpdater(args, root);
    }

    std::unique_ptr<sim::NetworkHost> host;
    std::unique_ptr<sim::DiscoveryResponder> responder;
    std::string root;
};

TEST_F(DiscoverCommandTest, TcpipDevicesArePrintedInTheTable)
{
    SimDevice bench(0x1000A, 0x04, 1234, "bench unit");
    SimDevice spare(0x1000B, 0x06, 1300, "spare");
    serve({&bench, &spare});

    const Outcome r = run({"-D", "-t", "TCP"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "Searching for Tessaline devices")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Discovered Devices: (TCPIP)")) << r.out;
    const size_t line = r.out.find("    0001000A  04");
    ASSERT_NE(line, std::string::npos) << r.out;
    const std::string row = r.out.substr(line, r.out.find('\n', line) - line);
    EXPECT_NE(row.find("2.15.3 (      1234)"), std::string::npos) << row;
    EXPECT_NE(row.find("[10.77.0.2]"), std::string::npos) << row;
    EXPECT_NE(row.find("bench unit"), std::string::npos) << row;
    EXPECT_NE(r.out.find("    0001000B  06"), std::string::npos) << r.out;
    EXPECT_GE(responder->queries(), 1);
}

TEST_F(DiscoverCommandTest, NothingFoundStillEndsWithCodeZero)
{
    serve({});
    const Outcome r = run({"-D", "-t", "TCP"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "Discovered Devices: (TCPIP)")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "    No devices found.")) << r.out;
}

TEST_F(DiscoverCommandTest, DiscoverGoesBeforeUpdateAndTheLists)
{
    SimDevice bench(0x1000A, 0x04, 1234, "bench unit");
    serve({&bench});
    // The update would fail (nothing to write), the list would print its heading.
    const Outcome r = run({"-U", "-B", "-L", "-D", "-t", "TCP", "-d", "0001000A", "-u", "127.0.0.1:1"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("    0001000A  04"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Build List"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("No builds found"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "") << "another command ran";
}

} // namespace
