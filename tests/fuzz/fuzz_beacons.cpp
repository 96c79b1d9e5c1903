// The content of UDP beacons that link-sharing servers of the network send.
// Discovery takes from a beacon only a whole 128-byte specifier of a
// link-sharing server (one of its own link types, an address, a TCP port),
// exactly as it came; any other content names nothing and leaves the
// caller's specifier as it was. The input is the beacon's content.
#include "common/aDiscovery.h"
#include "common/aVorneDiscovery.h"
#include "tests/fuzz/support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of its own, so that a read past the content shows.
    const fuzz::Bytes content(data, data + size);
    linkSpec spec;
    std::memset(&spec, 0xA5, sizeof spec);
    linkSpec untouched = spec;
    const bool taken = aVorneDiscovery::beaconSpec(content.data(), content.size(), &spec);
    if (!taken) {
        FUZZ_CHECK(fuzz::same(&spec, &untouched, sizeof spec));
        if (size != sizeof spec) return 0;
        linkSpec announced;
        std::memcpy(&announced, data, sizeof announced);
        const bool server = announced.type == AVORNE_USB || announced.type == AVORNE_TCPIP ||
                            announced.type == AVORNE_SERIAL;
        FUZZ_CHECK(!server || announced.ipAddress == 0 || announced.tcpPort == 0 || announced.tcpPort > 0xFFFF);
        return 0;
    }
    FUZZ_CHECK(size == sizeof spec && fuzz::same(&spec, data, sizeof spec));
    FUZZ_CHECK(spec.type == AVORNE_USB || spec.type == AVORNE_TCPIP || spec.type == AVORNE_SERIAL);
    FUZZ_CHECK(spec.ipAddress != 0 && spec.tcpPort != 0 && spec.tcpPort <= 0xFFFF);
    return 0;
}
