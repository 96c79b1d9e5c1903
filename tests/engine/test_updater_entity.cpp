// test-labels: integration netns threaded
// The upgrade command's host side against the simulated device over TCP in
// the test's own network namespace: the requests of each phase on the wire,
// the images the device ends up with, and the replies that must fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "engine/UpdaterEntity.h"
#include "tests/device_api/tcp_device.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/upgrade_device.h"

namespace {

using namespace Zentrova::Tessaline;
using sim::Bytes;
using sim::Packet;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x02;
constexpr uint32_t kAddress = 0x60001000;

Bytes payloadOf(uint32_t address, const Bytes& image)
{
    // Sized once: growing a four-byte vector by insert draws a false
    // array-bounds report from GCC 12 at -O3.
    Bytes out(4 + image.size());
    for (int i = 0; i < 4; i++)
        out[i] = uint8_t(address >> (24 - 8 * i));
    std::copy(image.begin(), image.end(), out.begin() + 4);
    return out;
}

class Upgrade : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, module.setConfig(apitest::unshared()));
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec()));
        entity.init(&module, 0, true, false);
        device.clearRecords();
    }

    // The upgrade requests the device received, in order.
    std::vector<Bytes> upgradeRequests()
    {
        std::vector<Bytes> out;
        for (const Packet& p : device.records().packets)
            if (p.address == kModule && !p.data.empty() && p.data[0] == sim::kUpgradeCommand) out.push_back(p.data);
        return out;
    }

    // Data requests expected for one data transfer of the bytes.
    static std::vector<Bytes> dataRequests(const Bytes& bytes)
    {
        std::vector<Bytes> out;
        for (size_t at = 0; at < bytes.size(); at += UpdaterEntity::kDataBytes) {
            Bytes request{0x5F, 0x01};
            request.insert(request.end(), bytes.begin() + at,
                           bytes.begin() + std::min(bytes.size(), at + UpdaterEntity::kDataBytes));
            out.push_back(request);
        }
        return out;
    }

    aErr prepare(const Bytes& payload, uint8_t flags = 0)
    {
        blockSize = 0;
        return entity.TransferPrepare(payload.data(), unsigned(payload.size()), flags, blockSize);
    }

    aErr transfer(const Bytes& payload)
    {
        return entity.FirmwareTransfer(payload.data(), unsigned(payload.size()), blockSize, display);
    }

    sim::UpgradeDevice upgrade{device, entities};
    Module module{kModule, uint8_t{0}};
    UpdaterEntity entity;
    enginetest::RecordingDisplay display;
    unsigned short blockSize = 0;
};

TEST_F(Upgrade, LoaderBlockGoesOutInPiecesOf26WithOneSumOfTheWholeImage)
{
    const Bytes image = sim::randomBytes(60, 7);
    const Bytes payload = payloadOf(0x20000000, image);
    ASSERT_EQ(aErrNone, entity.LoaderInit());
    ASSERT_EQ(aErrNone, prepare(payload, 0x05));
    EXPECT_EQ(512u, blockSize);
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(payload.data(), unsigned(payload.size())));
    ASSERT_EQ(aErrNone, entity.LoaderStart());

    std::vector<Bytes> expected{{0x5F, 0x00}, {0x5F, 0x03, 0x05, 0x20, 0x00, 0x00, 0x00}};
    for (const Bytes& r : dataRequests(image)) expected.push_back(r);
    expected.push_back({0x5F, 0x04});
    expected.push_back({0x5F, 0x02});
    EXPECT_EQ(expected, upgradeRequests());
    EXPECT_EQ(26u + 2, expected[2].size());
    EXPECT_EQ(8u + 2, expected[4].size());
    EXPECT_EQ(image, upgrade.loader()[0x20000000]);
    EXPECT_TRUE(upgrade.loaderStarted());
}

