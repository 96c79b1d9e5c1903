// A loop-back TCP listener that never takes a connection: the kernel
// completes connections into its queue, and nothing is ever read or sent, as
// with a server that hangs. A full one has its queue filled already, so that
// further connection requests go unanswered, as with an address without a host.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

class QuietListener {
public:
    enum class Queue { Open, Full };

    // Listens at once; throws std::system_error when it cannot.
    explicit QuietListener(Queue queue = Queue::Open);
    ~QuietListener();
    QuietListener(const QuietListener&) = delete;
    QuietListener& operator=(const QuietListener&) = delete;

    uint16_t port() const { return port_; }
    // "SCHEME://127.0.0.1:PORT/cgi/u", an update server's base URL.
    std::string url(const std::string& scheme = "http") const;
    // The listening socket, for a test that takes a queued connection itself.
    int fd() const { return listener_; }

private:
    int listener_ = -1;
    int queued_ = -1;
    uint16_t port_ = 0;
};

} // namespace sim
