#include "engine/UpdaterEntity.h"

#include <algorithm>

#include "device_api/SystemClass.h"
#include "engine/Log.h"
#include "platform/aTime.h"

using Zentrova::Tessaline::Link;
using Zentrova::Tessaline::Module;
using Zentrova::Tessaline::SystemClass;

namespace {

constexpr unsigned kAddressBytes = 4;
constexpr unsigned kReconnectAttempts = 5;
constexpr unsigned kLoadReconnectDelayMs = 500;
constexpr unsigned kRebootPollMs = 250;
// A device told to reboot drops its link at once; one whose link is still up
// after this long did not restart, and the update ends with an error.
constexpr unsigned kRebootDropLimitMs = 10000;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
constexpr const char* kVerifying = "Verifying Update";

uint32_t bigEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

uint32_t byteSum(const uint8_t* data, unsigned length)
{
    uint32_t sum = 0;
    for (unsigned i = 0; i < length; ++i) sum += data[i];
    return sum;
}

// Data lengths of the status replies: the bare status, and the answers to
// PREPARE (with the block size), SUM (with the sum) and WRITE.
constexpr uint8_t kBareStatus = 3;
constexpr uint8_t kPrepareStatus = 5;
constexpr uint8_t kSumStatus = 7;
constexpr uint8_t kWriteStatus = kBareStatus;

struct ReplyForm {
    uint8_t option;
    uint8_t statusLength; // 0: any length
};

bool isUpgradePacket(const aPacket* packet, const void*)
{
    return packet->length >= 1 && packet->data[0] == cmdUPGRADE;
}

bool isAwaitedReply(const aPacket* packet, const void* reference)
{
    auto* form = static_cast<const ReplyForm*>(reference);
    if (packet->length < 2 || packet->data[0] != cmdUPGRADE || packet->data[1] != form->option) return false;
    return form->statusLength == 0 || packet->length == kBareStatus || packet->length == form->statusLength;
}

} // namespace

UpdaterEntity::UpdaterEntity() : module(nullptr), validate(true), no_wait(false), uei_data(false) {}

void UpdaterEntity::init(Module* target, unsigned char index, bool check, bool noWait)
{
    module = target;
    validate = check;
    no_wait = noWait;
    uei_data = false;
    EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::request(uint8_t option, uint8_t length, const uint8_t* arguments)
{
    if (!module) return aErrResource;
    uint8_t data[aPACKET_MAX_DATA] = {option};
    std::copy(arguments, arguments + length, data + 1);
    // The device answers in order and each request waits for its answer, so
    // whatever upgrade reply is queued now belongs to a request that gave up
    // on it.
    dropPackets(isUpgradePacket, nullptr);
    return sendPacket(cmdUPGRADE, uint8_t(length + 1), data);
}

aErr UpdaterEntity::reply(uint8_t option, uint8_t* data, uint8_t& length, uint8_t statusLength)
{
    if (!module) return aErrResource;
    const ReplyForm form{option, option == val_UPGRADE_STATUS ? statusLength : uint8_t(0)};
    return receivePacket(isAwaitedReply, &form, &length, data);
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr result = request(val_UPGRADE_INIT);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", result);
        return result;
    }
    uint8_t data[aPACKET_MAX_DATA];
    uint8_t length = 0;
    if (reply(val_UPGRADE_INIT, data, length) != aErrNone) return aErrTimeout;
    if (length <= 5) return aErrPacket;
    const uint32_t base = bigEndian32(data + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const unsigned char* payload, unsigned length, unsigned char flags,
                                    unsigned short& blockSize)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags, blockSize);
    // The load address is all of the payload the device is told about.
    if (!payload || length < kAddressBytes) return aErrParam;
    const uint8_t arguments[5] = {flags, payload[0], payload[1], payload[2], payload[3]};
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             flags, payload[0], payload[1], payload[2], payload[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(bigEndian32(payload)));
    aErr result = request(val_UPGRADE_PREPARE, sizeof arguments, arguments);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", result);
        return result;
    }
    uint8_t data[aPACKET_MAX_DATA];
    uint8_t got = 0;
    if (reply(val_UPGRADE_STATUS, data, got, kPrepareStatus) != aErrNone) return aErrTimeout;
    if (got < 3 || data[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    // A success without the block size is enough for a loader block; a
    // firmware block cannot be sent by a size of 0 and fails there.
    blockSize = got >= kPrepareStatus ? uint16_t(data[3] << 8 | data[4]) : 0;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const unsigned char* payload, unsigned length)
{
    if (!payload || length < kAddressBytes) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", bigEndian32(payload),
             int(length - kAddressBytes));
    unsigned count = 0;
    return _block_transfer(payload + kAddressBytes, length - kAddressBytes, count);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const unsigned char* data, unsigned length, unsigned& count,
                                               unsigned& sum)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", int(length));
    aErr result = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", result);
        return result;
    }
    sum = byteSum(data, length);
    count = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned length, unsigned& count)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    unsigned sum = 0;
    aErr result = aErrNone;
    if (uei_data) {
        result = _block_transfer_uei_helper(data, length, count, sum);
        if (result != aErrNone) return result;
    } else {
        unsigned sent = 0;
        unsigned resends = 0;
        while (sent < length && result == aErrNone) {
            const uint8_t k = uint8_t(std::min(length - sent, kDataBytes));
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", k);
            result = request(val_UPGRADE_DATA, k, data + sent);
            if (result != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", result);
                return result;
            }
            uint8_t answer[aPACKET_MAX_DATA];
            uint8_t got = 0;
            if (reply(val_UPGRADE_DATA, answer, got) != aErrNone || got < 3) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                result = aErrPacket;
            } else if (answer[2] != k) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", answer[2], k);
                // The same bytes go again, but not for ever.
                if (++resends > kDataResends) result = aErrPacket;
            } else {
                sum += byteSum(data + sent, k);
                sent += k;
                resends = 0;
                ++count;
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", k,
                         int(length - sent), int(length));
            }
        }
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(sent), int(length));
    }
    if (result != aErrNone || !validate) return result;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    request(val_UPGRADE_SUM);
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t got = 0;
    if (reply(val_UPGRADE_STATUS, answer, got, kSumStatus) != aErrNone || got < 3) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = answer[2];
    // A reply without the device's sum cannot confirm the data.
    const bool hasSum = got >= kSumStatus;
    const uint32_t deviceSum = hasSum ? bigEndian32(answer + 3) : 0;
    if (status == 0 && hasSum && deviceSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 deviceSum, int(count));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, deviceSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::FirmwareTransfer(const unsigned char* payload, unsigned length, unsigned short blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (!payload || length < kAddressBytes) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", bigEndian32(payload),
             int(length - kAddressBytes));
    // Without a block size from the device no chunk could ever be sent.
    if (blockSize == 0) {
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
        return aErrInvalidOption;
    }
    const unsigned char* data = payload + kAddressBytes;
    unsigned remaining = length - kAddressBytes;
    aErr result = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && result == aErrNone) {
        const unsigned chunk = std::min<unsigned>(remaining, blockSize);
        unsigned count = 0;
        result = _block_transfer(data, chunk, count);
        if (result != aErrNone) break;
        remaining -= chunk;
        data += chunk;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(chunk),
                 int(remaining), int(length));
        Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining), int(length));
        display.update_progress(double(length - remaining) / double(length), nullptr);
        result = FirmwareWrite(chunk);
    }
    display.display_progress(false);
    if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return result;
}

