// Link specifiers, the enumeration dispatch and the two searches.
#include "common/aDiscovery.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <czmq.h>

linkSpec* aLinkSpec_Create(linkType type)
{
    auto* spec = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec)
{
    if (!spec) return nullptr;
    auto* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
    if (copy) std::memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec) return aErrParam;
    std::free(*spec);
    *spec = nullptr;
    return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryProc callback, void* reference,
                                    uint32_t networkInterface)
{
    if (!callback) return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSB(callback, reference);
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, reference, networkInterface);
    case AVORNE:
    case AVORNE_USB:
    case AVORNE_TCPIP:
    case AVORNE_SERIAL:
        return aDiscovery_Enumerate_aVorneModules(callback, reference, networkInterface);
    default:
        // Serial ports cannot be enumerated; other values are no transport.
        return 0;
    }
}

namespace {

// The search's own specifier: it holds the wanted serial number and receives
// the match.
bool cbSNCallback(const linkSpec* found, bool* counted, void* reference)
{
    auto* wanted = static_cast<linkSpec*>(reference);
    if (found->serialNumber != wanted->serialNumber) return true;
    *wanted = *found;
    *counted = true;
    return false;
}

bool cbFirstCallback(const linkSpec* found, bool* counted, void* reference)
{
    if (found->serialNumber == 0) return true;
    *static_cast<linkSpec*>(reference) = *found;
    *counted = true;
    return false;
}

linkSpec* search(linkType type, uint32_t serialNumber, aDiscoveryProc callback, uint32_t networkInterface)
{
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec) return nullptr;
    spec->serialNumber = serialNumber;
    if (aDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0) aLinkSpec_Destroy(&spec);
    return spec;
}

} // namespace

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    return search(type, serialNumber, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return search(type, 0, cbFirstCallback, networkInterface);
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length)
{
    if (!buffer || length <= 15) return 0;
    std::memset(buffer, 0, length);
    in_addr in{};
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, buffer, static_cast<socklen_t>(length))) return 0;
    return std::strlen(buffer);
}

size_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, size_t capacity)
{
    if (!addresses) return 0;
    size_t count = 0;
    ziflist_t* interfaces = ziflist_new();
    if (!interfaces) return 0;
    for (const char* name = ziflist_first(interfaces); name && count < capacity; name = ziflist_next(interfaces)) {
        const char* text = ziflist_address(interfaces);
        if (!text) break;
        in_addr in{};
        if (inet_pton(AF_INET, text, &in) == 1) addresses[count++] = in.s_addr;
    }
    ziflist_destroy(&interfaces);
    return count;
}
