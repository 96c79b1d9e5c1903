#include "recovery/SDPLoader.h"

#include "engine/Log.h"

#include <algorithm>
#include <string>

namespace {

// How long the boot ROM has to answer a command.
constexpr unsigned int REPLY_TIMEOUT_MS = 100;
// How long the first status request waits for a ROM slow to wake up, in
// slices of REPLY_TIMEOUT_MS, before it is sent again. Over HID a reply only
// counts when it holds exactly one answer, so requests sent while an answer
// is still on its way would spoil one another's replies.
constexpr unsigned int LATE_ANSWER_MS = 600;
// Status requests before the boot ROM counts as absent.
constexpr int STATUS_ROUNDS = 5;
// The format byte of 32-bit accesses.
constexpr uint8_t FORMAT_32BIT = 0x20;

void putBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(uint8_t(value >> shift));
}

} // namespace

SDPLoader::~SDPLoader()
{
    delete loader;
}

bool SDPLoader::setLoader(SDPLoader_Interface* transport)
{
    if (transport == nullptr || loader != nullptr)
        return false;
    loader = transport;
    return true;
}

uint8_t SDPLoader::init()
{
    if (loader == nullptr)
        return NO_TRANSPORT;
    return loader->init() ? SUCCESS : OPEN_FAILED;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& report)
{
    if (report.size() < MAX_COMMAND_BYTES)
        report.resize(MAX_COMMAND_BYTES, 0);
}

void SDPLoader::_createCommand(std::vector<uint8_t>& report, uint16_t type, uint32_t address, uint8_t format,
                               uint32_t count)
{
    report.clear();
    report.push_back(COMMAND_REPORT);
    putBigEndian(report, type, 2);
    putBigEndian(report, address, 4);
    report.push_back(format);
    putBigEndian(report, count, 4);
    _fillCommand(report);
}

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& report)
{
    _createCommand(report, ERROR_STATUS, 0, 0, 0);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& report, uint32_t address, uint32_t size)
{
    _createCommand(report, WRITE_FILE, address, FORMAT_32BIT, size);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& report, uint32_t address)
{
    _createCommand(report, JUMP_ADDRESS, address, 0, 0);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& report, uint32_t address)
{
    _createCommand(report, READ_REGISTER, address, FORMAT_32BIT, 4);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes)
{
    if ((Log::package_bitmask & DEBUG_iMXSerial) == 0)
        return;
    // One trace line holds at most 2047 characters: long reports go out in pieces.
    std::string text;
    char hex[4];
    for (uint8_t b : bytes) {
        snprintf(hex, sizeof hex, "%X ", b);
        text += hex;
        if (text.size() > 2000) {
            Log::log(DEBUG_iMXSerial, "%s", text.c_str());
            text.clear();
        }
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

long SDPLoader::_transact(const std::vector<uint8_t>& report, std::vector<uint8_t>& reply, unsigned int timeoutMs)
{
    _printBuffer(report);
    long written = loader->writeData(report);
    Log::log(DEBUG_iMXSerial, "Write Res: %ld\n", written);
    reply.clear();
    long n = loader->readData(reply, timeoutMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %ld\n", n);
    _printBuffer(reply);
    return written;
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply)
{
    uint32_t value = 0;
    return loader->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectWord(const std::vector<uint8_t>& reply, uint32_t expected)
{
    uint32_t value = 0;
    return loader->getDataFromBuffer(reply, 0, value) && value == expected;
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply)
{
    return _expectWord(reply, COMPLETE_STATUS);
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply)
{
    return _expectWord(reply, ACK_STATUS);
}

bool SDPLoader::_isConnectionAlive()
{
    std::vector<uint8_t> report;
    std::vector<uint8_t> reply;
    _createStatusPacket(report);
    for (int round = 0; round < STATUS_ROUNDS; ++round) {
        _transact(report, reply, REPLY_TIMEOUT_MS);
        // A prompt ROM has answered by now; a slow one still may, and is
        // waited for (once) rather than asked again.
        for (unsigned int waited = REPLY_TIMEOUT_MS; round == 0 && reply.empty() && waited < LATE_ANSWER_MS;
             waited += REPLY_TIMEOUT_MS) {
            if (loader->readData(reply, REPLY_TIMEOUT_MS) > 0) {
                Log::log(DEBUG_iMXSerial, "Late answer:\n");
                _printBuffer(reply);
            }
        }
        if (!_expectResponse(reply))
            continue;
        // A ROM slower than the time-out still owes the answers to the rounds
        // before; they come at most a round apart and must not be taken for
        // an answer to what follows.
        if (round > 0) {
            reply.clear();
            while (loader->readData(reply, REPLY_TIMEOUT_MS) > 0) {
                Log::log(DEBUG_iMXSerial, "Late answer drained:\n");
                _printBuffer(reply);
                reply.clear();
            }
        }
        return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

uint8_t SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address)
{
    if (loader == nullptr || !_isConnectionAlive())
        return NO_ANSWER;

    std::vector<uint8_t> report;
    std::vector<uint8_t> reply;
    _createWriteFilePacket(report, address, uint32_t(image.size()));
    _printBuffer(report);
    Log::log(DEBUG_iMXSerial, "Write Res: %ld\n", loader->writeData(report));

    int total = 0;
    int loop = 0;
    for (size_t at = 0; at < image.size(); at += MAX_WRITE_BYTES, ++loop) {
        reply.clear();
        if (loader->readData(reply, 0) > 0) {
            _printBuffer(reply);
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return TRANSFER_ABORTED;
        }
        size_t chunk = std::min<size_t>(MAX_WRITE_BYTES, image.size() - at);
        report.assign(1, DATA_REPORT);
        report.insert(report.end(), image.begin() + long(at), image.begin() + long(at + chunk));
        long written = loader->writeData(report);
        total += int(written);
        Log::log(DEBUG_iMXSerial, "Write Res: %ld , Total: %d, Loop: %d, tell: %ld, size: %zu\n", written, total,
                 loop, long(at + chunk), image.size());
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);

    reply.clear();
    long n = loader->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %ld\n", n);
    _printBuffer(reply);
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SUCCESS;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return NOT_COMPLETED;
}

void SDPLoader::startLoader(uint32_t address)
{
    if (loader == nullptr)
        return;
    std::vector<uint8_t> report;
    std::vector<uint8_t> reply;
    _createJumpPacket(report, address);
    _transact(report, reply, REPLY_TIMEOUT_MS);
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value)
{
    std::vector<uint8_t> report;
    std::vector<uint8_t> reply;
    _create4ByteReadRegisterPacket(report, address);
    _transact(report, reply, REPLY_TIMEOUT_MS);
    return loader->getDataFromBuffer(reply, 0, value);
}

uint8_t SDPLoader::getFingerprint(uint64_t& value)
{
    if (loader == nullptr || !_isConnectionAlive())
        return NO_ANSWER;
    uint32_t low = 0;
    uint32_t high = 0;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low))
        return NO_REGISTER_VALUE;
    value |= low;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high))
        return NO_REGISTER_VALUE;
    value |= uint64_t(high) << 32;
    return SUCCESS;
}
