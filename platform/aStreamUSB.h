// The USB stream: a byte stream over one Tessaline device's bulk endpoints
// (or its kernel driver node), found by the device's serial number.
#pragma once

#include <cstdint>

#include "common/aStream.h"

// Opens the device with the serial number and hands out a stream over it.
// aErrParam for a NULL handle address or serial number 0, aErrMemory,
// aErrResource, or the open's error (aErrNotFound when no device has it).
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
