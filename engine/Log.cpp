#include "engine/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

unsigned int Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

const LogPackage Log::PACKAGES[] = {
    {"DEBUG_Updater", DEBUG_Updater},
    {"DEBUG_History", DEBUG_History},
    {"DEBUG_Attributes", DEBUG_Attributes},
    {"DEBUG_BirdFile", DEBUG_BirdFile},
    {"DEBUG_Network", 0x00000010},
    {"DEBUG_ServerComm", DEBUG_ServerComm},
    {"DEBUG_Network", DEBUG_Network},
    {"DEBUG_Network_SR", DEBUG_Network_SR},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
    {"DEBUG_APP", DEBUG_APP},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial},
};
const size_t Log::PACKAGE_COUNT = sizeof PACKAGES / sizeof PACKAGES[0];

void Log::log(unsigned int package, const char* format, ...)
{
    if (package != 0 && (package & package_bitmask) == 0)
        return;

    if (timestamped && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        if (gmtime_r(&now, &utc) && strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc) > 0)
            printf("%s%s", stamp, SEPARATOR);
    }

    char text[2048];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || fh == nullptr)
        return;
    if (static_cast<size_t>(length) >= sizeof text)
        length = sizeof text - 1;
    fwrite(text, 1, static_cast<size_t>(length), fh);
}

void Log::SetOutput(FILE* out)
{
    fh = out;
}

void Log::ActivatePackage(unsigned int bits)
{
    package_bitmask |= bits;
}

void Log::DeactivatePackage(unsigned int bits)
{
    package_bitmask &= ~bits;
}
