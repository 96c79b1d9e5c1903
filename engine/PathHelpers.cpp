#include "engine/PathHelpers.h"

#include "platform/aDirectory.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...)
{
    std::string path = first ? first : "";
    va_list components;
    va_start(components, first);
    for (const char* next; first && (next = va_arg(components, const char*));) {
        path += aDIR_PATH_SEP;
        path += next;
    }
    va_end(components);
    return path;
}
