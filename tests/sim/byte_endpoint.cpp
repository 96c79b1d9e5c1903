#include "tests/sim/byte_endpoint.h"

#include <chrono>

namespace sim {

void ByteEndpoint::send(const std::vector<uint8_t>& bytes)
{
    queue(bytes.data(), bytes.size());
}

void ByteEndpoint::queue(const uint8_t* data, size_t n)
{
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(lock_);
        toHost_.insert(toHost_.end(), data, data + n);
        notify = notify_;
    }
    changed_.notify_all();
    if (notify && n) notify();
}

std::vector<uint8_t> ByteEndpoint::received() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

bool ByteEndpoint::waitReceived(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.size() >= n; });
}

size_t ByteEndpoint::pending() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return toHost_.size();
}

void ByteEndpoint::fromHost(const uint8_t* data, size_t n)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        received_.insert(received_.end(), data, data + n);
    }
    changed_.notify_all();
    if (echo_) queue(data, n);
}

size_t ByteEndpoint::toHost(uint8_t* out, size_t max)
{
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    while (n < max && !toHost_.empty()) {
        out[n++] = toHost_.front();
        toHost_.pop_front();
    }
    return n;
}

bool ByteEndpoint::toHostFrame(std::vector<uint8_t>& frame)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (toHost_.empty()) return false;
    frame.assign(toHost_.begin(), toHost_.end());
    toHost_.clear();
    return true;
}

bool ByteEndpoint::waitToHost(int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return !toHost_.empty(); });
}

void ByteEndpoint::setToHostNotify(std::function<void()> notify)
{
    std::lock_guard<std::mutex> guard(lock_);
    notify_ = std::move(notify);
}

} // namespace sim
