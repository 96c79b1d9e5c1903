// What a carrier (socketpair, TCP, pseudo-terminal, emulated USB) needs of a
// simulated device: the host's bytes in, the device's bytes out, and a wake-up
// when the device has something to send. Implementations are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

class DeviceEndpoint {
public:
    virtual ~DeviceEndpoint() = default;

    // Host to device. Byte carriers pass the wire bytes as they arrived, in any split.
    virtual void fromHost(const uint8_t* data, size_t n) = 0;
    // A framed carrier (COBS serial) passes one decoded frame: one packet's wire bytes.
    virtual void fromHostFrame(const uint8_t* data, size_t n) { fromHost(data, n); }

    // Device to host, never blocking. A byte carrier takes up to max bytes;
    // a framed carrier takes exactly one frame (one packet's wire bytes, or an
    // injected raw frame). Both answer 0 / false when nothing is pending.
    virtual size_t toHost(uint8_t* out, size_t max) = 0;
    virtual bool toHostFrame(std::vector<uint8_t>& frame) = 0;

    // Waits at most timeoutMs for output; true when some is pending.
    virtual bool waitToHost(int timeoutMs) = 0;
    // Called, from any thread and without the endpoint's lock held, whenever
    // output becomes pending. Carriers whose I/O runs on a thread that must not
    // block (umockdev's ioctl handler) use this instead of waitToHost.
    virtual void setToHostNotify(std::function<void()> notify) = 0;

    // The carrier lost its host (connection closed, device unplugged).
    virtual void hostDisconnected() {}
};

} // namespace sim
