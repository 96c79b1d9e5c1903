// Result codes of the device library: every operation answers one of these,
// 0 meaning success; each code has a symbolic name and a description.
#pragma once

#include <cstdint>

typedef enum : uint32_t {
    aErrNone = 0,
    aErrMemory,
    aErrParam,
    aErrNotFound,
    aErrFileNameLength,
    aErrBusy,
    aErrIO,
    aErrMode,
    aErrWrite,
    aErrRead,
    aErrEOF,
    aErrNotReady,
    aErrPermission,
    aErrRange,
    aErrSize,
    aErrOverrun,
    aErrParse,
    aErrConfiguration,
    aErrTimeout,
    aErrInitialization,
    aErrVersion,
    aErrUnimplemented,
    aErrDuplicate,
    aErrCancel,
    aErrPacket,
    aErrConnection,
    aErrIndexRange,
    aErrShortCommand,
    aErrInvalidEntity,
    aErrInvalidOption,
    aErrResource,
    aErrMedia,
    aErrAsyncReturn,
    aErrStreamStale,
    aErrUnknown
} aErr;

// The code's symbolic name, such as "aErrTimeout"; codes above aErrUnknown read as it.
const char* aError_GetErrorText(uint32_t code);
// The code's description, such as "Timeout occurred".
const char* aError_GetErrorDescription(uint32_t code);
