// test-labels: integration threaded netns
// Creations and destroys of links to the same device from several threads at
// once, over TCP on 127.0.0.1 in the test's own network namespace: the use
// count stays right, the last destroy alone tears the link down, and no
// reuse takes an entry that a last destroy is freeing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aLinkTable.h"
#include "tests/common/link_create_checks.h"
#include "tests/sim/device_model.h"
#include "tests/sim/private_network.h"
#include "tests/sim/tcp_carrier.h"

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint32_t kSerial = 0x5EED0001;
constexpr int kThreads = 8;

// Runs body(thread index) on kThreads threads at once.
template <typename Body>
void onThreads(Body body)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            body(t);
        });
    go = true;
    for (std::thread& thread : threads)
        thread.join();
}

TEST(LinkCreateThreads, HoldersComingAndGoingShareTheOneLink)
{
    sim::DeviceModel device;
    sim::TcpCarrier carrier(device);
    aLinkId held = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, held);

    std::atomic<int> strays{0};
    std::atomic<int> failedDestroys{0};
    onThreads([&](int) {
        for (int i = 0; i < 300; i++) {
            aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
            strays += id != held;
            failedDestroys += aLink_Destroy(&id) != aErrNone;
        }
    });
    EXPECT_EQ(0, strays.load());
    EXPECT_EQ(0, failedDestroys.load());

    const aLinkEntry* entry = sLookupEntryByID(held);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(1, entry->useCount);
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(held));
    EXPECT_TRUE(linkcreate::echoes(held, 1));
    EXPECT_EQ(1u, carrier.connections());
    EXPECT_EQ(aErrNone, aLink_Destroy(&held));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
}

// Each thread makes and drops its own use, so the last use is given back
// again and again while other threads look for the link to reuse it.
TEST(LinkCreateThreads, RacingTheLastDestroyLeavesNoStrayEntry)
{
    sim::DeviceModel device;
    sim::TcpCarrier carrier(device);

    std::atomic<int> made{0};
    std::atomic<int> failedDestroys{0};
    std::atomic<int> notRunning{0};
    onThreads([&](int) {
        for (int i = 0; i < 40; i++) {
            aLinkId id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
            if (!id)
                continue;
            made++;
            notRunning += aLink_GetStatus(id) != kLinkStatusRunning;
            failedDestroys += aLink_Destroy(&id) != aErrNone;
        }
    });
    EXPECT_GT(made.load(), 0);
    EXPECT_EQ(0, notRunning.load());
    EXPECT_EQ(0, failedDestroys.load());
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
}

// Holders of one link may reset it at the same time (each after a failure of
// its own): the link must come out running, with one stream.
TEST(LinkCreateThreads, ResetsAtOnceLeaveOneRunningLink)
{
    sim::DeviceModel device;
    sim::TcpCarrier carrier(device);
    aLinkId ids[kThreads] = {};
    for (aLinkId& id : ids)
        id = aLink_CreateTCPIP(kSerial, kLoopback, carrier.port());
    ASSERT_NE(0u, ids[0]);

    std::atomic<int> failed{0};
    onThreads([&](int t) {
        for (int i = 0; i < 3; i++)
            failed += aLink_Reset(ids[t]) != aErrNone;
    });
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(ids[0]));
    EXPECT_TRUE(linkcreate::echoes(ids[0], 1));
    for (aLinkId& id : ids)
        EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
}

} // namespace
