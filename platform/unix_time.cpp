// Millisecond time over the system clocks.
#include "platform/aTime.h"

#include <cerrno>
#include <sys/time.h>
#include <time.h>

// No single sleep reaches one second.
#define aTIME_MAX_SLEEP_US 999999ULL

uint64_t aTime_GetMSTicks(void)
{
    struct timeval now;
    if (gettimeofday(&now, NULL) != 0) return 0;
    uint64_t ticks = (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_usec / 1000;
    return ticks == UINT64_MAX ? 0 : ticks;
}

uint64_t aTime_GetMonotonicMSTicks(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

// Sleeps the whole piece, also when a signal wakes the thread early.
static void sSleepMicroseconds(uint64_t microseconds)
{
    struct timespec left = {0, (long)(microseconds * 1000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

aErr aTime_MSSleep(uint64_t milliseconds)
{
    uint64_t left = milliseconds > UINT64_MAX / 1000 ? UINT64_MAX : milliseconds * 1000;
    while (left > 0) {
        uint64_t piece = left < aTIME_MAX_SLEEP_US ? left : aTIME_MAX_SLEEP_US;
        sSleepMicroseconds(piece);
        left -= piece;
    }
    return aErrNone;
}
