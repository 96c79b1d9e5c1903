// Sections that run one at a time per key: callers with equal keys wait for
// each other, callers with different keys go on at the same time.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>

template <typename Key>
class aKeyedSections {
public:
    // Held from construction to destruction: the one section of its key.
    class Section {
    public:
        Section(aKeyedSections& sections, Key key) : sections_(sections), key_(std::move(key))
        {
            std::unique_lock<std::mutex> lock(sections_.guard_);
            sections_.done_.wait(lock, [&] { return sections_.busy_.count(key_) == 0; });
            sections_.busy_.insert(key_);
        }
        ~Section()
        {
            {
                std::lock_guard<std::mutex> lock(sections_.guard_);
                sections_.busy_.erase(key_);
            }
            sections_.done_.notify_all();
        }
        Section(const Section&) = delete;
        Section& operator=(const Section&) = delete;

    private:
        aKeyedSections& sections_;
        const Key key_;
    };

private:
    std::mutex guard_;
    std::condition_variable done_;
    std::set<Key> busy_;
};
