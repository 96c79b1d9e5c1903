// test-labels: integration netns
// Making, sharing, destroying and resetting links to the simulated device over
// TCP (127.0.0.1 in the test's own network namespace), over a serial port (a
// pseudo-terminal carrying COBS frames) and over a stream the caller made.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <thread>

#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aLinkTable.h"
#include "platform/aStreamsocket.h"
#include "tests/common/link_create_checks.h"
#include "tests/sim/device_model.h"
#include "tests/sim/private_network.h"
#include "tests/sim/pty_carrier.h"
#include "tests/sim/socketpair_carrier.h"
#include "tests/sim/tcp_carrier.h"

namespace {

using linkcreate::echoes;
using linkcreate::endedWithForceRouteOff;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint32_t kSerial = 0x00C0FFEE;

// The id the table gives its next entry (the probe entry is freed again).
aLinkId nextId()
{
    aLinkId probe = sCreate(0, 0, INVALID);
    aLinkId id = probe;
    aLink_Destroy(&probe);
    return id;
}

// ---------------------------------------------------------------- TCP/IP

class TcpLink : public ::testing::Test {
protected:
    sim::DeviceModel device;
    sim::TcpCarrier carrier{device};
};

TEST_F(TcpLink, EveryHolderSharesOneLinkUntilTheLastDestroy)
{
    aLinkId first = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, first);
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(first));
    EXPECT_TRUE(echoes(first, 1));

    // The same serial number is enough: another port gets the same link.
    aLinkId second = aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(carrier.port() + 1));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1u, carrier.connections());

    aLinkId id = first;
    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_EQ(0u, first);
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    // Sent after the first destroy, the echo shows that nothing stopped the link.
    EXPECT_TRUE(echoes(second, 2));
    EXPECT_EQ(std::vector<uint8_t>{1}, device.records().forceRoutes);

    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_EQ(0u, second);
    EXPECT_EQ(kLinkStatusNoStream, aLink_GetStatus(id));
    EXPECT_EQ(nullptr, sLookupEntryByID(id));
    EXPECT_TRUE(endedWithForceRouteOff(device));

    // Gone means gone: a further destroy of the id is refused, and still clears it.
    aLinkId stale = id;
    EXPECT_EQ(aErrParam, aLink_Destroy(&stale));
    EXPECT_EQ(0u, stale);
}

// A device link that a link-sharing server wraps is reached through the
// server only.
TEST_F(TcpLink, ServedLinkIsNotHandedOutAgain)
{
    aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, id);
    aLinkEntry* entry = sLookupEntryByID(id);
    ASSERT_NE(nullptr, entry);
    alignas(void*) static char server[16];
    entry->server = reinterpret_cast<aServer*>(server);
    EXPECT_EQ(0u, aLink_CreateTCPIP(kSerial, kLoopback, carrier.port()));
    EXPECT_EQ(1, entry->useCount);
    EXPECT_EQ(1u, carrier.connections());
    entry->server = nullptr;
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

TEST_F(TcpLink, NoConnectionMakesNoLink)
{
    carrier.setRefuseConnections(true);
    EXPECT_EQ(0u, aLink_CreateTCPIP(kSerial, kLoopback, carrier.port()));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
}

TEST_F(TcpLink, ResetReconnectsToTheAddressAndPortItWasMadeWith)
{
    aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, id);
    aLinkId again = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_EQ(id, again);
    ASSERT_TRUE(echoes(id, 1));

    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_TRUE(carrier.waitForConnections(2, 2000));
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(echoes(id, 2));
    EXPECT_TRUE(device.waitFor([](const sim::Records& r) { return r.forceRoutes.size() == 3; }, 2000));
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 1}), device.records().forceRoutes);

    // The uses survive the reset: the first destroy leaves the link running.
    EXPECT_EQ(aErrNone, aLink_Destroy(&again));
    EXPECT_TRUE(echoes(id, 3));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
}

