// Checks shared by the tests of link creation: a packet round trip through the
// simulated device's echo, the link's status, and what the device saw last.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aPacket.h"
#include "tests/sim/device_model.h"

namespace linkcreate {

// Sends [address] 23 tag through the link and waits for the device's echo.
inline ::testing::AssertionResult echoes(aLinkId id, uint8_t tag, uint8_t address = sim::DeviceConfig{}.address)
{
    const uint8_t data[] = {sim::kEchoCommand, tag};
    aPacket* out = aPacket_CreateWithData(address, sizeof data, data);
    aErr put = aLink_PutPacket(id, out);
    aPacket_Destroy(&out);
    if (put != aErrNone)
        return ::testing::AssertionFailure() << "put answered " << put;
    aPacket* back = aLink_AwaitPacket(id, 2000);
    if (!back)
        return ::testing::AssertionFailure() << "no echo";
    bool same = back->address == address && back->length == sizeof data && back->data[0] == data[0]
        && back->data[1] == tag;
    aPacket_Destroy(&back);
    if (!same)
        return ::testing::AssertionFailure() << "another packet came back";
    return ::testing::AssertionSuccess();
}

// Whether the link's status becomes status within timeoutMs.
inline bool reachesStatus(aLinkId id, aLinkStatus status, int timeoutMs)
{
    for (int waited = 0; aLink_GetStatus(id) != status; waited += 10) {
        if (waited >= timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Whether the device received force route off exactly once, as its last packet.
inline ::testing::AssertionResult endedWithForceRouteOff(const sim::DeviceModel& device)
{
    const sim::Packet off{sim::kForceRoute, {0}};
    bool ended = device.waitFor([&](const sim::Records& r) { return !r.packets.empty() && r.packets.back() == off; },
                                2000);
    sim::Records records = device.records();
    size_t offs = 0;
    for (const sim::Packet& packet : records.packets)
        offs += packet == off;
    if (ended && offs == 1)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << offs << " force route off; packets:";
    for (const sim::Packet& packet : records.packets)
        failure << ' ' << packet;
    return failure;
}

} // namespace linkcreate
