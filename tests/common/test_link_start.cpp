// test-labels: integration threaded
// Starting a link waits for its two threads, not for a pause: it returns as
// soon as both run, and gives up after its bound when one never does. In
// this program the system's sleep notes the sleeps of the starting thread.
#include "common/aLink.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>

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
