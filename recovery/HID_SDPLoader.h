// The serial download transport over USB HID: the boot ROM's HID device,
// found by vendor and product id, takes command and data reports and answers
// with input reports 3 (a four-byte word) and 4 (the status or data word).
#pragma once

#include "recovery/SDPLoader_Interface.h"

#include <cstddef>
#include <cstdint>

typedef struct hid_device_ hid_device;

class HID_SDPLoader : public SDPLoader_Interface {
public:
    // Reply length of one report 3 (counted as 5 bytes) and one report 4.
    static constexpr size_t REPLY_BYTES = 5 + MAX_READ_BYTES;

    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    long writeData(const std::vector<uint8_t>& report) override;
    long readData(std::vector<uint8_t>& reply, unsigned int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned int offset, uint32_t& value) override;

private:
    hid_device* device = nullptr;
    uint16_t vid;
    uint16_t pid;
};