TEST_F(Upgrade, FirmwareBlockIsSentAndCommittedChunkByChunkWithProgress)
{
    const Bytes image = sim::randomBytes(1000, 3);
    const Bytes payload = payloadOf(kAddress, image);
    ASSERT_EQ(aErrNone, prepare(payload));
    ASSERT_EQ(512u, blockSize);
    ASSERT_EQ(aErrNone, transfer(payload));

    std::vector<Bytes> expected{{0x5F, 0x03, 0x00, 0x60, 0x00, 0x10, 0x00}};
    for (const Bytes& r : dataRequests(Bytes(image.begin(), image.begin() + 512))) expected.push_back(r);
    expected.push_back({0x5F, 0x04});
    expected.push_back({0x5F, 0x05, 0x02, 0x00});
    for (const Bytes& r : dataRequests(Bytes(image.begin() + 512, image.end()))) expected.push_back(r);
    expected.push_back({0x5F, 0x04});
    expected.push_back({0x5F, 0x05, 0x01, 0xE8});
    EXPECT_EQ(expected, upgradeRequests());
    EXPECT_EQ(20u + 19u, upgrade.requests(val_UPGRADE_DATA));
    EXPECT_EQ(image, upgrade.firmware()[kAddress]);
    EXPECT_EQ((std::vector<std::string>{"progress on", "bar " + std::to_string(516.0 / 1004) + " -",
                                         "bar " + std::to_string(1.0) + " -", "progress off"}),
              display.calls);
}

TEST_F(Upgrade, WithoutValidationNoSumIsAsked)
{
    entity.init(&module, 0, false, false);
    const Bytes payload = payloadOf(kAddress, sim::randomBytes(100));
    ASSERT_EQ(aErrNone, prepare(payload));
    ASSERT_EQ(aErrNone, transfer(payload));
    EXPECT_EQ(0u, upgrade.requests(val_UPGRADE_SUM));
    EXPECT_EQ(1u, upgrade.requests(val_UPGRADE_WRITE));
}

TEST_F(Upgrade, FaultyRepliesFail)
{
    const Bytes payload = payloadOf(kAddress, sim::randomBytes(100));
    struct Case {
        const char* name;
        sim::UpgradeFaults faults;
        std::function<aErr()> run;
        aErr expected;
    };
    auto withFaults = [](std::function<void(sim::UpgradeFaults&)> set) {
        sim::UpgradeFaults f;
        set(f);
        return f;
    };
    auto init = [&] { return entity.LoaderInit(); };
    auto prep = [&] { return prepare(payload); };
    auto send = [&] {
        aErr r = prepare(payload);
        return r != aErrNone ? r : transfer(payload);
    };
    const Case cases[] = {
        {"short init reply", withFaults([](auto& f) { f.shortInit = true; }), init, aErrPacket},
        {"no init reply", withFaults([](auto& f) { f.silent = true; }), init, aErrTimeout},
        {"refused prepare", withFaults([](auto& f) { f.refusePrepare = true; }), prep, aErrInvalidOption},
        // Enough for a loader block; a firmware block then has no size to go by.
        {"prepare without block size", withFaults([](auto& f) { f.prepareWithoutSize = true; }),
         [&] {
             aErr r = prepare(payload);
             if (r != aErrNone || blockSize != 0) return aErrUnknown;
             return entity.FirmwareTransfer(payload.data(), unsigned(payload.size()), blockSize, display);
         },
         aErrInvalidOption},
        {"write without status", withFaults([](auto& f) { f.writeWithoutStatus = true; }), send, aErrInvalidOption},
        {"bad sum", withFaults([](auto& f) { f.badSums = 1; }), send, aErrInvalidOption},
        {"no data reply", withFaults([](auto& f) { f.silentData = true; }), send, aErrPacket},
        {"data counts wrong for ever", withFaults([](auto& f) { f.wrongCounts = 1000; }), send, aErrPacket},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        upgrade.setFaults(c.faults);
        EXPECT_EQ(c.expected, c.run());
    }
}

TEST_F(Upgrade, DataWithAWrongCountGoesOutAgain)
{
    const Bytes image = sim::randomBytes(30, 5);
    const Bytes payload = payloadOf(kAddress, image);
    ASSERT_EQ(aErrNone, prepare(payload));
    sim::UpgradeFaults faults;
    faults.wrongCounts = 2;
    upgrade.setFaults(faults);
    ASSERT_EQ(aErrNone, transfer(payload));
    std::vector<Bytes> data;
    for (const Bytes& r : upgradeRequests())
        if (r[1] == val_UPGRADE_DATA) data.push_back(r);
    const std::vector<Bytes> pieces = dataRequests(image);
    EXPECT_EQ((std::vector<Bytes>{pieces[0], pieces[0], pieces[0], pieces[1]}), data);
    EXPECT_EQ(image, upgrade.firmware()[kAddress]);
}

