// The clients' side of a link-sharing server, for tests of client streams and
// client links: a ROUTER socket on loop-back TCP that takes each request frame
// (one packet) from a client and answers it through a handler (by default the
// device's echo: the same packet back, nothing for packets to 0xAF, which a
// server never answers). Frames can also be pushed to the last client, such
// as a batch of stream packets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

using Frame = std::vector<uint8_t>;

class LinkServerPeer {
public:
    // The frames that answer one request (none for no answer).
    using Handler = std::function<std::vector<Frame>(const Frame& request)>;

    // Binds to the port (0: one the system chooses) on 127.0.0.1.
    explicit LinkServerPeer(uint16_t port = 0, Handler handler = echo);
    ~LinkServerPeer();

    bool ok() const { return port_ != 0; }
    uint16_t port() const { return port_; }

    // Every request frame received so far, in order.
    std::vector<Frame> requests() const;
    // Waits up to timeoutMs until at least count requests came.
    bool awaitRequests(size_t count, int timeoutMs) const;
    // Sends the frame to the client that sent the last request; false when
    // no client has sent one yet.
    bool sendToClient(const Frame& frame);

    static std::vector<Frame> echo(const Frame& request);

private:
    void serve();

    Handler handler_;
    uint16_t port_ = 0;
    void* router_ = nullptr; // zsock_t, used by the serving thread only
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Frame> requests_;
    std::deque<Frame> outbox_;
    bool hasClient_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace sim
