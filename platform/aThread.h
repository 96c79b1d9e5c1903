// Threads of the device library: start a function on its own thread and wait
// for its end.
#pragma once

#include "common/aError.h"

typedef void* (*aThreadProc)(void* argument);

typedef struct aThread aThread;

// Starts proc(argument) on a new thread; NULL when it cannot be started.
aThread* aThread_Create(aThreadProc proc, void* argument);

// Waits for the thread to end, frees it and sets *thread to NULL. Returns 0
// or the system's error number (EINVAL for a NULL handle); never call it from
// the thread that it waits for.
int aThread_Destroy(aThread** thread);

// Lets other threads run: sleeps the caller for 5 microseconds.
aErr aThread_Yield(void);
