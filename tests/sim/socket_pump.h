// Serves one connected stream socket for a device endpoint inside a carrier's
// poll() loop: what the host sends goes to the endpoint, what the endpoint has
// for the host goes out as far as the socket takes it.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <cstdint>
#include <vector>

namespace sim {

class SocketPump {
public:
    explicit SocketPump(DeviceEndpoint& device);
    ~SocketPump();
    SocketPump(const SocketPump&) = delete;
    SocketPump& operator=(const SocketPump&) = delete;

    // Takes ownership of a connected socket; a previous one is dropped first.
    void attach(int fd);
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Closes the socket and tells the endpoint; with reset a TCP peer gets
    // an RST instead of an orderly end.
    void drop(bool reset);

    // A stalled pump stops reading: the host's send buffer fills up.
    void setStalled(bool stalled) { stalled_ = stalled; }

    // Moves pending device output into the socket until it would block.
    void flush();
    // The poll() events to wait for (call after flush()).
    short events() const;
    // Acts on what poll() reported for fd().
    void service(short revents);

private:
    bool readHost();

    DeviceEndpoint& device_;
    int fd_ = -1;
    bool stalled_ = false;
    std::vector<uint8_t> pending_; // device bytes the socket has not taken yet
    size_t pendingOffset_ = 0;
};

} // namespace sim
