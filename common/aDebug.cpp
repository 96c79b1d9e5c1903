#include "common/aDebug.h"

#include <cstdarg>
#include <cstdio>

bool aTessalineDebuggingEnable = false;
uint32_t aTessalineDebuggingLevel = 0;

bool aDebug_Enabled(uint32_t category)
{
    return aTessalineDebuggingEnable && (aTessalineDebuggingLevel & category);
}

void aDebug_Printf(uint32_t category, const char* format, ...)
{
    if (!aDebug_Enabled(category)) return;
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}
