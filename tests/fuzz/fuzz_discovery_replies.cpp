// Replies of Ethernet devices to the TCP/IP discovery query. A reply that
// reaches the serial number names a TCP/IP device at the sender's address:
// module and router address from byte 1, the port from bytes 2-3 and the
// serial number (also the router's) from bytes 4-7, both little-endian, the
// model from byte 12 (255 when the reply ends before it), nothing else set.
// A shorter reply names nothing and leaves the caller's specifier alone;
// bytes past the query's 16 count for nothing. The input is the sender's
// address, then the reply.
#include "common/aDiscovery.h"
#include "tests/fuzz/support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint32_t sender = input.word();
    // A copy of its own, so that a read past the reply shows.
    const fuzz::Bytes reply = input.rest();
    linkSpec spec;
    std::memset(&spec, 0xA5, sizeof spec);
    const linkSpec untouched = spec;
    if (!aDiscovery_TCPIPReplySpec(reply.data(), reply.size(), sender, &spec)) {
        FUZZ_CHECK(reply.size() < 8 && fuzz::same(&spec, &untouched, sizeof spec));
        return 0;
    }
    FUZZ_CHECK(reply.size() >= 8);
    linkSpec expected{};
    expected.type = TCPIP;
    expected.moduleAddress = expected.routerAddress = reply[1];
    expected.tcpPort = uint32_t(reply[2] | reply[3] << 8);
    expected.serialNumber = expected.routerSerialNumber =
        uint32_t(reply[4]) | uint32_t(reply[5]) << 8 | uint32_t(reply[6]) << 16 | uint32_t(reply[7]) << 24;
    expected.model = reply.size() > 12 ? reply[12] : 255;
    expected.ipAddress = sender;
    FUZZ_CHECK(fuzz::same(&spec, &expected, sizeof spec));

    // The same reply with other bytes past its 16th names the same device.
    if (reply.size() > 16) {
        linkSpec cut;
        FUZZ_CHECK(aDiscovery_TCPIPReplySpec(reply.data(), 16, sender, &cut));
        FUZZ_CHECK(fuzz::same(&cut, &spec, sizeof spec));
    }
    return 0;
}
