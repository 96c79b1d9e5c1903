#include "common/aPacketFifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

// How long a waiter spins before it sleeps: about one round trip through a
// link-sharing server, so that a reply that far off finds the waiter awake.
// Past the first kHardSpin it lets any thread ready on its core go first at
// each look, so that on a busy machine it takes no time from the others.
constexpr auto kSpin = std::chrono::microseconds(300);
constexpr auto kHardSpin = std::chrono::microseconds(50);

// Eases the core while spinning.
inline void sPause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// A queued packet with the sequence number its put gave it.
class SerialPacket {
public:
    SerialPacket(int64_t id, aPacket* packet) : mId(id), mPacket(packet) {}

    const aPacket* getPacket() const { return mPacket.get(); }
    int64_t getId() const { return mId; }

private:
    int64_t mId;
    std::unique_ptr<aPacket, aPacketDeleter> mPacket;
};

class packetFifo {
public:
    size_t length();
    aErr put(const aPacket* packet);
    aPacket* get();
    aPacket* await(uint64_t msTimeout);
    aPacket* getFirst(aPacketFilterProc filter, const void* reference);
    aPacket* awaitFirst(aPacketFilterProc filter, const void* reference, uint64_t msTimeout, bool* woken);
    size_t drain(aPacketFilterProc filter, const void* reference);
    // Empties the queue for good and wakes every waiter.
    void invalidate();
    // Ends the current or the next await at once.
    void wake();

private:
    using Queue = std::deque<SerialPacket>;
    using Lock = std::unique_lock<std::mutex>;

    // Each take hands out a copy; when none can be made the packet stays queued.
    aPacket* take(Queue::iterator element);
    void clearAndSyncWindow();
    void eraseAndSyncWindow(Queue::iterator first, Queue::iterator last);
    template <class Ready>
    void waitFor(Lock& lock, uint64_t msTimeout, Ready ready);

    Queue mQueue;
    std::condition_variable mCondition;
    std::mutex mMutex;
    std::atomic<bool> mValid{true};
    // A wake-up that no await has taken yet; under mMutex.
    bool mWoken = false;
    // Counts puts, wake-ups and the invalidation, for a spinning waiter to watch.
    std::atomic<uint64_t> mChanges{0};
    // Sequence number of the front packet, or of the next put when empty.
    std::atomic<int64_t> mWindowStart{0};
    std::atomic<int64_t> mNextId{0};
};

size_t packetFifo::length()
{
    Lock lock(mMutex);
    return mQueue.size();
}

aErr packetFifo::put(const aPacket* packet)
{
    Lock lock(mMutex);
    if (!mValid) return aErrParam;
    const int64_t id = mNextId++;
    aPacket* copy = aPacket_Copy(packet);
    if (!copy) return aErrParam;
    try {
        mQueue.emplace_back(id, copy);
    } catch (const std::bad_alloc&) {
        aPacket_Destroy(&copy);
        return aErrResource;
    }
    mWindowStart = mQueue.front().getId();
    if (mQueue.size() > aPACKETFIFO_MAX_QUEUED) {
        clearAndSyncWindow();
    } else {
        mChanges++;
        mCondition.notify_all();
    }
    return aErrNone;
}

aPacket* packetFifo::get()
{
    Lock lock(mMutex);
    return mQueue.empty() ? nullptr : take(mQueue.begin());
}

aPacket* packetFifo::await(uint64_t msTimeout)
{
    Lock lock(mMutex);
    waitFor(lock, msTimeout, [this] { return !mQueue.empty() || !mValid || mWoken; });
    mWoken = false;
    return mQueue.empty() ? nullptr : take(mQueue.begin());
}

aPacket* packetFifo::getFirst(aPacketFilterProc filter, const void* reference)
{
    Lock lock(mMutex);
    const auto match = std::find_if(mQueue.begin(), mQueue.end(), [&](const SerialPacket& element) {
        return filter(element.getPacket(), reference);
    });
    return match == mQueue.end() ? nullptr : take(match);
}

