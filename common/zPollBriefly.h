// Waits on a messaging poller the way a busy request path wants: a thread
// that has just had input looks again for a short while before it sleeps, so
// that the reply following a request finds it awake.
#pragma once

#include <czmq.h>

struct zPollBriefly {
    // The wait of zpoller_wait with timeoutMs; after a wait that brought
    // input, it first looks again without sleeping for a short while. The
    // poller and errno tell why a wait without input ended, as after
    // zpoller_wait.
    void* wait(zpoller_t* poller, int timeoutMs);

    bool hadInput = false;
};
