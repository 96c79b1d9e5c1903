// Private networks for test programs: the GoogleTest environment that keeps a
// whole program off every network but its own loop-back, and the devices'
// network of the discovery tests, a veth pair into a namespace of their own.
#pragma once

#include "tests/sim/netns.h"
#include "tests/sim/server_answerers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace sim {

// Registered with ::testing::AddGlobalTestEnvironment, before any test starts a thread.
class PrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(enterPrivateNetwork(&why)) << why;
    }
};

// Enters a private network holding the host end th0 (10.77.0.1) of a veth pair
// whose other end (10.77.0.2) is moved into a new namespace, *devices, where
// the devices serve. False with a reason when any of it fails, or when an
// interface besides lo and th0 is present: discovery multicasts.
inline bool openDeviceNetwork(std::unique_ptr<NetworkHost>* devices, std::string* why)
{
    if (!enterPrivateNetwork(why)) return false;
    *devices = std::make_unique<NetworkHost>();
    if (!(*devices)->ok()) {
        *why = (*devices)->error();
        return false;
    }
    if (!addVethPair("th0", "10.77.0.1/24", "td0", "", why) || !(*devices)->adopt("td0", "10.77.0.2/24", why) ||
        !waitUntilUp("th0", why))
        return false;
    if (!onlyInterfaces({"th0"}, nullptr)) {
        *why = "a network interface this test did not make is present: not multicasting";
        return false;
    }
    return true;
}

} // namespace sim
