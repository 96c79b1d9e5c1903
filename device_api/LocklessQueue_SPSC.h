// A fixed ring for exactly one producer thread and one consumer thread,
// without a lock: the producer writes only `head`, the consumer only `tail`.
// It holds at most capacity - 1 elements.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace Zentrova {

template <typename T>
class LocklessQueue_SPSC {
public:
    explicit LocklessQueue_SPSC(uint16_t size) : slots(size), capacity(size) {}
    ~LocklessQueue_SPSC() = default;
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    // Producer side: false when the ring is full.
    bool push(T element)
    {
        uint16_t next = _increment(head.load());
        if (next == tail.load()) return false;
        slots[next] = std::move(element);
        head.store(next);
        return true;
    }

    // Consumer side: false when the ring is empty.
    bool pop(T* element)
    {
        uint16_t current = tail.load();
        if (current == head.load()) return false;
        uint16_t next = _increment(current);
        *element = std::move(slots[next]);
        slots[next] = T();
        tail.store(next);
        return true;
    }

    uint16_t _increment(uint16_t index) const
    {
        return static_cast<uint16_t>(index + 1 >= capacity ? 0 : index + 1);
    }

private:
    std::vector<T> slots;
    uint16_t capacity;
    std::atomic<uint16_t> head{0}; // the last slot written
    std::atomic<uint16_t> tail{0}; // the last slot read
};

} // namespace Zentrova
