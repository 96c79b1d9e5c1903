// Named mutexes of the device library: plain, non-recursive POSIX mutexes.
#pragma once

#include "common/aError.h"

// Longest mutex name, in characters.
#define aMUTEX_MAX_NAME 255

typedef struct aMutex aMutex;

// A new unlocked mutex, or NULL when the name (NULL means empty) is too long
// or the mutex cannot be made.
aMutex* aMutex_Create(const char* name);

// The mutex's name; NULL for a NULL mutex.
const char* aMutex_Identifier(aMutex* mutex);

// Blocks until the mutex is held.
aErr aMutex_Lock(aMutex* mutex);

// Takes the mutex only when it is free; aErrBusy when it is held.
aErr aMutex_TryLock(aMutex* mutex);

aErr aMutex_Unlock(aMutex* mutex);

// Destroys an unlocked mutex and sets *mutex to NULL.
aErr aMutex_Destroy(aMutex** mutex);
