#include "common/aLogger.h"

#include <new>

namespace {

// The logger whose thread this is, on a logger thread.
thread_local const aLogger* sOwnLogger = nullptr;

bool sValidLogger(const aLogger* logger)
{
    return logger && logger->check == aVALIDLOGGER;
}

void* sLoggerProcess(void* argument)
{
    auto* logger = static_cast<aLogger*>(argument);
    sOwnLogger = logger;
    while (logger->running)
        logger->callback(logger->file, logger->argument);
    return nullptr;
}

} // namespace

aLogger* aLogger_Create(int argument, aLoggerProc callback, const char* path)
{
    if (!callback)
        return nullptr;
    aFile* file = aFile_Open(path, aFileModeAppend);
    if (!file)
        return nullptr;
    auto* logger = new (std::nothrow) aLogger{};
    if (!logger) {
        aFile_Close(&file);
        return nullptr;
    }
    aFile_SetUnbuffered(file);
    logger->argument = argument;
    logger->callback = callback;
    logger->file = file;
    logger->thread = nullptr;
    logger->running = false;
    logger->check = aVALIDLOGGER;
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!sValidLogger(logger))
        return aErrParam;
    if (logger->running)
        return aErrNone;
    logger->running = true;
    logger->thread = aThread_Create(sLoggerProcess, logger);
    if (!logger->thread) {
        logger->running = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!sValidLogger(logger))
        return aErrParam;
    if (!logger->running || sOwnLogger == logger)
        return aErrNone;
    logger->running = false;
    return aThread_Destroy(&logger->thread) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger)
{
    if (!logger || !sValidLogger(*logger))
        return aErrNone;
    // The callback's own logger cannot go under it.
    if (sOwnLogger == *logger)
        return aErrBusy;
    aErr stopped = aLogger_Disable(*logger);
    if (stopped != aErrNone)
        return stopped;
    aFile_Close(&(*logger)->file);
    (*logger)->check = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}
