// Serves a device endpoint over an AF_UNIX socketpair: the carrier thread
// works one end, the test wraps the other end (hostFd) in its stream.
#pragma once

#include "tests/sim/carrier_loop.h"
#include "tests/sim/device_endpoint.h"

namespace sim {

class SocketpairCarrier {
public:
    explicit SocketpairCarrier(DeviceEndpoint& device);
    // Closes the host end too unless it was taken.
    ~SocketpairCarrier();
    SocketpairCarrier(const SocketpairCarrier&) = delete;
    SocketpairCarrier& operator=(const SocketpairCarrier&) = delete;

    // The host's end (blocking); -1 once taken.
    int hostFd() const { return hostFd_; }
    // Hands the host's end to the caller, who closes it.
    int takeHostFd();

    // Closes the device's end: the host reads end of stream, or a reset when
    // it had sent bytes the device had not read.
    void resetConnection();
    // Stops (or resumes) reading the host's bytes.
    void setStallReading(bool stall);

private:
    int hostFd_ = -1;
    CarrierLoop loop_;
};

} // namespace sim
