// test-labels: integration threaded
// test-wrapper: umockdev
// A link over the USB stream to the simulated device on the emulated bus:
// what the link puts on the wire when it starts, synchronises and stops,
// packets both ways and heartbeat replies.
#include "common/aLink.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/Tessaline_libusb.h"
#include "platform/aStreamUSB.h"
#include "tests/common/link_harness.h"
#include "tests/sim/device_model.h"
#include "tests/sim/usb_carrier.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint8_t kDevice = 0x02;

// A packet that the simulated device echoes: the echo command and 27 more
// bytes, 30 bytes on the wire.
Bytes echoData(uint8_t seed)
{
    Bytes data(sim::kMaxPacketData);
    data[0] = sim::kEchoCommand;
    for (size_t i = 1; i < data.size(); ++i) data[i] = uint8_t(seed + i);
    return data;
}

Bytes dataOf(const aPacket* packet)
{
    return Bytes(packet->data, packet->data + packet->length);
}

class LinkOverUsb : public ::testing::Test {
protected:
    void SetUp() override
    {
        handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), device);
        aStream* stream = nullptr;
        ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
        link = std::make_unique<linktest::TestLink>(stream);
        ASSERT_EQ(aErrNone, aLink_Start(link->id()));
        // The answers come late enough for all six queries to go out: once
        // in step, a link drops the queries that it has not sent yet.
        sim::Faults slow;
        slow.answerDelayMs = 100;
        device.setFaults(slow);
        ASSERT_EQ(aErrNone, aLink_Sync(link->id()));
        device.setFaults({});
        ASSERT_EQ(kLinkStatusRunning, aLink_GetStatus(link->id()));
    }

    void TearDown() override
    {
        link.reset();
        Tessaline_libusb_exit();
    }

    // Sends the packet and expects the device's echo of it.
    void expectEcho(const Bytes& data)
    {
        aPacket* packet = aPacket_CreateWithData(kDevice, uint8_t(data.size()), data.data());
        ASSERT_NE(nullptr, packet);
        EXPECT_EQ(aErrNone, aLink_PutPacket(link->id(), packet));
        aPacket_Destroy(&packet);
        aPacket* reply = aLink_AwaitPacket(link->id(), 1000);
        ASSERT_NE(nullptr, reply);
        EXPECT_EQ(kDevice, reply->address);
        EXPECT_EQ(data, dataOf(reply));
        aPacket_Destroy(&reply);
    }

    sim::DeviceModel device;
    sim::UsbCarrier carrier;
    int handle = 0;
    std::unique_ptr<linktest::TestLink> link;
};

TEST_F(LinkOverUsb, StartsWithForceRouteSynchronisesInSixWritesAndEndsWithForceRouteOff)
{
    const Bytes start = {0xAF, 0x01, 0x01, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00};
    EXPECT_EQ(start, device.records().bytes);
    EXPECT_EQ((std::vector<size_t>{3, 2, 2, 2, 2, 2, 2}), carrier.outTransfers(handle));
    EXPECT_EQ(nullptr, aLink_GetPacket(link->id()));   // the late address answers are gone

    expectEcho(echoData(1));
    EXPECT_EQ(aErrNone, link->destroy());
    Bytes bytes = device.records().bytes;
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ((Bytes{0xAF, 0x01, 0x00}), Bytes(bytes.end() - 3, bytes.end()));
    EXPECT_EQ((Bytes{1, 0}), device.records().forceRoutes);
    EXPECT_EQ(3u, carrier.outTransfers(handle).back());
}

TEST_F(LinkOverUsb, CarriesPacketsBothWaysInOrder)
{
    for (uint8_t i = 0; i < 50; ++i) expectEcho(echoData(i));

    // Sent by the device on its own, between the host's packets.
    device.send(sim::Packet{kDevice, {0x49, 0x01, 0x02}});
    aPacket* unasked = aLink_AwaitPacket(link->id(), 1000);
    ASSERT_NE(nullptr, unasked);
    EXPECT_EQ((Bytes{0x49, 0x01, 0x02}), dataOf(unasked));
    aPacket_Destroy(&unasked);

    // Many queued at once come back whole and in order.
    for (uint8_t i = 0; i < 40; ++i) {
        Bytes data = echoData(i);
        aPacket* packet = aPacket_CreateWithData(kDevice, uint8_t(data.size()), data.data());
        ASSERT_EQ(aErrNone, aLink_PutPacket(link->id(), packet));
        aPacket_Destroy(&packet);
    }
    for (uint8_t i = 0; i < 40; ++i) {
        aPacket* reply = aLink_AwaitPacket(link->id(), 1000);
        ASSERT_NE(nullptr, reply) << int(i);
        EXPECT_EQ(echoData(i), dataOf(reply)) << int(i);
        aPacket_Destroy(&reply);
    }
}

TEST_F(LinkOverUsb, AnswersHeartbeatsWithoutQueueingThem)
{
    device.sendHeartbeat(0);
    device.sendHeartbeat(1);
    EXPECT_TRUE(device.waitFor([](const sim::Records& r) { return r.heartbeatReplies.size() >= 2; }, 2000));
    EXPECT_EQ((Bytes{2, 3}), device.records().heartbeatReplies);
    expectEcho(echoData(7));                       // the heartbeats were not queued before it
    EXPECT_EQ(nullptr, aLink_GetPacket(link->id()));
}

} // namespace
