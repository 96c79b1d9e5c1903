// Client of the LPC17xx boot ROM's in-system programming protocol over a raw
// serial port: synchronisation, identification, flash erase and programming
// through RAM, and the UU coding of its data lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// One flash sector of the chip: where it starts, how long it is, its number.
struct NXPSectorInfo {
    uint32_t start;
    uint32_t size;
    uint32_t number;
};

// The sector map of the 512 KB flash, closed by the row {0xFFFFFFFF, 0, 30}.
extern const NXPSectorInfo NXP_LPC17XX_sectors[];

// Everything is synchronous: each call writes to the port and reads the
// chip's answer before it returns. Results are aErr codes, 0 for success;
// a command the chip refused (or did not answer) gives aErrParam.
class NXPSerialClass {
public:
    NXPSerialClass() = default;
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    static constexpr uint8_t MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
    static constexpr int MAX_BYTES_PER_LINE = 45;
    static constexpr int LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    static constexpr uint8_t TERMINATION_SIZE = 2;
    // The code that "U" takes to enable the flash commands.
    static constexpr uint32_t UNLOCK_CODE = 23130;

    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    // Closes an open stream and opens the port at the first table rate not
    // below the one asked for (9600 above 230400), 8 data bits, no parity.
    aErr Connect(const char* port, uint32_t rate);
    aErr Disconnect();

    // Writes the text in one block; with readEcho, reads back the echo of all
    // but its last character (the LF of a line stays for the next reader).
    aErr Send(const char* text, bool readEcho);
    // Writes a command, sleeps completionWaitMs when positive, and reads its
    // echo while the chip echoes.
    aErr SendCommand(const char* text, int completionWaitMs);
    // Reads until count bytes matched the expected text, dropping bytes that
    // differ, or until 100 reads found nothing.
    aErr GetEcho(const char* expected, size_t count, size_t* matched);
    // Waits the transmission time of expectedLength bytes plus 20 ms, then
    // reads one reply (to CR LF or the limit) until a read finds nothing.
    // buffer holds size bytes; the reply is terminated.
    aErr Response(char* buffer, size_t size, size_t* length, const char* expected,
                  size_t expectedLength);
    // Reads one line ending in CR LF (kept), at most maximum bytes, spending
    // one unit of budget and 1 ms per empty read. buffer holds maximum + 1.
    aErr GetLine(char* buffer, size_t maximum, size_t* length, unsigned int budget);
    // Where the return-code digit stands in a reply of that length.
    size_t GetErrorIndex(size_t length) const;
    // The ERROR_TEXT entry for the number at the start of the reply.
    static const char* GetErrorText(const char* reply);

    aErr Sync();
    aErr GetDeviceID();
    aErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
    aErr GetPartNumber(int64_t* partNumber);
    aErr SetEcho(bool on);
    aErr SetBaudRate(uint32_t rate);
    aErr Unlock();
    aErr Prepare(uint32_t firstSector, uint32_t lastSector);
    aErr Erase(uint32_t firstSector, uint32_t lastSector);
    // Sends count bytes (a multiple of 4) to RAM, with a checksum every
    // LINES_PER_CHECKSUM lines; the chip may ask for a block again twice.
    aErr Write(uint32_t ramAddress, uint32_t count, const uint8_t* data);
    // Reads count bytes (a multiple of 4) from the chip into buffer; aErrIO
    // for a data line that holds no data or more than is left to read.
    aErr Read(uint32_t address, uint32_t count, uint8_t* buffer);
    // Copies count bytes (256, 512, 1024 or 4096) from RAM to flash at a
    // 256-byte boundary.
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    // Starts the code at address in Thumb mode; no reply is read.
    aErr ExecuteFrom(uint32_t address);

    // The copy size for n bytes: 256, 512, 1024 or 4096 (n itself above 4096).
    static uint32_t CopyLength(uint32_t n);
    // The sector holding the address, 30 outside the flash.
    static uint32_t SectorFromAddress(uint32_t address);
    // Milliseconds to transmit count characters and two more at rate baud.
    static uint32_t WAIT_TIME_MS(uint32_t count, uint32_t rate);
    static uint32_t sum(const uint8_t* data, size_t count);
    static char uuchar(uint8_t value);
    // Writes one line for up to 45 bytes (length character, four characters
    // per three bytes, a terminating NUL); returns the bytes consumed.
    static size_t uuencode(char* out, const uint8_t* data, size_t n);
    // Decodes one line into buffer, which has room bytes; returns the line's
    // count, 0 when it does not fit.
    static size_t uudecode(uint8_t* buffer, size_t room, const char* line);

    aStream* stream = nullptr;
    bool echo = true;
    uint32_t baudRate = 0;
    uint32_t deviceId[4] = {0, 0, 0, 0};

private:
    // How a refused command is noted in the debug log.
    enum class Report { Quiet, Command, Write };

    aErr writeText(const char* text);
    aErr command(const char* text, Report report);
    bool replySucceeded(const char* reply, size_t length) const;
    aErr readNumbers(const char* text, size_t count, uint64_t* values, size_t maximum);
    aErr sectorCommand(char letter, uint32_t firstSector, uint32_t lastSector);
};
