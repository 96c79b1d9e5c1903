// test-labels: unit threaded
// Threads and mutexes: names, exclusion between threads, try-lock against a
// holder on another thread, and the release of both.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/aMutex.h"
#include "platform/aThread.h"

namespace {

TEST(Mutex, NamesUpTo255Characters)
{
    std::string longest(aMUTEX_MAX_NAME, 'm');
    aMutex* named = aMutex_Create(longest.c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(aMutex_Identifier(named), longest);
    EXPECT_EQ(aMutex_Destroy(&named), aErrNone);
    EXPECT_EQ(named, nullptr);

    EXPECT_EQ(aMutex_Create(std::string(aMUTEX_MAX_NAME + 1, 'm').c_str()), nullptr);
    aMutex* unnamed = aMutex_Create(NULL);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

TEST(Mutex, NullHandlesAreRefused)
{
    aMutex* none = NULL;
    EXPECT_EQ(aMutex_Lock(NULL), aErrParam);
    EXPECT_EQ(aMutex_TryLock(NULL), aErrParam);
    EXPECT_EQ(aMutex_Unlock(NULL), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(aMutex_Destroy(NULL), aErrParam);
    EXPECT_EQ(aMutex_Identifier(NULL), nullptr);
}

struct Holder {
    aMutex* mutex;
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
};

void* holdUntilReleased(void* argument)
{
    Holder* holder = (Holder*)argument;
    aMutex_Lock(holder->mutex);
    holder->holding = true;
    while (!holder->release) aThread_Yield();
    aMutex_Unlock(holder->mutex);
    return NULL;
}

TEST(Mutex, TryLockIsBusyWhileAnotherThreadHolds)
{
    Holder holder;
    holder.mutex = aMutex_Create("held");
    ASSERT_NE(holder.mutex, nullptr);
    aThread* thread = aThread_Create(holdUntilReleased, &holder);
    ASSERT_NE(thread, nullptr);
    while (!holder.holding) aThread_Yield();
    EXPECT_EQ(aMutex_TryLock(holder.mutex), aErrBusy);
    holder.release = true;
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(aMutex_TryLock(holder.mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(holder.mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&holder.mutex), aErrNone);
}

struct Counter {
    aMutex* mutex;
    long value = 0;
};

void* countUnderTheLock(void* argument)
{
    Counter* counter = (Counter*)argument;
    for (int i = 0; i < 10000; i++) {
        aMutex_Lock(counter->mutex);
        counter->value++;
        aMutex_Unlock(counter->mutex);
    }
    return argument;
}

TEST(Thread, ThreadsCountingUnderOneMutexLoseNothing)
{
    Counter counter;
    counter.mutex = aMutex_Create("counter");
    ASSERT_NE(counter.mutex, nullptr);
    aThread* threads[4];
    for (aThread*& thread : threads) {
        thread = aThread_Create(countUnderTheLock, &counter);
        ASSERT_NE(thread, nullptr);
    }
    for (aThread*& thread : threads) {
        EXPECT_EQ(aThread_Destroy(&thread), 0);
        EXPECT_EQ(thread, nullptr);
    }
    EXPECT_EQ(counter.value, 40000);
    EXPECT_EQ(aMutex_Destroy(&counter.mutex), aErrNone);
}

TEST(Thread, NothingToStartOrJoin)
{
    EXPECT_EQ(aThread_Create(NULL, NULL), nullptr);
    aThread* none = NULL;
    EXPECT_EQ(aThread_Destroy(&none), EINVAL);
    EXPECT_EQ(aThread_Destroy(NULL), EINVAL);
    EXPECT_EQ(aThread_Yield(), aErrNone);
}

} // namespace
