#include "cli/CommandsClass.h"

bool CommandsClass::Set(COMMANDS command)
{
    bits |= command;
    return bits != 0;
}

bool CommandsClass::IsSet(uint32_t mask) const
{
    return (bits & mask) != 0;
}
