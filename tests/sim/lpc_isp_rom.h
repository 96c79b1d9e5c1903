// A stand-in for the LPC17xx boot ROM's in-system programming over its UART:
// the "?" synchronisation with crystal announcement, echoed text commands with
// a return code each, UU-encoded data lines with checksums, 512 KB of flash in
// 30 sectors and 32 KB of RAM, plus switches that make it misbehave.
// Put it behind a sim::PtyCarrier with Framing::Raw.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class LpcIspRom : public DeviceEndpoint {
public:
    static constexpr uint32_t kFlashSize = 512 * 1024;
    static constexpr uint32_t kRamStart = 0x10000000;
    static constexpr uint32_t kRamSize = 32 * 1024;
    // The ISP's own variables fill the RAM below this address; "W" refuses it.
    static constexpr uint32_t kRamUsable = kRamStart + 0x200;
    static constexpr int kSectors = 30;

    struct Identity {
        uint32_t serial[4] = {0x1A2B3C4D, 0xCAFEF00D, 7, 0x00D0BEEF};
        uint32_t partId = 0x2A1B3C4D;
        uint8_t bootMajor = 3;
        uint8_t bootMinor = 9;
    };

    struct Faults {
        bool mute = false;           // no byte at all goes back, not even an echo
        bool dropSyncOk = false;     // no "OK" after the echoed "Synchronized"
        bool wrongEcho = false;      // every echoed byte comes back as '~'
        int replyDelayMs = 0;        // every answer but the echo comes this late
        int checksumDelayMs = 0;     // answers to data checksums come this late
        std::map<char, int> returnCodes;  // command letter -> code it answers instead
        std::map<std::string, int> lineCodes;  // whole command line -> code it answers instead
        int identityLines = 4;       // lines of "N" that follow its return code
        std::set<size_t> corruptDataLines;  // data lines, numbered from 0 as received, that lose a bit
        int badReadChecksums = 0;    // the next n checksums sent while reading are wrong
        std::string checksumAnswer;  // when set, replaces "OK\r\n" for matching data
        // Checksum lines are read by their leading digits, none reading as 0,
        // rather than taken only when they are a decimal number.
        bool lenientChecksum = false;

        // Refuses one command: a letter alone whatever its arguments, with
        // code 3; a whole command line only, with code 9; nothing when empty.
        void refuse(const std::string& command)
        {
            if (command.size() == 1)
                returnCodes[command[0]] = 3;
            else if (!command.empty())
                lineCodes[command] = 9;
        }
    };

    struct Counters {
        size_t dataLines = 0;        // data lines received by "W"
        size_t checksums = 0;        // checksum lines received by "W"
        size_t resendsSent = 0;      // "RESEND" answered to the host
        size_t resendsReceived = 0;  // "RESEND" received while reading
        int crystalKHz = -1;         // announced during synchronisation
        bool started = false;        // "G" accepted
        uint32_t startAddress = 0;
        std::string startMode;
        // Copies to flash that reached bytes not erased since they were
        // last programmed (or since the start), as "C" command lines.
        std::vector<std::string> copiesOntoProgrammed;
    };

    LpcIspRom();
    explicit LpcIspRom(const Identity& identity);
    ~LpcIspRom() override;
    LpcIspRom(const LpcIspRom&) = delete;
    LpcIspRom& operator=(const LpcIspRom&) = delete;

    void setFaults(const Faults& faults);
    // Paces the line as a UART at this rate (ten bit times a character):
    // the host's bytes reach the ROM, and its answers the host, no sooner
    // than the line carries them. 0 (the start): as fast as they come.
    void setLineRate(unsigned baud);
    // Skips the synchronisation: the ROM answers commands at once.
    void setSynchronised();

    bool synchronised() const;
    // A "W" is taking its data lines: the ROM is not at its command prompt.
    bool writingRam() const;
    bool echo() const;
    bool unlocked() const;
    // Copies of the memories; flash starts as a pattern, not erased.
    std::vector<uint8_t> flash() const;
    std::vector<uint8_t> ram() const;
    // The byte the flash holds before anything is written or erased.
    static uint8_t initialFlash(uint32_t address);
    // Every byte the host sent, and every command line taken, in order.
    std::vector<uint8_t> received() const;
    std::vector<std::string> commands() const;
    Counters counters() const;

    void fromHost(const uint8_t* data, size_t n) override;
    size_t toHost(uint8_t* out, size_t max) override;
    bool toHostFrame(std::vector<uint8_t>& frame) override;
    bool waitToHost(int timeoutMs) override;
    void setToHostNotify(std::function<void()> notify) override;

private:
    using Clock = std::chrono::steady_clock;
    // Running: "G" was accepted and the chip runs its code, deaf to the line.
    enum class State { Unsynchronised, SyncLine, Crystal, Command, WriteData, ReadAck, Running };
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    void takeByte(uint8_t byte);
    void takeLine(const std::string& line);
    void runCommand(const std::string& line);
    int commandCode(char letter, const std::vector<long long>& args, size_t argCount);
    void takeDataLine(const std::string& line);
    void takeReadAck(const std::string& line);
    void sendReadBlock();
    void reply(const std::string& text, int delayMs);
    void queue(std::vector<uint8_t> bytes, int delayMs);
    bool sectorsPrepared(uint32_t first, uint32_t last) const;
    uint8_t* memory(uint32_t address, uint32_t count);
    void timerLoop();

    const Identity identity_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    Faults faults_;
    Counters counters_;
    State state_ = State::Unsynchronised;
    bool echo_ = true;
    bool unlocked_ = false;
    std::set<int> prepared_;
    std::vector<uint8_t> flash_;
    std::vector<bool> programmed_;  // per flash byte: not erased since written
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> received_;
    std::vector<std::string> commands_;
    std::string line_;

    // The transfer under way: "W" into RAM, or "R" to the host.
    uint32_t transferAddress_ = 0;
    uint32_t transferCount_ = 0;
    uint32_t transferDone_ = 0;  // bytes acknowledged
    std::vector<uint8_t> pending_;  // "W": bytes since the last checkpoint
    int pendingLines_ = 0;
    uint32_t blockLength_ = 0;      // "R": bytes of the block sent last

    std::chrono::nanoseconds charTime_{0};
    Clock::time_point rxTime_;  // paced: when the byte taken last reached the ROM
    Clock::time_point txTime_;  // paced: when the answer queued last reaches the host
    std::deque<Chunk> toHost_;
    std::function<void()> notify_;
    std::multiset<Clock::time_point> wakeAt_;
    bool stop_ = false;
    std::thread timer_;
};

} // namespace sim
