#include "engine/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

UpdaterDisplayInterface::UpdaterDisplayInterface() : muted(false) {}

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted)
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    if (vsnprintf(text, sizeof text, format, args) < 0)
        text[0] = '\0';
    va_end(args);
    if (level == ERROR)
        error_message(text);
    else
        info_message(text);
}

void UpdaterDisplayInterface::mute_messages(bool mute)
{
    muted = mute;
}
