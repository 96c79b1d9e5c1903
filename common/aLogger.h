// A small worker that calls a callback over and over on a thread of its own,
// handing it a log file opened for appending; the callback paces itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/aError.h"
#include "platform/aFile.h"
#include "platform/aThread.h"

#define aVALIDLOGGER 0xDEED

typedef void (*aLoggerProc)(aFile* file, int argument);

struct aLogger {
    int argument;        // passed to the callback on every call
    aLoggerProc callback;
    aFile* file;         // opened for appending, unbuffered
    aThread* thread;     // the logger thread while it runs
    std::atomic<bool> running;
    uint16_t check;
};

// A logger that is not running, over the file (created when missing); NULL
// when the file cannot be opened or memory runs out.
aLogger* aLogger_Create(int argument, aLoggerProc callback, const char* path);
// Starts the logger thread; aErrNone when it runs already. aErrParam for an
// invalid logger, aErrResource when the thread cannot be made.
aErr aLogger_Enable(aLogger* logger);
// Stops the logger thread and waits for its end; aErrNone when it does not
// run, and when called from the callback (where nothing is done). aErrParam
// for an invalid logger, aErrUnknown when the thread cannot be joined.
aErr aLogger_Disable(aLogger* logger);
// Stops the logger and closes its file, frees it and clears *logger; nothing
// for an invalid logger. When the thread cannot be joined, or when called
// from the callback (aErrBusy), the error is returned and the logger, with
// its file, is kept.
aErr aLogger_Destroy(aLogger** logger);
