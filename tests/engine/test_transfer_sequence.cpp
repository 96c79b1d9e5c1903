// test-labels: integration netns threaded
// The loader and firmware stages of writing a firmware file into the
// simulated device over TCP in the test's own network namespace: what the
// device holds afterwards, what the user is shown, and where a failure stops.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/Log.h"
#include "engine/UpdaterEntity.h"
#include "engine/UpdaterTransfer.h"
#include "tests/device_api/tcp_device.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/upgrade_device.h"

namespace {

using namespace Zentrova::Tessaline;
using sim::Bytes;
using sim::SampleBird;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x02;
constexpr uint32_t kBuildNumber = 4321;

class Sequence : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, module.setConfig(apitest::unshared()));
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec()));
        logFile = std::tmpfile();
        ASSERT_NE(nullptr, logFile);
        Log::SetOutput(logFile);
        Log::ActivatePackage(DEBUG_Updater | DEBUG_APP);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(DEBUG_Updater | DEBUG_APP);
        std::fclose(logFile);
    }

    // The file as the engine loads it.
    static BirdFile load(const sim::BirdWriter& writer)
    {
        char dir[] = "/tmp/transfer_sequence.XXXXXX";
        if (!mkdtemp(dir)) throw std::runtime_error("no temporary directory");
        const std::string path = writer.write(std::string(dir) + "/file.bird");
        BirdFile file(path.c_str());
        unlink(path.c_str());
        rmdir(dir);
        return file;
    }

    std::string log()
    {
        std::fflush(logFile);
        std::rewind(logFile);
        std::string out;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, logFile)) > 0) out.append(buffer, n);
        return out;
    }

    size_t shown(const std::string& line) const { return display.count("info " + line); }
    // The error line of a failed stage: what failed, the code and its name.
    static std::string failure(const std::string& what, aErr code)
    {
        return "error " + what + " [" + std::to_string(int(code)) + ", " + aError_GetErrorText(code) + "]";
    }

    // Three firmware blocks of 100 bytes each.
    static sim::BirdWriter threeBlocks()
    {
        sim::BirdWriter writer;
        writer.loader(0x20000000, sim::randomBytes(60, 1));
        for (uint32_t i = 0; i < 3; ++i) writer.firmware(0x60000000 + 0x1000 * i, sim::randomBytes(100, 10 + i));
        return writer;
    }

    sim::UpgradeDevice upgrade{device, entities};
    Module module{kModule, uint8_t{0}};
    enginetest::RecordingDisplay display;
    FILE* logFile = nullptr;
};

TEST_F(Sequence, SampleFileEndsUpInTheDeviceAndItReboots)
{
    const BirdFile file = load(sim::sampleBird(apitest::kSerial, kBuildNumber, "Korvel"));
    ASSERT_EQ(aErrNone, _transfer_loader(display, module, file));
    EXPECT_TRUE(upgrade.loaderStarted());
    EXPECT_TRUE(_reconnect_loader(module, apitest::kSerial));
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, file, true, false));

    EXPECT_EQ(SampleBird::loaderImage(kBuildNumber), upgrade.loader()[SampleBird::loaderAddress]);
    EXPECT_EQ(SampleBird::firmwareImage(kBuildNumber), upgrade.firmware()[SampleBird::firmwareAddress]);
    EXPECT_TRUE(upgrade.rebooted());
    EXPECT_EQ(1u, shown("Transferring loader to device"));
    EXPECT_EQ(1u, shown("Transferring loader block 1 of 1, 2052 bytes"));
    EXPECT_EQ(1u, shown("Transferred 1 blocks, 2052 total bytes"));
    EXPECT_EQ(1u, shown("Starting Load on Device"));
    EXPECT_EQ(1u, shown("Transferring firmware block 1 of 1, 8196 bytes"));
    EXPECT_EQ(1u, shown("Transferred 1 blocks, 8196 total bytes"));
    // A device whose link stayed up is taken as it is: no USB search.
    EXPECT_EQ(std::string::npos, log().find("refreshing libusb context"));
}

