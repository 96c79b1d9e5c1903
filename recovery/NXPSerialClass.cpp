#include "recovery/NXPSerialClass.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/Log.h"
#include "platform/aTime.h"
#include "platform/unix_streamserial.h"

namespace {

// Rates in the order of the serial stream's baud indexes, closed by 0.
const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
constexpr uint32_t kDefaultBaudIndex = 2;

// The byte counts that a copy from RAM to flash takes.
const uint32_t kCopySizes[] = {256, 512, 1024, 4096};

constexpr size_t kReplyMaximum = 1024;
constexpr unsigned int kReplyBudget = 100;
constexpr size_t kWordMaximum = 32;
constexpr unsigned int kChecksumBudget = 2000;
constexpr unsigned int kEchoBudget = 100;
// Bytes that differ from the expected echo cost no budget; a line that keeps
// delivering them is given up on after this many.
constexpr size_t kEchoMismatchLimit = 1024;

const char kSynchronized[] = "Synchronized\r\n";
const char kOk[] = "OK\r\n";
const char kResend[] = "RESEND\r\n";

bool sIs(const char* line, size_t length, const char* text)
{
    return length == strlen(text) && memcmp(line, text, length) == 0;
}

double sPercent(size_t part, size_t whole)
{
    return 100.0 * double(part) / double(whole);
}

} // namespace

#define SECTOR_4K(n) {uint32_t(n) * 0x1000u, 0x1000u, n}
#define SECTOR_32K(n) {0x10000u + (uint32_t(n) - 16u) * 0x8000u, 0x8000u, n}

const NXPSectorInfo NXP_LPC17XX_sectors[] = {
    SECTOR_4K(0),   SECTOR_4K(1),   SECTOR_4K(2),   SECTOR_4K(3),   SECTOR_4K(4),
    SECTOR_4K(5),   SECTOR_4K(6),   SECTOR_4K(7),   SECTOR_4K(8),   SECTOR_4K(9),
    SECTOR_4K(10),  SECTOR_4K(11),  SECTOR_4K(12),  SECTOR_4K(13),  SECTOR_4K(14),
    SECTOR_4K(15),  SECTOR_32K(16), SECTOR_32K(17), SECTOR_32K(18), SECTOR_32K(19),
    SECTOR_32K(20), SECTOR_32K(21), SECTOR_32K(22), SECTOR_32K(23), SECTOR_32K(24),
    SECTOR_32K(25), SECTOR_32K(26), SECTOR_32K(27), SECTOR_32K(28), SECTOR_32K(29),
    {0xFFFFFFFFu, 0, 30},
};

#undef SECTOR_4K
#undef SECTOR_32K

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

NXPSerialClass::~NXPSerialClass()
{
    if (stream)
        aStream_Destroy(&stream);
}

