// A simulated device that only moves bytes: it records what the host sends,
// sends what a test queues for the host, and can echo the host's bytes back.
// Carriers are tested with it before any device protocol is involved.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace sim {

class ByteEndpoint : public DeviceEndpoint {
public:
    explicit ByteEndpoint(bool echo = false) : echo_(echo) {}
    // A carrier's thread may have used the endpoint last: its calls end
    // before the endpoint goes.
    ~ByteEndpoint() override { std::lock_guard<std::mutex> guard(lock_); }

    // Queues bytes for the host.
    void send(const std::vector<uint8_t>& bytes);
    // Every byte the host sent so far, in order.
    std::vector<uint8_t> received() const;
    // Waits at most timeoutMs until the host has sent at least n bytes.
    bool waitReceived(size_t n, int timeoutMs) const;
    // Bytes queued for the host and not taken yet.
    size_t pending() const;

    void fromHost(const uint8_t* data, size_t n) override;
    size_t toHost(uint8_t* out, size_t max) override;
    bool toHostFrame(std::vector<uint8_t>& frame) override;
    bool waitToHost(int timeoutMs) override;
    void setToHostNotify(std::function<void()> notify) override;

private:
    void queue(const uint8_t* data, size_t n);

    const bool echo_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<uint8_t> received_;
    std::deque<uint8_t> toHost_;
    std::function<void()> notify_;
};

} // namespace sim
