// test-labels: unit threaded
// Time: the wall clock against the system's, the monotonic clock, and sleeps
// that last as long as asked, past a second and through signals.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <pthread.h>

#include "platform/aThread.h"
#include "platform/aTime.h"

namespace {

TEST(Time, WallClockMillisecondsFollowTheSystemClock)
{
    // time() reads a coarse clock that may lag the precise one by a few
    // milliseconds around a second's turn; compare with the precise clock.
    auto wallMs = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    };
    uint64_t before = wallMs();
    uint64_t ticks = aTime_GetMSTicks();
    uint64_t after = wallMs();
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, after);
}

TEST(Time, ShortSleepsLastAtLeastTheirTime)
{
    uint64_t start = aTime_GetMonotonicMSTicks();
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 50u);
    start = aTime_GetMonotonicMSTicks();
    EXPECT_EQ(aTime_MSSleep(25), aErrNone);
    uint64_t slept = aTime_GetMonotonicMSTicks() - start;
    EXPECT_GE(slept, 25u);
}

// Longer than one piece of sleep, which never reaches a second.
TEST(Time, SleepsPastOneSecondAreWhole)
{
    uint64_t start = aTime_GetMonotonicMSTicks();
    EXPECT_EQ(aTime_MSSleep(1100), aErrNone);
    EXPECT_GE(aTime_GetMonotonicMSTicks() - start, 1100u);
}

void ignoreSignal(int) {}

struct Interrupter {
    pthread_t target;
    std::atomic<bool> done{false};
};

void* interrupt(void* argument)
{
    Interrupter* interrupter = (Interrupter*)argument;
    while (!interrupter->done) {
        pthread_kill(interrupter->target, SIGUSR1);
        aTime_MSSleep(5);
    }
    return NULL;
}

TEST(Time, SignalsDoNotShortenASleep)
{
    struct sigaction action = {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: the sleep is woken
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    Interrupter interrupter;
    interrupter.target = pthread_self();
    aThread* thread = aThread_Create(interrupt, &interrupter);
    ASSERT_NE(thread, nullptr);
    uint64_t start = aTime_GetMonotonicMSTicks();
    EXPECT_EQ(aTime_MSSleep(60), aErrNone);
    uint64_t slept = aTime_GetMonotonicMSTicks() - start;
    interrupter.done = true;
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    sigaction(SIGUSR1, &previous, NULL);
    EXPECT_GE(slept, 60u);
}

TEST(Time, MonotonicClockNeverGoesBack)
{
    uint64_t last = aTime_GetMonotonicMSTicks();
    EXPECT_GT(last, 0u);
    for (int i = 0; i < 1000; i++) {
        uint64_t now = aTime_GetMonotonicMSTicks();
        ASSERT_GE(now, last);
        last = now;
    }
}

} // namespace