aErr NXPSerialClass::Connect(const char* port, uint32_t rate)
{
    if (stream)
        aStream_Destroy(&stream);
    uint32_t index = 0;
    while (kBaudRates[index] != 0 && kBaudRates[index] < rate)
        ++index;
    if (kBaudRates[index] == 0)
        index = kDefaultBaudIndex;
    baudRate = kBaudRates[index];
    const char* name = port ? port : "";
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%u(%u)\n", name, index, baudRate);
    const aErr err = aStream_CreateSerial(port, index, false, 0, 0, &stream);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", name, aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::Disconnect()
{
    if (stream)
        aStream_Destroy(&stream);
    return aErrNone;
}

uint32_t NXPSerialClass::WAIT_TIME_MS(uint32_t count, uint32_t rate)
{
    if (rate == 0)
        return 1;
    return (count * 9000u + 18000u) / rate + 1;
}

aErr NXPSerialClass::writeText(const char* text)
{
    const aErr err = aStream_Write(stream, text, strlen(text));
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", text);
    return err;
}

aErr NXPSerialClass::Send(const char* text, bool readEcho)
{
    const aErr err = writeText(text);
    const size_t length = strlen(text);
    if (readEcho && length > 1) {
        size_t matched = 0;
        GetEcho(text, length - 1, &matched);
    }
    return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int completionWaitMs)
{
    const aErr err = writeText(text);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", text);
    if (completionWaitMs > 0)
        aTime_MSSleep(uint64_t(completionWaitMs));
    const size_t length = strlen(text);
    if (echo && length > 1) {
        size_t matched = 0;
        GetEcho(text, length - 1, &matched);
        if (matched < length - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%zu!=%zu]\n", matched, length);
    }
    return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, size_t count, size_t* matched)
{
    aErr err = aErrNone;
    size_t got = 0;
    size_t wrong = 0;
    unsigned int budget = kEchoBudget;
    while (got < count && budget > 0 && wrong < kEchoMismatchLimit) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) {
            --budget;
            aTime_MSSleep(1);
        } else if (byte == uint8_t(expected[got])) {
            ++got;
        } else {
            Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", byte, uint8_t(expected[got]));
            ++wrong;
        }
    }
    if (matched)
        *matched = got;
    return err;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* length, const char* expected,
                              size_t expectedLength)
{
    if (!buffer || size == 0)
        return aErrParam;
    size_t limit = expected ? expectedLength : size - 1;
    if (limit > size - 1)
        limit = size - 1;
    const uint32_t wait = WAIT_TIME_MS(uint32_t(expectedLength), baudRate) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%zu bytes, %u, %u ms]\n", expectedLength, baudRate,
             wait);
    aTime_MSSleep(wait);

    aErr err = aErrNone;
    size_t stored = 0;
    bool first = true;
    bool ended = false;
    while (stored < limit && !ended) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone)
            break;
        const bool skip = (first && (byte == '\n' || byte == '\r')) || (byte == 0 && stored < 3);
        first = false;
        if (skip)
            continue;
        if (expected && stored < expectedLength && byte != uint8_t(expected[stored]))
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %zu does not match [[%02X] %c != %c [%02X]]\n",
                     stored, byte, byte, expected[stored], uint8_t(expected[stored]));
        buffer[stored++] = char(byte);
        ended = stored >= 2 && buffer[stored - 2] == '\r' && buffer[stored - 1] == '\n';
    }
    buffer[stored] = 0;
    if (length)
        *length = stored;
    return err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t maximum, size_t* length, unsigned int budget)
{
    aErr err = aErrNone;
    size_t stored = 0;
    bool ended = false;
    while (stored < maximum && !ended && budget > 0) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) {
            --budget;
            aTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ".");
        } else if (byte == '\n' && stored == 0) {
            --budget;
            aTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ",");
        } else {
            buffer[stored++] = char(byte);
            ended = byte == '\n' && stored >= 2 && buffer[stored - 2] == '\r';
        }
    }
    buffer[stored] = 0;
    if (length)
        *length = stored;
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] %zu %s [%s]\n", buffer, stored,
             ended ? "term" : "non-term", aError_GetErrorText(err));
    return err;
}

size_t NXPSerialClass::GetErrorIndex(size_t length) const
{
    return echo && length > TERMINATION_SIZE ? length - TERMINATION_SIZE - 1 : 0;
}

bool NXPSerialClass::replySucceeded(const char* reply, size_t length) const
{
    if (length == 0)
        return false;
    const size_t index = GetErrorIndex(length);
    // The code is the whole number that ends there: "10" is no success.
    return reply[index] == '0' && (index == 0 || !isdigit(uint8_t(reply[index - 1])));
}

const char* NXPSerialClass::GetErrorText(const char* reply)
{
    if (!reply)
        return ERROR_TEXT[MAX_ERROR];
    const long code = strtol(reply, nullptr, 0);
    if (code < 0 || code > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

aErr NXPSerialClass::command(const char* text, Report report)
{
    const aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial,
                 report == Report::Write ? "Write() Error Sending command [%s] [%s]\n"
                                         : "Error Sending command [%s] [%s]\n",
                 text, aError_GetErrorText(err));
        return err;
    }
    char reply[kReplyMaximum + 1];
    size_t length = 0;
    GetLine(reply, kReplyMaximum, &length, kReplyBudget);
    if (replySucceeded(reply, length))
        return aErrNone;
    if (report == Report::Command)
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(reply));
    else if (report == Report::Write)
        Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", GetErrorText(reply));
    return aErrParam;
}

