// I2CClass: raw request and reply packets of the I2C entity.
#include "device_api/I2CClass.h"

#include <algorithm>
#include <cstring>

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kHeader = 5; // command, bus, address, count, status or speed

} // namespace

I2CClass::I2CClass() = default;

I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, uint8_t bus)
{
    EntityClass::init(module, cmdI2C, bus);
}

aErr I2CClass::transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                        uint8_t* reply, uint8_t* replyLength)
{
    // The request's first byte is the command byte of the packet.
    aErr result = sendPacket(request[0], static_cast<uint8_t>(length - 1), request + 1);
    if (result != aErrNone) return result;
    *replyLength = matchLength;
    result = receivePacket(match, replyLength, reply);
    if (result != aErrNone) return result;
    if (*replyLength < kHeader) return aErrPacket;
    if (!(reply[4] & kStatusError)) return aErrNone;
    // An error status whose code reads 0 is still a failure.
    const uint8_t code = reply[4] & 0x7F;
    return code ? static_cast<aErr>(code) : aErrUnknown;
}

aErr I2CClass::read(uint8_t address, uint8_t count, uint8_t* buffer)
{
    if (count > kMaxTransfer) return aErrSize;
    if (!buffer && count != 0) return aErrParam;
    const uint8_t target = static_cast<uint8_t>(address | kReadBit);
    const uint8_t request[] = {cmdI2C, getIndex(), target, count, speed};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr result = transfer(request, sizeof request, request, 3, reply, &length);
    if (result != aErrNone) return result;
    const size_t carried = static_cast<size_t>(length - kHeader);
    std::memcpy(buffer, reply + kHeader, std::min<size_t>({reply[3], count, carried}));
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t count, const uint8_t* data)
{
    if (count > kMaxTransfer) return aErrSize;
    if (!data && count != 0) return aErrParam;
    uint8_t request[aPACKET_MAX_DATA] = {cmdI2C, getIndex(), address, count, speed};
    if (count) std::memcpy(request + kHeader, data, count);
    const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    return transfer(request, static_cast<uint8_t>(kHeader + count), match, sizeof match, reply, &length);
}

aErr I2CClass::setPullup(bool on)
{
    const uint8_t request[] = {cmdI2C, getIndex(), kPullup, static_cast<uint8_t>(on ? 1 : 0)};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    return transfer(request, sizeof request, request, 3, reply, &length);
}

aErr I2CClass::setSpeed(uint8_t code)
{
    if (code > kMaxSpeed) return aErrParam;
    speed = code;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* code)
{
    if (!code) return aErrParam;
    *code = speed;
    return aErrNone;
}

} // namespace Tessaline
} // namespace Zentrova