TEST_F(Sequence, FileWithoutLoaderBlocksStillStartsTheLoader)
{
    sim::BirdWriter writer;
    writer.firmware(0x60000000, sim::randomBytes(100));
    ASSERT_EQ(aErrNone, _transfer_loader(display, module, load(writer)));
    EXPECT_EQ(1u, shown("Transferred 0 blocks, 0 total bytes"));
    EXPECT_EQ(1u, shown("Starting Load on Device"));
    EXPECT_EQ(1u, upgrade.requests(val_UPGRADE_LOAD));
}

TEST_F(Sequence, LoaderStageFailures)
{
    struct Case {
        const char* name;
        sim::UpgradeFaults faults;
        aErr expected;
        unsigned dataRequests;
        const char* error; // what the user is told, before the code and its name
    };
    auto faults = [](auto set) {
        sim::UpgradeFaults f;
        set(f);
        return f;
    };
    const Case cases[] = {
        {"upgrade not opened", faults([](auto& f) { f.shortInit = true; }), aErrPacket, 0,
         "Device did not open its upgrade"},
        {"prepare refused", faults([](auto& f) { f.refusePrepare = true; }), aErrInvalidOption, 0,
         "Error transferring loader block 1 of 1"},
        {"bad sum", faults([](auto& f) { f.badSums = 1; }), aErrInvalidOption, 3,
         "Error transferring loader block 1 of 1"},
    };
    const BirdFile file = load(threeBlocks());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned before = upgrade.requests(val_UPGRADE_DATA);
        display.calls.clear();
        upgrade.setFaults(c.faults);
        EXPECT_EQ(c.expected, _transfer_loader(display, module, file));
        EXPECT_EQ(c.dataRequests, upgrade.requests(val_UPGRADE_DATA) - before);
        EXPECT_FALSE(upgrade.loaderStarted());
        EXPECT_EQ(1u, display.count(failure(c.error, c.expected)));
    }
}

TEST_F(Sequence, LoaderStartWithoutAReplyCountsAsStarted)
{
    sim::UpgradeFaults faults;
    faults.silentLoad = true;
    upgrade.setFaults(faults);
    EXPECT_EQ(aErrNone, _transfer_loader(display, module, load(threeBlocks())));
    EXPECT_NE(std::string::npos, log().find("Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n"));
}

TEST_F(Sequence, FirmwareBlockIsTriedAgainAfterFailedData)
{
    sim::UpgradeFaults faults;
    faults.badSums = 2;
    upgrade.setFaults(faults);
    const sim::BirdWriter writer = threeBlocks();
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, load(writer), true, false));
    EXPECT_EQ(1u, shown("  Retry 1"));
    EXPECT_EQ(1u, shown("  Retry 2"));
    EXPECT_EQ(0u, shown("  Retry 3"));
    EXPECT_EQ(3u, shown("Transferring firmware block 1 of 3, 104 bytes"));
    EXPECT_EQ(1u, shown("Transferred 3 blocks, 312 total bytes"));
    EXPECT_EQ(3u, upgrade.firmware().size());
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(sim::randomBytes(100, 10 + i), upgrade.firmware()[0x60000000 + 0x1000 * i]);
    EXPECT_TRUE(upgrade.rebooted());
}

TEST_F(Sequence, FirmwareBlockFailingFiveTimesStopsTheStage)
{
    sim::UpgradeFaults faults;
    faults.badSumsAt = 0x60001000;
    upgrade.setFaults(faults);
    EXPECT_EQ(aErrInvalidOption, _transfer_firmware(display, module, load(threeBlocks()), true, false));
    EXPECT_EQ(5u, shown("Transferring firmware block 2 of 3, 104 bytes"));
    EXPECT_EQ(1u, shown("  Retry 4"));
    EXPECT_EQ(0u, shown("Transferring firmware block 3 of 3, 104 bytes"));
    EXPECT_EQ(1u, shown("Transferred 1 blocks, 104 total bytes"));
    EXPECT_NE(std::string::npos, log().find("Error firmware transfer block failed.\n"));
    EXPECT_EQ(1u, display.count(failure("Error transferring firmware block 2 of 3", aErrInvalidOption)));
    EXPECT_FALSE(upgrade.rebooted());
}