aErr NXPSerialClass::readNumbers(const char* text, size_t count, uint64_t* values, size_t maximum)
{
    const aErr err = command(text, Report::Command);
    if (err != aErrNone)
        return err;
    for (size_t i = 0; i < count; ++i) {
        char line[kReplyMaximum + 1];
        size_t length = 0;
        const aErr read = GetLine(line, maximum, &length, kReplyBudget);
        if (read != aErrNone)
            return read;
        char* end = nullptr;
        values[i] = strtoull(line, &end, 0);
        if (end == line) {
            Log::log(DEBUG_NXPSerial, "Error response ==>[%s] is no number\n", line);
            return aErrParam;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Sync()
{
    char reply[32];
    size_t length = 0;
    Send("?", false);
    aErr err = Response(reply, sizeof reply, &length, kSynchronized, 14);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 kSynchronized, reply);
        return err;
    }
    if (length < 14 || memcmp(reply, kSynchronized, 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", reply);

    Send(kSynchronized, false);
    Response(reply, sizeof reply, &length, kSynchronized, 13);
    memset(reply, 0, sizeof reply);
    Response(reply, sizeof reply, &length, kOk, 4);
    const bool okMissing = strncmp(reply, "OK", 2) != 0;
    if (okMissing)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, kOk);

    char crystal[16];
    snprintf(crystal, sizeof crystal, "%d\r\n", int(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
    Send(crystal, false);
    Response(reply, sizeof reply, &length, crystal, 6);
    err = Response(reply, sizeof reply, &length, kOk, 4);
    return okMissing ? aErrIO : err;
}

aErr NXPSerialClass::GetDeviceID()
{
    uint64_t words[4];
    const aErr err = readNumbers("N\r\n", 4, words, kWordMaximum);
    if (err == aErrNone)
        for (size_t i = 0; i < 4; ++i)
            deviceId[i] = uint32_t(words[i]);
    return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor)
{
    uint64_t version[2];
    const aErr err = readNumbers("K\r\n", 2, version, kReplyMaximum);
    if (err != aErrNone)
        return err;
    if (major)
        *major = uint8_t(version[0]);
    if (minor)
        *minor = uint8_t(version[1]);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", int(uint8_t(version[0])),
             int(uint8_t(version[1])));
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(int64_t* partNumber)
{
    uint64_t part = 0;
    const aErr err = readNumbers("J\r\n", 1, &part, kReplyMaximum);
    if (err != aErrNone)
        return err;
    if (partNumber)
        *partNumber = int64_t(part);
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", (long long)part);
    return aErrNone;
}

aErr NXPSerialClass::SetEcho(bool on)
{
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    char text[16];
    snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
    const aErr err = command(text, Report::Quiet);
    if (err == aErrNone)
        echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate)
{
    char text[48];
    snprintf(text, sizeof text, "B %d %d\r\n", int32_t(rate), 1);
    return command(text, Report::Quiet);
}

aErr NXPSerialClass::Unlock()
{
    char text[32];
    snprintf(text, sizeof text, "U %u\r\n", UNLOCK_CODE);
    return command(text, Report::Quiet);
}

aErr NXPSerialClass::sectorCommand(char letter, uint32_t firstSector, uint32_t lastSector)
{
    if (lastSector < firstSector)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "%c %d %d\r\n", letter, int32_t(firstSector), int32_t(lastSector));
    return command(text, Report::Command);
}

aErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector)
{
    return sectorCommand('P', firstSector, lastSector);
}

aErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector)
{
    return sectorCommand('E', firstSector, lastSector);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count)
{
    if (flashAddress % 256 != 0 || count > 4096 || CopyLength(count) != count)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "C %d %d %d\r\n", int32_t(flashAddress), int32_t(ramAddress), int32_t(count));
    return command(text, Report::Command);
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[32];
    snprintf(text, sizeof text, "G %d T\r\n", int32_t(address));
    const aErr err = SendCommand(text, 0);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::Write(uint32_t ramAddress, uint32_t count, const uint8_t* data)
{
    if (count == 0 || count % 4 != 0 || !data)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "W %d %d\r\n", int32_t(ramAddress), int32_t(count));
    aErr err = command(text, Report::Write);
    if (err != aErrNone)
        return err;

    size_t position = 0;
    size_t checkpoint = 0;
    int lines = 0;
    int resends = MAX_READ_RETRY;
    while (position < count && err == aErrNone) {
        char line[2 + 4 * (MAX_BYTES_PER_LINE / 3)];
        position += uuencode(line, data + position, count - position);
        err = Send(line, echo);
        if (err == aErrNone)
            err = Send("\r\n", echo);
        ++lines;
        if (err != aErrNone || (lines < LINES_PER_CHECKSUM && position < count))
            continue;

        const uint32_t checksum = sum(data + checkpoint, position - checkpoint);
        Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", checksum, checksum);
        snprintf(text, sizeof text, "%d\r\n", int32_t(checksum));
        err = Send(text, echo);
        lines = 0;
        if (err != aErrNone)
            break;
        char answer[kReplyMaximum + 1];
        size_t length = 0;
        const uint64_t start = aTime_GetMonotonicMSTicks();
        GetLine(answer, kReplyMaximum, &length, kChecksumBudget);
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
                 int(aTime_GetMonotonicMSTicks() - start + 1));
        if (sIs(answer, length, kOk)) {
            checkpoint = position;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %zu of %u (%.0f%%) bytes\n", position, count,
                     sPercent(position, count));
        } else if (sIs(answer, length, kResend)) {
            if (--resends > 0) {
                position = checkpoint;
            } else {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                err = aErrTimeout;
            }
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
            err = aErrIO;
        }
    }
    return err;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* buffer)
{
    if (count == 0 || count % 4 != 0 || !buffer)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "R %d %d\r\n", int32_t(address), int32_t(count));
    aErr err = command(text, Report::Command);
    if (err != aErrNone)
        return err;

    size_t position = 0;
    size_t checkpoint = 0;
    int lines = 0;
    int resends = MAX_READ_RETRY;
    char line[kReplyMaximum + 1];
    size_t length = 0;
    while (position < count) {
        err = GetLine(line, kReplyMaximum, &length, kReplyBudget);
        if (err != aErrNone)
            return err;
        const size_t decoded = uudecode(buffer + position, count - position, line);
        if (decoded == 0) {
            // A line that holds no data, or more than is left to read, would
            // leave the position where it is for as long as the chip talks.
            Log::log(DEBUG_NXPSerial, "Read() data line without room or data [%s]\n", line);
            return aErrIO;
        }
        position += decoded;
        if (++lines < LINES_PER_CHECKSUM && position < count)
            continue;

        lines = 0;
        err = GetLine(line, kReplyMaximum, &length, kReplyBudget);
        if (err != aErrNone)
            return err;
        if (strtoul(line, nullptr, 10) == sum(buffer + checkpoint, position - checkpoint)) {
            Send(kOk, false);
            // Without echo, what follows is the chip's next data line.
            if (echo) {
                char reply[8];
                Response(reply, sizeof reply, nullptr, kOk, position == count ? 4 : 3);
            }
            checkpoint = position;
            Log::log(DEBUG_NXPSerial, "valid receipt of %zu of %u (%.0f%%) bytes\n", position, count,
                     sPercent(position, count));
        } else if (--resends > 0) {
            Send(kResend, echo);
            position = checkpoint;
        } else {
            Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
            return aErrTimeout;
        }
    }
    return aErrNone;
}