aPacket* packetFifo::awaitFirst(aPacketFilterProc filter, const void* reference, uint64_t msTimeout, bool* woken)
{
    Lock lock(mMutex);
    int64_t lastExamined = mWindowStart - 1;
    bool matched = false;
    Queue::iterator match;
    // Offers the filter only what arrived since the previous scan; ids grow
    // from front to back, so the first new element is found by bisection.
    const auto scan = [&] {
        auto element = std::upper_bound(mQueue.begin(), mQueue.end(), lastExamined,
                                        [](int64_t id, const SerialPacket& e) { return id < e.getId(); });
        for (; element != mQueue.end(); ++element) {
            lastExamined = element->getId();
            if (filter(element->getPacket(), reference)) {
                match = element;
                return true;
            }
        }
        return false;
    };
    waitFor(lock, msTimeout, [&] { return (matched = scan()) || !mValid || mWoken; });
    if (woken) *woken = mWoken && !matched;
    mWoken = false;
    return matched ? take(match) : nullptr;
}

size_t packetFifo::drain(aPacketFilterProc filter, const void* reference)
{
    Lock lock(mMutex);
    const size_t before = mQueue.size();
    // Kept elements move up in order over the removed ones, whose packets are freed.
    const auto removed = std::remove_if(mQueue.begin(), mQueue.end(), [&](const SerialPacket& element) {
        return filter(element.getPacket(), reference);
    });
    eraseAndSyncWindow(removed, mQueue.end());
    return before - mQueue.size();
}

void packetFifo::invalidate()
{
    Lock lock(mMutex);
    clearAndSyncWindow();
    mValid = false;
    mChanges++;
    mCondition.notify_all();
}

void packetFifo::wake()
{
    Lock lock(mMutex);
    mWoken = true;
    mChanges++;
    mCondition.notify_all();
}

aPacket* packetFifo::take(Queue::iterator element)
{
    aPacket* copy = aPacket_Copy(element->getPacket());
    if (copy) eraseAndSyncWindow(element, std::next(element));
    return copy;
}

void packetFifo::clearAndSyncWindow()
{
    mQueue.clear();
    mWindowStart = mNextId.load();
}

void packetFifo::eraseAndSyncWindow(Queue::iterator first, Queue::iterator last)
{
    mQueue.erase(first, last);
    mWindowStart = mQueue.empty() ? mNextId.load() : mQueue.front().getId();
}

// Waits until ready() holds or the time-out passes; at the deadline ready()
// is asked once more. A time-out too long for the clock waits without one.
// The answer to a request often comes within microseconds, sooner than a
// sleeping thread wakes up: the waiter first spins briefly, unlocked,
// watching for a change, and only then sleeps. Only a thread that awaits a
// packet spins, so an idle FIFO costs nothing.
template <class Ready>
void packetFifo::waitFor(Lock& lock, uint64_t msTimeout, Ready ready)
{
    if (ready() || msTimeout == 0) return;
    const Clock::time_point spinStart = Clock::now();
    const Clock::time_point hardEnd = spinStart + kHardSpin;
    const Clock::time_point spinEnd = spinStart + kSpin;
    for (Clock::time_point now = spinStart; now < spinEnd; now = Clock::now()) {
        const uint64_t seen = mChanges;
        lock.unlock();
        for (; mChanges == seen && now < spinEnd; now = Clock::now()) {
            if (now < hardEnd)
                sPause();
            else
                std::this_thread::yield();
        }
        lock.lock();
        if (ready()) return;
    }
    const Clock::time_point now = Clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (msTimeout >= static_cast<uint64_t>(room.count())) {
        mCondition.wait(lock, ready);
    } else {
        mCondition.wait_until(lock, now + std::chrono::milliseconds(msTimeout), ready);
    }
}