TEST_F(Upgrade, PayloadsWithoutTheirAddressAndAZeroBlockSizeAreRefusedUnsent)
{
    const Bytes shortPayload{0x60, 0x00, 0x10};
    unsigned short size = 512;
    EXPECT_EQ(aErrParam, entity.TransferPrepare(shortPayload.data(), 3, 0, size));
    EXPECT_EQ(aErrParam, entity.LoaderTransfer(shortPayload.data(), 3));
    EXPECT_EQ(aErrParam, entity.FirmwareTransfer(shortPayload.data(), 3, 512, display));
    const Bytes payload = payloadOf(kAddress, sim::randomBytes(40));
    EXPECT_EQ(aErrInvalidOption, entity.FirmwareTransfer(payload.data(), unsigned(payload.size()), 0, display));
    EXPECT_TRUE(upgradeRequests().empty());
}

TEST_F(Upgrade, FirmwareDataGoesAsByteArraysWhenTheDeviceTakesThem)
{
    upgrade.acceptUeiData();
    upgrade.setProtocolFeatures(0x80000003);
    entity.init(&module, 0, true, true);
    ASSERT_EQ(aErrNone, entity.CheckUEIDataSupport());
    EXPECT_TRUE(entity.uei_data);
    ASSERT_EQ(aErrNone, entity.CheckPooledPacketsSupport());

    const Bytes image = sim::randomBytes(1000, 9);
    const Bytes payload = payloadOf(kAddress, image);
    ASSERT_EQ(aErrNone, prepare(payload));
    ASSERT_EQ(aErrNone, transfer(payload));
    EXPECT_EQ(0u, upgrade.requests(val_UPGRADE_DATA));
    EXPECT_EQ(2u, upgrade.requests(val_UPGRADE_DATA_UEI));
    EXPECT_EQ(2u, upgrade.requests(val_UPGRADE_WRITE));
    EXPECT_EQ(image, upgrade.firmware()[kAddress]);
}

TEST_F(Upgrade, WithoutByteArraySupportTheDataGoesInRequests)
{
    EXPECT_NE(aErrNone, entity.CheckUEIDataSupport());
    EXPECT_FALSE(entity.uei_data);
    upgrade.setProtocolFeatures(0x3);
    EXPECT_EQ(aErrNone, entity.CheckPooledPacketsSupport());
    const Bytes payload = payloadOf(kAddress, sim::randomBytes(52));
    ASSERT_EQ(aErrNone, prepare(payload));
    ASSERT_EQ(aErrNone, transfer(payload));
    EXPECT_EQ(2u, upgrade.requests(val_UPGRADE_DATA));
}

TEST_F(Upgrade, RebootWithoutWaitReturnsAfterOnePassWhileTheLinkStaysUp)
{
    entity.init(&module, 0, true, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNone, entity.LoaderReboot(display));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_TRUE(upgrade.rebooted());
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ((std::vector<std::string>{"spinner on Verifying Update", "spinner off Verifying Update"}), display.calls);
}

TEST_F(Upgrade, RebootWaitsUntilTheLinkDrops)
{
    std::thread drop([&] {
        received(Packet{kModule, {0x5F, 0x06}}, 5000);
        carrier.setRefuseConnections(true); // the device does not come back
        carrier.resetConnection();
    });
    EXPECT_EQ(aErrNone, entity.LoaderReboot(display));
    drop.join();
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ("spinner off Verifying Update", display.calls.back());
}

TEST_F(Upgrade, LoaderStartWithoutAReplyReconnectsOnceAndTimesOut)
{
    sim::UpgradeFaults faults;
    faults.silentLoad = true;
    upgrade.setFaults(faults);
    EXPECT_EQ(aErrTimeout, entity.LoaderStart());
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(1u, upgrade.requests(val_UPGRADE_LOAD));
}

TEST_F(Upgrade, AnUnboundEntityHasNoResource)
{
    UpdaterEntity unbound;
    unsigned short size = 0;
    const Bytes payload = payloadOf(kAddress, {1, 2});
    EXPECT_EQ(aErrResource, unbound.LoaderInit());
    EXPECT_EQ(aErrResource, unbound.TransferPrepare(payload.data(), 6, 0, size));
    EXPECT_EQ(aErrResource, unbound.FirmwareWrite(2));
}

} // namespace