uint32_t NXPSerialClass::CopyLength(uint32_t n)
{
    for (const uint32_t size : kCopySizes)
        if (n <= size)
            return size;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", n);
    return n;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    const NXPSectorInfo* row = NXP_LPC17XX_sectors;
    for (; row->start != 0xFFFFFFFFu; ++row)
        if (row->start <= address && address - row->start < row->size)
            break;
    return row->number;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t count)
{
    uint32_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += data[i];
    return total;
}

char NXPSerialClass::uuchar(uint8_t value)
{
    value &= 0x3F;
    return value ? char(value + 0x20) : '`';
}

size_t NXPSerialClass::uuencode(char* out, const uint8_t* data, size_t n)
{
    if (n > size_t(MAX_BYTES_PER_LINE))
        n = MAX_BYTES_PER_LINE;
    *out++ = uuchar(uint8_t(n));
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
        const uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
        const uint32_t group = uint32_t(data[i]) << 16 | b1 << 8 | b2;
        for (int shift = 18; shift >= 0; shift -= 6)
            *out++ = uuchar(uint8_t(group >> shift));
    }
    *out = 0;
    return n;
}

size_t NXPSerialClass::uudecode(uint8_t* buffer, size_t room, const char* line)
{
    if (!line || line[0] == 0)
        return 0;
    const size_t count = (uint8_t(line[0]) - 0x20) & 0x3F;
    if (room < count)
        return 0;
    const char* group = line + 1;
    size_t decoded = 0;
    while (decoded < count) {
        uint32_t value = 0;
        for (int k = 0; k < 4; ++k) {
            if (group[k] == 0) {
                Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
                return count;
            }
            value = value << 6 | ((uint8_t(group[k]) - 0x20) & 0x3F);
        }
        // Only the count is written: the last group's padding stays out of the buffer.
        for (int shift = 16; shift >= 0 && decoded < count; shift -= 8)
            buffer[decoded++] = uint8_t(value >> shift);
        group += 4;
    }
    return count;
}