TEST_F(TcpLink, ResetWithoutAConnectionLeavesTheLinkStoppedUntilTheNext)
{
    aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, id);
    carrier.setRefuseConnections(true);
    EXPECT_EQ(aErrResource, aLink_Reset(id));
    EXPECT_EQ(kLinkStatusStopped, aLink_GetStatus(id));
    const uint8_t data[] = {sim::kEchoCommand, 1};
    aPacket* packet = aPacket_CreateWithData(sim::DeviceConfig{}.address, sizeof data, data);
    EXPECT_NE(aErrNone, aLink_PutPacket(id, packet)) << "queued on a link without FIFOs";
    aPacket_Destroy(&packet);
    EXPECT_EQ(nullptr, aLink_GetPacket(id));

    carrier.setRefuseConnections(false);
    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(echoes(id, 1));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

TEST_F(TcpLink, StoppedLinkIsDestroyedCleanly)
{
    aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, id);
    carrier.setRefuseConnections(true);
    ASSERT_NE(aErrNone, aLink_Reset(id));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
}

// A link that a failed reset left without FIFOs has nothing to wait on: an
// await ends at once with nothing, and does not burn the caller's core until
// its deadline.
TEST_F(TcpLink, AwaitAfterAFailedResetEndsAtOnce)
{
    aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, id);
    carrier.setRefuseConnections(true);
    ASSERT_NE(aErrNone, aLink_Reset(id));

    auto cpuMs = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
    };
    constexpr uint64_t kWaitMs = 3000;
    const double cpuBefore = cpuMs();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, aLink_AwaitPacket(id, kWaitMs));
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    const double cpuUsedMs = cpuMs() - cpuBefore;
    EXPECT_LT(elapsedMs, static_cast<long>(kWaitMs / 2)) << "the await waited for a packet that cannot come";
    EXPECT_LT(cpuUsedMs, kWaitMs / 4.0) << "the await spun on the caller's core";
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

// ---------------------------------------------------------------- serial

class SerialLink : public ::testing::Test {
protected:
    // The output speed the port is set to now.
    speed_t portSpeed()
    {
        int fd = open(carrier.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings{};
        speed_t speed = tcgetattr(fd, &settings) == 0 ? cfgetospeed(&settings) : B0;
        close(fd);
        return speed;
    }
    void setPortSpeed(speed_t speed)
    {
        int fd = open(carrier.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings{};
        ASSERT_EQ(0, tcgetattr(fd, &settings));
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &settings));
        close(fd);
    }

    sim::DeviceModel device;
    sim::PtyCarrier carrier{device, sim::PtyCarrier::Framing::Cobs};
};

TEST_F(SerialLink, CarriesFramedPacketsAndIsSharedBySerialNumber)
{
    aLinkId first = aLink_CreateSerial(kSerial, carrier.path().c_str(), 115200);
    ASSERT_NE(0u, first);
    EXPECT_TRUE(echoes(first, 7));
    // Port and rate play no part in the reuse, not even a rate of its own.
    aLinkId second = aLink_CreateSerial(kSerial, "/dev/null", 1200);
    EXPECT_EQ(first, second);
    // Another transport for the same serial number is another link.
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, USB));

    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_TRUE(echoes(first, 8));
    aLinkId id = first;
    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_EQ(kLinkStatusNoStream, aLink_GetStatus(id));
    EXPECT_TRUE(endedWithForceRouteOff(device));
}

TEST_F(SerialLink, EachRateOpensThePortAtItsSpeed)
{
    const struct {
        uint32_t rate;
        speed_t speed;
    } rates[] = {
        {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& c : rates) {
        SCOPED_TRACE(c.rate);
        aLinkId id = aLink_CreateSerial(kSerial, carrier.path().c_str(), c.rate);
        ASSERT_NE(0u, id);
        EXPECT_EQ(c.speed, portSpeed());
        EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    }
}

TEST_F(SerialLink, UnsupportedRateChangesNothing)
{
    for (uint32_t rate : {0u, 1200u, 9601u, 460800u}) {
        SCOPED_TRACE(rate);
        setPortSpeed(B1800);
        aLinkId before = nextId();
        EXPECT_EQ(0u, aLink_CreateSerial(kSerial, carrier.path().c_str(), rate));
        EXPECT_EQ(before + 1, nextId()) << "an entry was made";
        EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, SERIAL));
        EXPECT_EQ(B1800, portSpeed()) << "the port was opened";
    }
    EXPECT_EQ(0u, device.records().byteCount);
}