// Never destroyed: the threads of a link that a program leaves running when
// it exits still look their FIFOs up while static objects are destroyed.
std::unordered_map<aPacketFifoId, std::shared_ptr<packetFifo>>& gpPacketFifoDictionary =
    *new std::unordered_map<aPacketFifoId, std::shared_ptr<packetFifo>>;
std::mutex gpPacketFifoDictionaryMutex;
std::atomic<aPacketFifoId> gpSequentialId{1};

aPacketFifoId sNextHandle()
{
    aPacketFifoId id = gpSequentialId++;
    while (id == 0) id = gpSequentialId++;
    return id;
}

std::shared_ptr<packetFifo> sLookup(aPacketFifoId id)
{
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    const auto entry = gpPacketFifoDictionary.find(id);
    return entry == gpPacketFifoDictionary.end() ? nullptr : entry->second;
}

// Runs op on the FIFO named by id, holding a reference to it meanwhile;
// unknown answers an unknown handle and failed any internal failure.
template <class Result, class Op>
Result sWithFifo(aPacketFifoId id, Result unknown, Result failed, Op op)
{
    try {
        const std::shared_ptr<packetFifo> fifo = sLookup(id);
        return fifo ? op(*fifo) : unknown;
    } catch (...) {
        return failed;
    }
}

} // namespace

aPacketFifoId aPacketFifo_Create()
{
    try {
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        const aPacketFifoId id = sNextHandle();
        gpPacketFifoDictionary.emplace(id, std::make_shared<packetFifo>());
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id)
{
    if (!id) return aErrParam;
    try {
        std::shared_ptr<packetFifo> fifo;
        {
            std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
            const auto entry = gpPacketFifoDictionary.find(*id);
            if (entry == gpPacketFifoDictionary.end()) return aErrNotFound;
            fifo = std::move(entry->second);
            gpPacketFifoDictionary.erase(entry);
        }
        fifo->invalidate();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId id)
{
    return sWithFifo<size_t>(id, 0, 0, [](packetFifo& fifo) { return fifo.length(); });
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet)
{
    if (!aVALIDPACKET(packet)) return aErrParam;
    return sWithFifo(id, aErrParam, aErrResource, [packet](packetFifo& fifo) { return fifo.put(packet); });
}

aPacket* aPacketFifo_Get(aPacketFifoId id)
{
    return sWithFifo<aPacket*>(id, nullptr, nullptr, [](packetFifo& fifo) { return fifo.get(); });
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t msTimeout)
{
    return sWithFifo<aPacket*>(id, nullptr, nullptr,
                               [msTimeout](packetFifo& fifo) { return fifo.await(msTimeout); });
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, const void* reference)
{
    if (!filter) return nullptr;
    return sWithFifo<aPacket*>(id, nullptr, nullptr,
                               [&](packetFifo& fifo) { return fifo.getFirst(filter, reference); });
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, const void* reference,
                                uint64_t msTimeout)
{
    return aPacketFifo_AwaitFirstOrWake(id, filter, reference, msTimeout, nullptr);
}

aPacket* aPacketFifo_AwaitFirstOrWake(aPacketFifoId id, aPacketFilterProc filter, const void* reference,
                                      uint64_t msTimeout, bool* woken)
{
    if (woken) *woken = false;
    if (!filter) return nullptr;
    return sWithFifo<aPacket*>(id, nullptr, nullptr, [&](packetFifo& fifo) {
        return fifo.awaitFirst(filter, reference, msTimeout, woken);
    });
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, const void* reference)
{
    if (!filter) return 0;
    return sWithFifo<size_t>(id, 0, 0, [&](packetFifo& fifo) { return fifo.drain(filter, reference); });
}

aErr aPacketFifo_Wake(aPacketFifoId id)
{
    return sWithFifo(id, aErrParam, aErrUnknown, [](packetFifo& fifo) {
        fifo.wake();
        return aErrNone;
    });
}