TEST_F(Sequence, FailedFirmwarePrepareIsNotRetried)
{
    sim::UpgradeFaults faults;
    faults.refusePrepare = true;
    upgrade.setFaults(faults);
    EXPECT_EQ(aErrInvalidOption, _transfer_firmware(display, module, load(threeBlocks()), true, false));
    EXPECT_EQ(1u, upgrade.requests(val_UPGRADE_PREPARE));
    EXPECT_EQ(0u, shown("  Retry 1"));
    EXPECT_EQ(1u, shown("Transferred 0 blocks, 0 total bytes"));
    EXPECT_EQ(1u, display.count(failure("Error transferring firmware block 1 of 3", aErrInvalidOption)));
    EXPECT_FALSE(upgrade.rebooted());
}

TEST_F(Sequence, PrepareWithoutBlockSizeFailsOnlyTheFirmwareStage)
{
    sim::UpgradeFaults faults;
    faults.prepareWithoutSize = true;
    upgrade.setFaults(faults);
    const BirdFile file = load(threeBlocks());
    ASSERT_EQ(aErrNone, _transfer_loader(display, module, file));
    EXPECT_EQ(sim::randomBytes(60, 1), upgrade.loader()[0x20000000]);
    EXPECT_NE(aErrNone, _transfer_firmware(display, module, file, true, false));
    EXPECT_TRUE(upgrade.firmware()[0x60000000].empty());
    EXPECT_FALSE(upgrade.rebooted());
}

TEST_F(Sequence, ByteArrayDataAndPooledPacketsWhenTheDeviceHasThem)
{
    upgrade.acceptUeiData();
    upgrade.setProtocolFeatures(0x80000000);
    const BirdFile file = load(sim::sampleBird(apitest::kSerial, kBuildNumber, "Korvel"));
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, file, true, true));
    EXPECT_EQ(0u, upgrade.requests(val_UPGRADE_DATA));
    EXPECT_EQ(16u, upgrade.requests(val_UPGRADE_DATA_UEI));
    EXPECT_EQ(SampleBird::firmwareImage(kBuildNumber), upgrade.firmware()[SampleBird::firmwareAddress]);
}

// The firmware data as byte arrays reaches the device packet for packet as
// the entity forms them, whether the link pools its packets or not: prepare,
// then per piece of the block size its chunks (24 bytes each, then the
// sequence byte with the continue flag), the sum and the write; then reboot.
// The pooled transfer's packets are those of the unpooled one, record for
// record.
TEST_F(Sequence, ByteArrayDataReachesTheDevicePacketForPacketPooledOrNot)
{
    const Bytes image = sim::randomBytes(1300, 7);
    sim::BirdWriter writer;
    writer.firmware(0x60000000, image);
    const BirdFile file = load(writer);
    std::vector<sim::Packet> expected = {{kModule, {0x5F, 0x03, 0x00, 0x60, 0x00, 0x00, 0x00}}};
    for (size_t at = 0; at < image.size(); at += 512) {
        const size_t n = std::min<size_t>(512, image.size() - at);
        uint8_t sequence = 0;
        for (size_t sent = 0; sent < n; sent += 24) {
            const size_t k = std::min<size_t>(24, n - sent);
            sim::Packet chunk{kModule, {0x5F, 0x8A, 0x20}};
            chunk.data.insert(chunk.data.end(), image.begin() + long(at + sent), image.begin() + long(at + sent + k));
            chunk.data.push_back(uint8_t(sequence++ | (sent + k < n ? 0x80 : 0)));
            expected.push_back(chunk);
        }
        expected.push_back({kModule, {0x5F, 0x04}});
        expected.push_back({kModule, {0x5F, 0x05, uint8_t(n >> 8), uint8_t(n)}});
    }
    expected.push_back({kModule, {0x5F, 0x06}});

    auto upgrades = [](const sim::Records& r) {
        std::vector<sim::Packet> found;
        for (const sim::Packet& p : r.packets)
            if (p.address == kModule && !p.data.empty() && p.data[0] == 0x5F &&
                (!found.empty() || (p.data.size() > 1 && p.data[1] == 0x03)))
                found.push_back(p);
        return found;
    };
    upgrade.acceptUeiData();
    // Unpooled first: pooled packets, once on, stay on for the link.
    std::vector<sim::Packet> unpooled;
    for (bool pooled : {false, true}) {
        SCOPED_TRACE(pooled ? "pooled" : "unpooled");
        upgrade.setProtocolFeatures(pooled ? 0x80000000 : 0);
        device.clearRecords();
        // Without a loader stage the device adds what is written to what it holds.
        const size_t held = upgrade.firmware()[0x60000000].size();
        ASSERT_EQ(aErrNone, _transfer_firmware(display, module, file, true, true));
        ASSERT_TRUE(device.waitFor([&](const sim::Records& r) { return upgrades(r).size() >= expected.size(); }, 2000));
        const std::vector<sim::Packet> sent = upgrades(device.records());
        EXPECT_EQ(expected, sent);
        const Bytes written = upgrade.firmware()[0x60000000];
        EXPECT_EQ(image, Bytes(written.begin() + long(std::min(held, written.size())), written.end()));
        if (pooled)
            EXPECT_EQ(unpooled, sent);
        else
            unpooled = sent;
    }
}

