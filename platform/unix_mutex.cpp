// Named mutexes over POSIX mutexes with default attributes.
#include "platform/aMutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
};

aMutex* aMutex_Create(const char* name)
{
    if (!name) name = "";
    size_t length = strnlen(name, aMUTEX_MAX_NAME + 1);
    if (length > aMUTEX_MAX_NAME) return NULL;
    aMutex* mutex = (aMutex*)malloc(sizeof(aMutex));
    if (!mutex) return NULL;
    if (pthread_mutex_init(&mutex->mutex, NULL) != 0) {
        free(mutex);
        return NULL;
    }
    memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    return mutex;
}

const char* aMutex_Identifier(aMutex* mutex)
{
    return mutex ? mutex->name : NULL;
}

aErr aMutex_Lock(aMutex* mutex)
{
    if (!mutex) return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutex* mutex)
{
    if (!mutex) return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutex* mutex)
{
    if (!mutex) return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutex** mutex)
{
    if (!mutex || !*mutex) return aErrParam;
    int result = pthread_mutex_destroy(&(*mutex)->mutex);
    free(*mutex);
    *mutex = NULL;
    switch (result) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    case EAGAIN: return aErrResource;
    default: return aErrUnknown;
    }
}
