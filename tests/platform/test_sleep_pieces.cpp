// Sleeping in pieces: a sleep goes to the system in pieces of less than a
// second each, and an interrupted piece sleeps what is left of it. In this
// program the system's sleep records what it is asked for instead of sleeping.
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/aTime.h"

namespace {

std::vector<long> gPieces;          // microseconds asked for, one per call
long gInterruptLeavingUs = -1;      // >= 0: the next call is interrupted with this much left

} // namespace

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    // What the system refuses: a piece of a second or more given in nanoseconds.
    if (request->tv_sec < 0 || request->tv_nsec < 0 || request->tv_nsec >= 1000000000L) {
        errno = EINVAL;
        return -1;
    }
    gPieces.push_back(request->tv_sec * 1000000L + request->tv_nsec / 1000);
    if (gInterruptLeavingUs >= 0) {
        if (remaining) *remaining = {0, gInterruptLeavingUs * 1000};
        gInterruptLeavingUs = -1;
        errno = EINTR;
        return -1;
    }
    return 0;
}

namespace {

TEST(SleepPieces, LongSleepsArePiecesOfLessThanASecond)
{
    struct Case {
        uint64_t milliseconds;
        std::vector<long> pieces;
    };
    const Case cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
    };
    for (const Case& c : cases) {
        gPieces.clear();
        EXPECT_EQ(aTime_MSSleep(c.milliseconds), aErrNone);
        EXPECT_EQ(gPieces, c.pieces) << c.milliseconds << " ms";
    }
}

TEST(SleepPieces, AnInterruptedPieceSleepsWhatIsLeft)
{
    gPieces.clear();
    gInterruptLeavingUs = 400;
    EXPECT_EQ(aTime_MSSleep(1), aErrNone);
    EXPECT_EQ(gPieces, (std::vector<long>{1000, 400}));
}

} // namespace
