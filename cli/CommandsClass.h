// The commands asked for on the command line, as one set of bits.
#pragma once

#include <cstdint>

enum COMMANDS : uint32_t {
    COMMAND_DISCOVER = 0x1,
    COMMAND_UPDATE = 0x2,
    COMMAND_LIST_BUILDS = 0x4,
    COMMAND_GET_BUILD = 0x8,
    COMMAND_SHOW_INFO = 0x10,
    COMMAND_CHECK_BIRDFILE = 0x20,
    COMMAND_FINGERPRINT = 0x40,
    COMMAND_Z = 0x80,
    COMMAND_LIST_LOCAL_BUILDS = 0x200,
    COMMAND_HELP = 0x80000000,
};

class CommandsClass {
public:
    CommandsClass() = default;

    // Adds the command; true when any command is now set.
    bool Set(COMMANDS command);
    // True when any bit of the mask is set (a mask may OR several commands).
    bool IsSet(uint32_t mask) const;

private:
    uint32_t bits = 0;
};
