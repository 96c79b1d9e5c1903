// Puts a simulated device behind a pseudo-terminal, so that the host opens it
// as a serial port: either raw bytes pass as they are (boot ROMs), or every
// packet travels as a COBS-encoded frame with a CRC-8 and a zero delimiter.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class PtyCarrier {
public:
    enum class Framing { Raw, Cobs };

    // Opens the pseudo-terminal and starts serving the device; throws
    // std::runtime_error when no pseudo-terminal can be had.
    PtyCarrier(DeviceEndpoint& device, Framing framing);
    ~PtyCarrier();
    PtyCarrier(const PtyCarrier&) = delete;
    PtyCarrier& operator=(const PtyCarrier&) = delete;

    // The serial-port path that the host opens.
    const std::string& path() const { return path_; }

    // Puts bytes on the line to the host as they are, past the framing
    // (corrupt frames, stray bytes).
    void sendRaw(const uint8_t* data, size_t n);

    // Frames from the host that failed the COBS, length or CRC test.
    size_t badFrames() const { return badFrames_.load(); }

    // The adaptor stops taking the host's bytes (on), as one whose firmware
    // stalls, or takes them again (off): meanwhile the line is not read, and
    // the host's writes find the port full once its buffer is.
    void stall(bool on);
    // While stalled, the adaptor takes n more of the host's bytes.
    void take(size_t n);

    // Takes the line away as an unplugged adaptor does: the device stops
    // serving and the host's port hangs up (reads find nothing, writes fail).
    void hangUp();

private:
    struct Wake;

    void run();
    void pullFromDevice();
    void takeFromHost(const uint8_t* data, size_t n);
    void takeFrame();

    DeviceEndpoint& device_;
    const Framing framing_;
    int master_ = -1;
    int slave_ = -1;  // held open so that the master never reads EIO
    std::string path_;
    std::shared_ptr<Wake> wake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> stalled_{false};
    std::atomic<size_t> allowance_{0}; // bytes still to take while stalled
    std::atomic<size_t> badFrames_{0};

    std::mutex lock_;                 // guards injected_
    std::vector<uint8_t> injected_;
    std::vector<uint8_t> toHost_;     // I/O thread only
    std::vector<uint8_t> frame_;      // I/O thread only
    bool frameOverlong_ = false;      // I/O thread only
    std::thread thread_;
};

} // namespace sim
