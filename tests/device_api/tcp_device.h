// A simulated device behind TCP on 127.0.0.1 of the test's own network
// namespace, with UEI entities and module information, and the link
// specifier and configuration (link sharing off) that reach it.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "device_api/Link.h"
#include "tests/sim/device_model.h"
#include "tests/sim/module_info.h"
#include "tests/sim/private_network.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/uei_entities.h"

namespace apitest {

using sim::PrivateNetwork;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint32_t kBuild = 0x01020304;

inline aVorneConfig unshared()
{
    aVorneConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

// One echo round trip with module 2 through the link.
inline ::testing::AssertionResult echoes(Zentrova::Tessaline::Link& link, uint8_t tag)
{
    aErr sent = link.sendPacket(0x02, sim::kEchoCommand, 1, &tag);
    if (sent != aErrNone) return ::testing::AssertionFailure() << "send answered " << sent;
    const uint8_t match[] = {sim::kEchoCommand, tag};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAX_DATA];
    aErr got = link.receivePacket(0x02, match, &length, reply);
    if (got != aErrNone) return ::testing::AssertionFailure() << "receive answered " << got;
    return ::testing::AssertionSuccess();
}

// Members are destroyed in reverse: the carrier stops feeding the device
// before its entities go.
class TcpDevice : public ::testing::Test {
protected:
    explicit TcpDevice(uint8_t address = 0x02) : device(sim::DeviceConfig{address, sim::kEchoCommand, kSerial}) {}

    linkSpec spec() const
    {
        linkSpec s{};
        s.type = TCPIP;
        s.serialNumber = kSerial;
        s.moduleAddress = device.config().address;
        s.ipAddress = htonl(INADDR_LOOPBACK);
        s.tcpPort = carrier.port();
        return s;
    }

    // Waits for the device to have received the packet.
    ::testing::AssertionResult received(const sim::Packet& packet, int timeoutMs = 2000)
    {
        bool seen = device.waitFor(
            [&](const sim::Records& r) {
                for (const sim::Packet& p : r.packets)
                    if (p == packet) return true;
                return false;
            },
            timeoutMs);
        if (seen) return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure();
        failure << packet << " not received; packets:";
        for (const sim::Packet& p : device.records().packets) failure << ' ' << p;
        return failure;
    }

    sim::DeviceModel device;
    sim::UeiEntities entities{device};
    sim::ModuleInfo info{device, entities, kBuild};
    sim::TcpCarrier carrier{device};
};

} // namespace apitest
