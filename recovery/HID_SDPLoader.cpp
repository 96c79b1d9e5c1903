#include "recovery/HID_SDPLoader.h"

#include "engine/Log.h"

#include <hidapi/hidapi.h>

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId) : vid(vendorId), pid(productId) {}

HID_SDPLoader::~HID_SDPLoader()
{
    if (device != nullptr)
        hid_close(device);
    hid_exit();
}

bool HID_SDPLoader::init()
{
    // A second call keeps the open handle instead of opening (and losing) another.
    if (device != nullptr)
        return true;
    hid_init();
    device = hid_open(vid, pid, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(device));
    return device != nullptr;
}

long HID_SDPLoader::writeData(const std::vector<uint8_t>& report)
{
    if (device == nullptr)
        return -1;
    return hid_write(device, report.data(), report.size());
}

long HID_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned int timeoutMs)
{
    if (device == nullptr)
        return 0;
    long total = 0;
    for (;;) {
        unsigned char buffer[MAX_READ_BYTES] = {};
        int n = hid_read_timeout(device, buffer, sizeof buffer, int(timeoutMs));
        if (n <= 0)
            break;
        // Report 3 holds one four-byte word behind its id.
        if (buffer[0] == 3)
            n = 5;
        reply.insert(reply.end(), buffer, buffer + n);
        total += n;
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned int offset, uint32_t& value)
{
    // Report 3 (5 bytes) then report 4, whose first data bytes hold the word.
    if (reply.size() != REPLY_BYTES || offset > 15)
        return false;
    const uint8_t* word = reply.data() + offset + 6;
    value |= uint32_t(word[0]) | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 16 | uint32_t(word[3]) << 24;
    return true;
}