TEST_F(Sequence, DeviceWithoutByteArrayDataIsNotAskedForPooledPackets)
{
    upgrade.setProtocolFeatures(0x80000000);
    ASSERT_EQ(aErrNone, _transfer_firmware(display, module, load(threeBlocks()), true, true));
    for (const sim::UeiRequest& r : entities.requests()) EXPECT_FALSE(r.command == 3 && r.option == 45);
    EXPECT_EQ(12u, upgrade.requests(val_UPGRADE_DATA));
}

// A slow device answers one request after the host gave up on it, and keeps
// the next data byte it receives wrong. Whatever the late answer meets, the
// sequence ends with the file's images in the device, or with a failure and
// no reboot: never with a wrong image taken as written.
struct LateCase {
    const char* name;
    bool firmwareStage;
    uint8_t option;
    unsigned nth;
    aErr expected;
};

class LateReply : public Sequence, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateReply, NeverPassesAWrongImageAsWritten)
{
    const LateCase& c = GetParam();
    // Two chunks per block, so that an answer can also be late within a block.
    sim::BirdWriter writer;
    writer.loader(0x20000000, sim::randomBytes(60, 1));
    for (uint32_t i = 0; i < 3; ++i) writer.firmware(0x60000000 + 0x1000 * i, sim::randomBytes(700, 10 + i));
    const BirdFile file = load(writer);
    sim::UpgradeFaults faults;
    faults.lateOption = c.option;
    faults.lateNth = c.nth;
    faults.lateMs = 1300; // beyond the host's 1000 ms wait for a reply
    faults.spoilAfterLate = true;

    if (!c.firmwareStage) upgrade.setFaults(faults);
    aErr result = _transfer_loader(display, module, file);
    if (result == aErrNone) {
        ASSERT_TRUE(upgrade.loaderStarted());
        EXPECT_EQ(sim::randomBytes(60, 1), upgrade.loader()[0x20000000]);
        ASSERT_TRUE(_reconnect_loader(module, apitest::kSerial));
        if (c.firmwareStage) upgrade.setFaults(faults);
        result = _transfer_firmware(display, module, file, true, false);
    }
    EXPECT_EQ(c.expected, result);
    if (result == aErrNone) {
        for (uint32_t i = 0; i < 3; ++i)
            EXPECT_EQ(sim::randomBytes(700, 10 + i), upgrade.firmware()[0x60000000 + 0x1000 * i]) << "block " << i;
        EXPECT_TRUE(upgrade.rebooted());
    } else {
        EXPECT_FALSE(upgrade.rebooted());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, LateReply,
    ::testing::Values(LateCase{"LoaderInit", false, val_UPGRADE_INIT, 1, aErrTimeout},
                      LateCase{"LoaderPrepare", false, val_UPGRADE_PREPARE, 1, aErrInvalidOption},
                      LateCase{"LoaderData", false, val_UPGRADE_DATA, 2, aErrPacket},
                      LateCase{"LoaderSum", false, val_UPGRADE_SUM, 1, aErrPacket},
                      LateCase{"LoaderStart", false, val_UPGRADE_LOAD, 1, aErrNone},
                      LateCase{"FirmwarePrepare", true, val_UPGRADE_PREPARE, 1, aErrTimeout},
                      LateCase{"FirmwareData", true, val_UPGRADE_DATA, 3, aErrNone},
                      LateCase{"FirmwareSum", true, val_UPGRADE_SUM, 2, aErrNone},
                      LateCase{"FirmwareWrite", true, val_UPGRADE_WRITE, 1, aErrNone}),
    [](const ::testing::TestParamInfo<LateCase>& param) { return std::string(param.param.name); });

} // namespace