aErr UpdaterEntity::FirmwareWrite(unsigned length)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", int(length));
    const uint8_t arguments[2] = {uint8_t(length >> 8), uint8_t(length)};
    aErr result = request(val_UPGRADE_WRITE, sizeof arguments, arguments);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", result,
                 aError_GetErrorText(result));
        return result;
    }
    uint8_t data[aPACKET_MAX_DATA];
    uint8_t got = 0;
    if (reply(val_UPGRADE_STATUS, data, got, kWriteStatus) != aErrNone || got < 3 || data[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr result = request(val_UPGRADE_LOAD);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", result);
        return result;
    }
    uint8_t data[aPACKET_MAX_DATA];
    uint8_t got = 0;
    if (reply(val_UPGRADE_LOAD, data, got) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    result = _reconnect(kLoadReconnectDelayMs);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", result,
                 aError_GetErrorText(result));
        return aErrTimeout;
    }
    result = reply(val_UPGRADE_LOAD, data, got);
    if (result == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", result,
             aError_GetErrorText(result));
    return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(unsigned delayMs)
{
    if (!module) return aErrResource;
    module->disconnect();
    aErr result = aErrConnection;
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", int(attempt),
                 int(kReconnectAttempts));
        result = module->reconnect();
        if (result == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delayMs));
        module->disconnect();
        aTime_MSSleep(delayMs);
    }
    return result;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = request(val_UPGRADE_REBOOT);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    const uint64_t since = aTime_GetMonotonicMSTicks();
    while (module && module->isConnected()) {
        if (!no_wait && aTime_GetMonotonicMSTicks() - since >= kRebootDropLimitMs) {
            display.update_spinner(false, kVerifying);
            display.message(UpdaterDisplayInterface::ERROR,
                            "The device did not restart: its link was still up %u s after the reboot request",
                            kRebootDropLimitMs / 1000);
            return result == aErrNone ? aErrTimeout : result;
        }
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, kVerifying);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (no_wait) break;
    }
    display.update_spinner(false, kVerifying);
    return result;
}

aErr UpdaterEntity::CheckUEIDataSupport()
{
    if (!module) return aErrResource;
    const aErr result = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    if (result == aErrNone) uei_data = true;
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", result);
    return result;
}

aErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (!module) return aErrResource;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    const aErr result = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features), result);
    if (result != aErrNone) return result;
    if (!(features & kPooledPacketsFeature)) return aErrNone;
    Link* link = module->getLink();
    if (!link) return aErrConnection;
    return link->enablePooledPackets(true);
}
