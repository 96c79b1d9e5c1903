// test-labels: integration threaded
// Starting a link waits for its two threads, not for a pause: it returns as
// soon as both run, and gives up after its bound when one never does. In
// this program the system's sleep notes the sleeps of the starting thread.
#include "common/aLink.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <string>

#include "platform/aTime.h"
#include "tests/common/link_harness.h"

namespace {

std::atomic<bool> gCounting{false};
pthread_t gStarter;
std::atomic<int> gStarterSleeps{0};

} // namespace

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    if (gCounting && pthread_equal(pthread_self(), gStarter))
        gStarterSleeps++;
    return static_cast<int>(syscall(SYS_nanosleep, request, remaining));
}

namespace {

using linktest::Carrier;
using linktest::SimDevice;
using linktest::TestLink;
using Clock = std::chrono::steady_clock;

// The starting thread's sleeps during one start, and its result.
aErr countedStart(aLinkId id, int* sleeps)
{
    gStarter = pthread_self();
    gStarterSleeps = 0;
    gCounting = true;
    aErr result = aLink_Start(id);
    gCounting = false;
    *sleeps = gStarterSleeps;
    return result;
}

TEST(LinkStart, ReturnsOnceBothThreadsRunWithoutSleeping)
{
    for (int round = 0; round < 10; round++) {
        SimDevice sim(Carrier::Socketpair);
        TestLink link(sim.openStream());
        int sleeps = -1;
        ASSERT_EQ(countedStart(link.id(), &sleeps), aErrNone);
        EXPECT_EQ(sleeps, 0) << "round " << round;
        aLink* record = link.record();
        EXPECT_TRUE(record->readerReady && record->writerReady);
        EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusRunning);
        EXPECT_TRUE(sim.device.waitFor([](const sim::Records& r) { return r.forceRoutes.size() == 1; }, 2000));
        EXPECT_EQ(link.destroy(), aErrNone);
    }
}

// A stray first byte (an odd address, as from a device that was already
// sending) puts the link out of step as it starts; the device's answers to
// the address queries bring it back to running, and that wakes the start,
// which would otherwise see it only at its two-second bound.
TEST(LinkStart, WakesWhenTheLinkRunsAgainAfterAStrayFirstByte)
{
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        SimDevice sim(Carrier::Socketpair);
        aStream* stream = sim.openStream();
        TestLink link(stream);
        sim.device.injectToHost({0x03});
        ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
        const auto start = Clock::now();
        ASSERT_EQ(aLink_Start(link.id()), aErrNone);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        // Far below the bound, however loaded the machine: the start was woken.
        EXPECT_LT(took.count(), 1000) << "ms; the start waits 2000 ms at most";
        const sim::Packet query{0xAD, {}};
        EXPECT_TRUE(sim.device.waitFor(
            [&](const sim::Records& r) { return std::count(r.packets.begin(), r.packets.end(), query) == 6; }, 2000))
            << "the stray byte did not put the link out of step";
        EXPECT_EQ(link.destroy(), aErrNone);
    }
}

// A reader that runs but never reports ready.
void* sSilentReader(void* argument)
{
    auto* link = static_cast<aLink*>(argument);
    while (link->running)
        aTime_MSSleep(1);
    return nullptr;
}

TEST(LinkStart, GivesUpAfterTwoSecondsWhenAThreadNeverRuns)
{
    SimDevice sim(Carrier::Socketpair);
    TestLink link(sim.openStream());
    link.record()->readerProc = sSilentReader;
    const auto start = Clock::now();
    EXPECT_EQ(aLink_Start(link.id()), aErrIndexRange);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(link.destroy(), aErrNone);
}

} // namespace
