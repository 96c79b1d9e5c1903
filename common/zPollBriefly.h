// Waits on a messaging poller the way a busy request path wants: a thread
// that has just had input looks again for a short while before it sleeps, so
// that the reply following a request finds it awake.
#pragma once

#include <czmq.h>

#include <chrono>

struct zPollBriefly {
    // The wait of zpoller_wait with timeoutMs, looking without sleeping first
    // while the last input is recent; the poller and errno tell why a wait
    // without input ended, as after zpoller_wait.
    void* wait(zpoller_t* poller, int timeoutMs);
    // Marks input just taken: the next waits spin.
    void took() { lastInput = std::chrono::steady_clock::now(); }

    std::chrono::steady_clock::time_point lastInput{};
};
