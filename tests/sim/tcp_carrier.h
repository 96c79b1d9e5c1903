// Serves a device endpoint as a TCP server, the way an Ethernet device
// listens: one connection at a time (a new one replaces the old), with
// switches to reset the connection, refuse connections and stall reading.
#pragma once

#include "tests/sim/carrier_loop.h"
#include "tests/sim/device_endpoint.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace sim {

struct TcpCarrierOptions {
    std::string address = "127.0.0.1"; // IPv4 address to listen on
    uint16_t port = 0;                 // 0: the system chooses; see TcpCarrier::port()
    int receiveBuffer = 0;             // non-zero: SO_RCVBUF of served connections, so a stall fills sooner
};

class TcpCarrier {
public:
    // Listens at once; throws std::system_error when it cannot.
    explicit TcpCarrier(DeviceEndpoint& device, TcpCarrierOptions options = {});
    ~TcpCarrier();
    TcpCarrier(const TcpCarrier&) = delete;
    TcpCarrier& operator=(const TcpCarrier&) = delete;

    uint16_t port() const { return port_; }

    // Resets the served connection (the host sees ECONNRESET); the next
    // connection is served as usual.
    void resetConnection();
    // Closes the served connection in an orderly way (the host reads the end
    // of the stream); the next connection is served as usual.
    void closeConnection();
    // While refusing, nothing listens on the port: connects fail with
    // ECONNREFUSED. The served connection stays. Listening again takes the
    // same port (throws std::system_error when it is taken meanwhile).
    void setRefuseConnections(bool refuse);
    // Stops (or resumes) reading the host's bytes; holds for later connections too.
    void setStallReading(bool stall);

    // Connections taken so far, counting every one the host has made by now.
    size_t connections();
    bool waitForConnections(size_t count, int timeoutMs) const;

private:
    void openListener();
    void closeListener();
    bool accept(); // takes one waiting connection; false when none waits

    const TcpCarrierOptions options_;
    uint16_t port_ = 0;
    int listenFd_ = -1;  // loop thread only, once started
    bool stalled_ = false; // loop thread only

    mutable std::mutex mutex_;
    mutable std::condition_variable accepted_;
    size_t connections_ = 0;

    CarrierLoop loop_;
};

} // namespace sim
