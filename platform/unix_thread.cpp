// Threads over POSIX threads.
#include "platform/aThread.h"

#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <time.h>

struct aThread {
    pthread_t id;
};

aThread* aThread_Create(aThreadProc proc, void* argument)
{
    if (!proc) return NULL;
    aThread* thread = (aThread*)malloc(sizeof(aThread));
    if (!thread) return NULL;
    if (pthread_create(&thread->id, NULL, proc, argument) != 0) {
        free(thread);
        return NULL;
    }
    return thread;
}

int aThread_Destroy(aThread** thread)
{
    if (!thread || !*thread) return EINVAL;
    int result = pthread_join((*thread)->id, NULL);
    free(*thread);
    *thread = NULL;
    return result;
}

aErr aThread_Yield(void)
{
    const struct timespec pause = {0, 5000};
    nanosleep(&pause, NULL);
    return aErrNone;
}
