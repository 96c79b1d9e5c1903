// Debug output of the device library: lines on standard output, each flushed,
// written only while the process-wide switch is on and the line's category
// bit is set in the category mask. Both start off.
#pragma once

#include <cstdint>

// Categories: the bits of aTessalineDebuggingLevel.
enum : uint32_t {
    aDEBUG_LINKS = 0x1,
    aDEBUG_PACKETS = 0x2,
    aDEBUG_SERVER = 0x4,
    aDEBUG_MULTICAST = 0x8,
    aDEBUG_DISCOVERY = 0x10,
    aDEBUG_CLIENT_STREAM = 0x20,
    aDEBUG_MODULES = 0x40,
    aDEBUG_BEACON_INTERFACE = 0x200,
    aDEBUG_USB_DRIVER = 0x400,
};

extern bool aTessalineDebuggingEnable;
extern uint32_t aTessalineDebuggingLevel;

// True when lines of the category are written.
bool aDebug_Enabled(uint32_t category);

// Writes the formatted line when its category is enabled.
void aDebug_Printf(uint32_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));
