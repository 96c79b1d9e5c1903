// A simulated i.MX boot ROM in serial-download mode: it takes command and
// data reports (over HID) or their bare bytes (over the UART), writes images
// into its memory, answers status and register reads with its four-byte
// words, records the jump, and can be made to misbehave.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sim {

class SdpBootRom : public DeviceEndpoint {
public:
    // Uart: commands are 16 bytes and image bytes come bare, replies are words
    // back to back. Hid: each host write is one report (id 1 command, id 2
    // image bytes), each reply one input report (id 3 the security word, id 4
    // the status or data words, 64 bytes).
    enum class Wire { Uart, Hid };

    struct Command {
        uint16_t type;
        uint32_t address;
        uint8_t format;
        uint32_t count;
    };

    static constexpr uint16_t READ_REGISTER = 0x0101;
    static constexpr uint16_t WRITE_FILE = 0x0404;
    static constexpr uint16_t ERROR_STATUS = 0x0505;
    static constexpr uint16_t JUMP_ADDRESS = 0x0B0B;
    static constexpr uint32_t HAB_OPEN = 0x56787856;
    static constexpr uint32_t STATUS_OK = 0xF0F0F0F0;
    static constexpr uint32_t COMPLETE = 0x88888888;
    static constexpr size_t HID_INPUT_REPORT = 65;

    explicit SdpBootRom(Wire wire);
    ~SdpBootRom() override;
    SdpBootRom(const SdpBootRom&) = delete;
    SdpBootRom& operator=(const SdpBootRom&) = delete;

    // The HID report descriptor of the boot ROM's interface: output reports
    // 1 (16 bytes) and 2 (1024 bytes), input reports 3 (4 bytes) and 4 (64 bytes).
    static std::vector<uint8_t> hidReportDescriptor();

    // Memory as the host left it; bytes never written read 0.
    std::vector<uint8_t> memory(uint32_t address, size_t n) const;
    // Puts a little-endian word into memory (a fuse or register value).
    void setWord(uint32_t address, uint32_t value);
    // Every command received, in order.
    std::vector<Command> commands() const;
    // Hid: the length of every data report (id included), in order.
    std::vector<size_t> dataReports() const;
    // Image bytes written into memory so far.
    size_t imageBytes() const;
    // The address of the jump, once one came.
    std::optional<uint32_t> jumpAddress() const;
    // Waits at most timeoutMs until the host has sent count commands.
    bool waitCommands(size_t count, int timeoutMs) const;

    // Fault switches.
    // Nothing is answered at all.
    void setSilent(bool silent);
    // The next count commands of the type go unanswered.
    void ignore(uint16_t type, int count);
    // The security word sent before every answer.
    void setHabWord(uint32_t word);
    // The word that answers a status request.
    void setStatusWord(uint32_t word);
    // The word that follows a complete image.
    void setCompleteWord(uint32_t word);
    // Every status or data word loses its last byte (a short report 4 over HID).
    void setShortReplies(bool shortReplies);
    // Once this many image bytes came, the ROM reports an error in the middle
    // of the image (security word and status word) and takes no more of it.
    void interruptImageAfter(size_t bytes);
    // Uart: a half-received command is dropped when its next byte comes more
    // than this long after the one before; below 0 (the start) it is kept
    // for ever.
    void setIdleDrop(int ms);
    // Answers to status requests leave this long after the request (a ROM
    // slow to wake up).
    void setStatusDelay(int ms);
    // Uart: the bytes of the command assembly dropped after idle time.
    size_t droppedBytes() const;

    void fromHost(const uint8_t* data, size_t n) override;
    size_t toHost(uint8_t* out, size_t max) override;
    bool toHostFrame(std::vector<uint8_t>& frame) override;
    bool waitToHost(int timeoutMs) override;
    void setToHostNotify(std::function<void()> notify) override;

private:
    void command(const uint8_t* bytes);
    void image(const uint8_t* data, size_t n);
    void sendHab(int delayMs = 0);
    void sendWords(const std::vector<uint8_t>& words, int delayMs = 0);
    void queue(std::vector<uint8_t> reply, int delayMs = 0);
    bool replyDue() const;
    void timerLoop();

    using Clock = std::chrono::steady_clock;
    struct Reply {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    const Wire wire_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::function<void()> notify_;
    bool pendingNotify_ = false;  // output queued under the lock, wake-up due

    std::map<uint32_t, uint8_t> memory_;
    std::vector<Command> commands_;
    std::vector<size_t> dataReports_;
    std::optional<uint32_t> jump_;
    std::vector<uint8_t> partial_;  // Uart: command bytes so far
    bool inImage_ = false;
    bool discarding_ = false;       // interrupted: the rest of the image is dropped
    uint32_t imageAddress_ = 0;     // where the next image byte goes
    uint32_t imageLeft_ = 0;
    size_t imageTaken_ = 0;
    std::deque<Reply> replies_;  // Hid: reports; Uart: runs of bytes
    Clock::time_point lastByte_;    // Uart: when the last command byte came
    int idleDropMs_ = -1;
    size_t dropped_ = 0;
    int statusDelayMs_ = 0;
    bool stop_ = false;
    std::condition_variable timerWake_;

    bool silent_ = false;
    std::map<uint16_t, int> ignored_;
    uint32_t hab_ = HAB_OPEN;
    uint32_t status_ = STATUS_OK;
    uint32_t complete_ = COMPLETE;
    bool short_ = false;
    std::optional<size_t> interruptAfter_;
    std::thread timer_;  // wakes the carrier when a delayed answer falls due
};

} // namespace sim
