// Spinning before sleeping on a messaging poller.
#include "common/zPollBriefly.h"

#include <sched.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// How long a thread that has just had input keeps looking without sleeping.
// A sleeping thread woken by a hand-over costs tens of microseconds, more
// than the hop itself; the window covers a request's round trip through a
// server, so that the reply finds the thread awake, and a thread that saw no
// input for that long sleeps as before.
constexpr auto kSpinWindow = std::chrono::microseconds(300);

} // namespace

void* zPollBriefly::wait(zpoller_t* poller, int timeoutMs)
{
    if (hadInput) {
        const Clock::time_point spinEnd = Clock::now() + kSpinWindow;
        while (Clock::now() < spinEnd) {
            if (void* which = zpoller_wait(poller, 0)) return which;
            // Interrupted or shut down: the caller is told as after any wait.
            if (zpoller_terminated(poller)) {
                hadInput = false;
                return nullptr;
            }
            // A thread that is ready to run on this core goes first: on a busy
            // machine the look costs the others nothing.
            sched_yield();
        }
    }
    void* which = zpoller_wait(poller, timeoutMs);
    hadInput = which != nullptr;
    return which;
}