TEST_F(SerialLink, MissingPortMakesNoLink)
{
    EXPECT_EQ(0u, aLink_CreateSerial(kSerial, "/dev/tessaline-no-such-port", 115200));
    EXPECT_EQ(0u, aLink_CreateSerial(kSerial, nullptr, 115200));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, SERIAL));
}

// A serial link's entry keeps neither port nor rate: it cannot be made again,
// and a reset must not take down the link it has.
TEST_F(SerialLink, ResetIsRefusedAndTheLinkRunsOn)
{
    aLinkId id = aLink_CreateSerial(kSerial, carrier.path().c_str(), 57600);
    ASSERT_NE(0u, id);
    EXPECT_EQ(aErrParam, aLink_Reset(id));
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(echoes(id, 1));
    EXPECT_EQ(std::vector<uint8_t>{1}, device.records().forceRoutes);
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

// Line noise spoils one frame while the device keeps talking, a heartbeat
// every 100 ms and so never a quiet second: the link falls into step again
// at once, and the next frames pass.
TEST_F(SerialLink, CorruptFrameFromAChattyDeviceIsGotOver)
{
    aLinkId id = aLink_CreateSerial(kSerial, carrier.path().c_str(), 115200);
    ASSERT_NE(0u, id);
    ASSERT_TRUE(echoes(id, 1));
    std::atomic<bool> talking{true};
    std::thread chatter([&] {
        while (talking) {
            device.sendHeartbeat(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const uint8_t spoilt[] = {0x04, 0x04, 0x02, 0x11, 0x02, 0x6A, 0x00};
    carrier.sendRaw(spoilt, sizeof spoilt);
    // A serial link is not synchronised at creation: address queries now are
    // the new synchronisation.
    const sim::Packet query{sim::kAddressQuery, {}};
    EXPECT_TRUE(device.waitFor(
        [&](const sim::Records& r) { return std::find(r.packets.begin(), r.packets.end(), query) != r.packets.end(); },
        2000));
    EXPECT_TRUE(linkcreate::reachesStatus(id, kLinkStatusRunning, 2000));
    // A transaction waits for its answer again, past the address answers
    // that the synchronisation did not need.
    const uint8_t data[] = {sim::kEchoCommand, 2};
    aPacket* out = aPacket_CreateWithData(sim::DeviceConfig{}.address, sizeof data, data);
    EXPECT_EQ(aErrNone, aLink_PutPacket(id, out));
    aPacket_Destroy(&out);
    const auto isEcho = [](const aPacket* p, const void*) { return p->length == 2 && p->data[0] == sim::kEchoCommand; };
    aPacket* back = aLink_AwaitFirst(id, isEcho, nullptr, 2000);
    EXPECT_NE(nullptr, back);
    aPacket_Destroy(&back);
    talking = false;
    chatter.join();
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

// An unplugged adaptor: the link learns that its port is gone.
TEST_F(SerialLink, PortThatHangsUpMarksTheLink)
{
    aLinkId id = aLink_CreateSerial(kSerial, carrier.path().c_str(), 115200);
    ASSERT_NE(0u, id);
    ASSERT_TRUE(echoes(id, 1));
    carrier.hangUp();
    EXPECT_TRUE(linkcreate::reachesStatus(id, kLinkStatusIOError, 2000));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

// An adaptor whose firmware stalls with a backlog queued: destroying the
// link does not wait for the port.
TEST_F(SerialLink, DestroyReturnsWhenThePortStopsTakingBytes)
{
    aLinkId id = aLink_CreateSerial(kSerial, carrier.path().c_str(), 115200);
    ASSERT_NE(0u, id);
    ASSERT_TRUE(echoes(id, 1));
    carrier.stall(true);
    // Far more than the port holds.
    uint8_t data[27] = {sim::kEchoCommand};
    for (int i = 0; i < 3000; ++i) {
        aPacket* out = aPacket_CreateWithData(sim::DeviceConfig{}.address, sizeof data, data);
        ASSERT_EQ(aErrNone, aLink_PutPacket(id, out));
        aPacket_Destroy(&out);
    }
    std::promise<aErr> destroyed;
    std::future<aErr> result = destroyed.get_future();
    std::thread destroyer([&] { destroyed.set_value(aLink_Destroy(&id)); });
    const bool returned = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    // Let a destroy that waits on the port finish, so that the test ends.
    carrier.stall(false);
    destroyer.join();
    EXPECT_TRUE(returned) << "destroy waited for the port";
    EXPECT_EQ(aErrNone, result.get());
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, SERIAL));
}

// ---------------------------------------------------------------- caller's stream

class StreamLink : public ::testing::Test {
protected:
    // A stream over the host's end of the socket pair, which the test closes.
    aStream* openStream()
    {
        hostFd = carrier.takeHostFd();
        aStream* stream = nullptr;
        EXPECT_EQ(aErrNone, aStream_AdoptSocket(hostFd, &stream));
        return stream;
    }
    void TearDown() override
    {
        if (hostFd >= 0)
            close(hostFd);
    }

    sim::DeviceModel device;
    sim::SocketpairCarrier carrier{device};
    int hostFd = -1;
};

TEST_F(StreamLink, RunsOverTheStreamAndIsNeverReused)
{
    aLinkId id = aLink_Create(openStream());
    ASSERT_NE(0u, id);
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(echoes(id, 1));
    const aLinkEntry* entry = sLookupEntryByID(id);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(INVALID, entry->type);
    EXPECT_EQ(0xFFFFFFFFu, entry->identifier1);

    // Another link over another stream, though the identifiers are the same.
    sim::DeviceModel other;
    sim::SocketpairCarrier otherCarrier(other);
    int otherFd = otherCarrier.takeHostFd();
    aStream* otherStream = nullptr;
    ASSERT_EQ(aErrNone, aStream_AdoptSocket(otherFd, &otherStream));
    aLinkId second = aLink_Create(otherStream);
    EXPECT_NE(0u, second);
    EXPECT_NE(id, second);
    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    close(otherFd);

    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_TRUE(endedWithForceRouteOff(device));
}

TEST_F(StreamLink, ResetIsRefusedAndTheLinkRunsOn)
{
    aLinkId id = aLink_Create(openStream());
    ASSERT_NE(0u, id);
    EXPECT_EQ(aErrParam, aLink_Reset(id));
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(echoes(id, 1));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

TEST(LinkCreate, WithoutAStreamNothingIsMade)
{
    EXPECT_EQ(0u, aLink_Create(nullptr));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0xFFFFFFFF, INVALID));
}

// ---------------------------------------------------------------- destroy and reset of odd ids

TEST(LinkDestroy, UnknownIdsAreRefusedAndCleared)
{
    EXPECT_EQ(aErrParam, aLink_Destroy(nullptr));
    for (aLinkId unknown : {0u, 0xFFFFFFF0u}) {
        aLinkId id = unknown;
        EXPECT_EQ(aErrParam, aLink_Destroy(&id));
        EXPECT_EQ(0u, id);
        EXPECT_EQ(aErrParam, aLink_Reset(unknown));
    }
}

// An entry whose record was never filled (a creation that stopped half way)
// is still taken out of the table and freed; the leak check would see it.
TEST(LinkDestroy, EntryWithoutALinkIsFreed)
{
    aLinkId id = sCreate(kSerial, 0, USB);
    ASSERT_NE(0u, id);
    sChangeUseCount(sLookupEntryByID(id), 1);
    aLinkId held = id;
    EXPECT_EQ(aErrParam, aLink_Reset(id));
    EXPECT_EQ(aErrUnknown, aLink_Destroy(&held));
    EXPECT_EQ(0u, held);
    EXPECT_EQ(nullptr, sLookupEntryByID(id));
}

} // namespace
