// test-labels: integration netns
// The updater program's update command over TCP/IP, end to end: a simulated
// device in a second network namespace behind a veth pair answers the
// discovery query, takes the loader and the firmware, and is told to reboot.
#include "common/aDefs.h"
#include "engine/BirdFile.h"
#include "tests/cli/updater_run.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/device_model.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/module_info.h"
#include "tests/sim/private_network.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/uei_entities.h"
#include "tests/sim/upgrade_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using clitest::Outcome;
using sim::SampleBird;

namespace {

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kBuild = 1234;
constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kSystem = 3;
enum SystemOption : uint8_t { kModule = 1, kRouter = 2, kModel = 8, kSerialNumber = 9 };

// The program runs in this process's private network, on th0 (10.77.0.1);
// the device and its discovery responder live behind td0 (10.77.0.2).
class UpdateOverTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::openDeviceNetwork(&host, &why)) << why;
        char pattern[] = "/tmp/update_over_tcp.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        entities.setValue(kSystem, 0, kModule, sim::UeiType::Byte, {kAddress});
        entities.setValue(kSystem, 0, kRouter, sim::UeiType::Byte, {0});
        entities.setValue(kSystem, 0, kModel, sim::UeiType::Byte, {aMODEL_KORVEL});
        entities.setValue(kSystem, 0, kSerialNumber, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, kSerial));
        host->run([&] {
            carrier = std::make_unique<sim::TcpCarrier>(device, sim::TcpCarrierOptions{"10.77.0.2"});
            responder = std::make_unique<sim::DiscoveryResponder>(
                std::vector<sim::DiscoveryAnswer>{{kAddress, carrier->port(), kSerial, aMODEL_KORVEL}},
                std::vector<std::string>{"10.77.0.2"});
        });
        ASSERT_TRUE(responder->ok()) << responder->error();
        bird = sim::sampleBird(kSerial, kBuild, "Korvel").write(root + "/given.bird");
    }
    void TearDown() override
    {
        stopping = true;
        if (rebooter.joinable()) rebooter.join();
        if (host) host->run([&] {
                responder.reset();
                carrier.reset();
            });
        if (!root.empty()) fs::remove_all(root);
    }

    // Told to reboot, the device ends its connection (reset: with an RST,
    // else in an orderly way) and listens again, as a restarted device does.
    void restartOnReboot(bool reset)
    {
        rebooter = std::thread([this, reset] {
            while (!stopping) {
                const bool asked = device.waitFor(
                    [](const sim::Records& r) {
                        for (const sim::Packet& p : r.packets)
                            if (p.data == std::vector<uint8_t>{0x5F, 0x06}) return true;
                        return false;
                    },
                    50);
                if (!asked) continue;
                if (reset)
                    carrier->resetConnection();
                else
                    carrier->closeConnection();
                return;
            }
        });
    }

    Outcome update() { return clitest::runUpdater({"-i", root, "-U", "-d", "0BADCAFE", "-f", bird}, root); }

    // The firmware image as the device must receive it: the sample's, with
    // the device's serial number put in.
    sim::Bytes patchedFirmware() const
    {
        BirdFile file(bird.c_str());
        EXPECT_TRUE(file.ReplaceSerialNumber(kSerial));
        const BirdBlock block = file.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
        return sim::Bytes(block.payload + 4, block.payload + block.length);
    }

    std::unique_ptr<sim::NetworkHost> host;
    std::string root;
    std::string bird;
    sim::DeviceModel device{sim::DeviceConfig{kAddress, sim::kEchoCommand, kSerial, aMODEL_KORVEL}};
    sim::UeiEntities entities{device};
    sim::ModuleInfo info{device, entities, kBuild};
    sim::UpgradeDevice upgrade{device, entities};
    std::unique_ptr<sim::TcpCarrier> carrier;
    std::unique_ptr<sim::DiscoveryResponder> responder;
    std::atomic<bool> stopping{false};
    std::thread rebooter;
};

class DeviceRestarts : public UpdateOverTcp, public ::testing::WithParamInterface<bool> {};

TEST_P(DeviceRestarts, DeviceIsUpdatedAndTheUpdateEnds)
{
    restartOnReboot(GetParam());
    const Outcome r = update();
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(SampleBird::loaderImage(kBuild), upgrade.loader()[SampleBird::loaderAddress]);
    EXPECT_EQ(patchedFirmware(), upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_TRUE(upgrade.rebooted());
}

INSTANTIATE_TEST_SUITE_P(Endings, DeviceRestarts, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "ConnectionReset" : "ConnectionClosed";
                         });

TEST_F(UpdateOverTcp, DeviceThatNeverDropsItsLinkFailsTheUpdate)
{
    const Outcome r = update();
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.err.find("The device did not restart: its link was still up 10 s after the reboot request"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(upgrade.rebooted());
}

} // namespace
