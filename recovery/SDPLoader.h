// The client of the i.MX boot ROM's serial download protocol: it writes an
// image into the chip's memory, starts it, and reads the chip's unique id,
// over whichever transport it is given.
#pragma once

#include "recovery/SDPLoader_Interface.h"

#include <cstdint>
#include <vector>

class SDPLoader {
public:
    // Result codes of init, writeLoader and getFingerprint.
    enum Result : uint8_t {
        SUCCESS = 0,
        NO_TRANSPORT = 1,       // init: no transport set
        NO_ANSWER = 2,          // the boot ROM answered none of five status requests
        TRANSFER_ABORTED = 3,   // the chip sent something while the image went out
        NOT_COMPLETED = 4,      // the completion status did not follow the image
        OPEN_FAILED = 6,        // init: the transport did not open
        NO_REGISTER_VALUE = 7,  // getFingerprint: a register read got no usable answer
    };

    // Command types of the protocol.
    static constexpr uint16_t READ_REGISTER = 0x0101;
    static constexpr uint16_t WRITE_FILE = 0x0404;
    static constexpr uint16_t ERROR_STATUS = 0x0505;
    static constexpr uint16_t JUMP_ADDRESS = 0x0B0B;
    // Report ids of the host's command and data reports.
    static constexpr uint8_t COMMAND_REPORT = 0x01;
    static constexpr uint8_t DATA_REPORT = 0x02;
    // The word that follows a completely received image.
    static constexpr uint32_t COMPLETE_STATUS = 0x88888888;
    static constexpr uint32_t ACK_STATUS = 0xF0F0F0F0;

    SDPLoader() = default;
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of the transport; false (the caller keeps it) for null
    // or when one is set already.
    bool setLoader(SDPLoader_Interface* transport);
    // Opens the transport: SUCCESS, NO_TRANSPORT or OPEN_FAILED.
    uint8_t init();
    // Writes the image to the address: SUCCESS, NO_ANSWER, TRANSFER_ABORTED or NOT_COMPLETED.
    uint8_t writeLoader(std::vector<uint8_t> image, uint32_t address);
    // Runs the code at the address; whatever the chip answers is dropped.
    void startLoader(uint32_t address);
    // ORs the fuse words CFG0 (low half) and CFG1 (high half) into the value:
    // SUCCESS, NO_ANSWER or NO_REGISTER_VALUE.
    uint8_t getFingerprint(uint64_t& value);

    bool _isConnectionAlive();
    bool _expectSuccess(const std::vector<uint8_t>& reply);
    bool _expectResponse(const std::vector<uint8_t>& reply);
    bool _expectAck(const std::vector<uint8_t>& reply);
    static void _printBuffer(const std::vector<uint8_t>& bytes);

    // The command reports, MAX_COMMAND_BYTES long, fields big-endian.
    static void _createStatusPacket(std::vector<uint8_t>& report);
    static void _createWriteFilePacket(std::vector<uint8_t>& report, uint32_t address, uint32_t size);
    static void _createJumpPacket(std::vector<uint8_t>& report, uint32_t address);
    static void _create4ByteReadRegisterPacket(std::vector<uint8_t>& report, uint32_t address);

private:
    static void _createCommand(std::vector<uint8_t>& report, uint16_t type, uint32_t address, uint8_t format,
                               uint32_t count);
    static void _fillCommand(std::vector<uint8_t>& report);
    bool _expectWord(const std::vector<uint8_t>& reply, uint32_t expected);
    // Sends the report and collects the reply within the time-out.
    long _transact(const std::vector<uint8_t>& report, std::vector<uint8_t>& reply, unsigned int timeoutMs);
    bool _readRegister(uint32_t address, uint32_t& value);

    SDPLoader_Interface* loader = nullptr;
};
