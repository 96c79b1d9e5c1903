// I2CClass: one I2C bus of a module (command 8): reads and writes of up to
// 23 bytes to a device on the bus, and the bus pull-ups, each one raw packet
// and its reply, at the bus speed code kept here.
#pragma once

#include <cstdint>

#include "device_api/Entity.h"

namespace Zentrova {
namespace Tessaline {

constexpr uint8_t cmdI2C = 8;

class I2CClass : public EntityClass {
public:
    I2CClass();
    ~I2CClass() override;

    void init(Module* module, uint8_t bus);

    // The address is the 8-bit form; a read sets its bit 0.
    aErr read(uint8_t address, uint8_t count, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t count, const uint8_t* data);
    aErr setPullup(bool on);
    // Speed codes 0 to 3, sent with every transfer.
    aErr setSpeed(uint8_t code);
    aErr getSpeed(uint8_t* code);

private:
    // Sends the request and takes the reply that begins with match; the
    // device's status decides the result.
    aErr transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

} // namespace Tessaline
} // namespace Zentrova
