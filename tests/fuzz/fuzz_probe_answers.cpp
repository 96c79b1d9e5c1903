// test-labels: integration netns threaded
// test-run-serial
// Answers to the loop-back probe for link-sharing servers. Whatever a server
// slot answers, discovery reports only a whole 128-byte specifier of a
// link-sharing server on this host (one of its own link types, loop-back
// address, a TCP port), exactly as it came. The answering slot is a thread of
// the target; an empty datagram is its answer of nothing, taken at once.
#include "common/aDiscovery.h"
#include "common/aMulticast.h"
#include "common/aVorneDiscovery.h"
#include "tests/fuzz/support.h"

#include <arpa/inet.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

uint32_t loopback()
{
    return htonl(INADDR_LOOPBACK);
}

uint32_t group()
{
    in_addr address{};
    inet_pton(AF_INET, aVorneDiscovery::kGroup, &address);
    return address.s_addr;
}

// Holds probe slot 0 and answers each probe with the current datagram.
class Slot {
public:
    Slot()
    {
        receiver_ = aMulticast_Create(loopback(), group(), aVorneDiscovery::kProbePort, false);
        sender_ = aMulticast_Create(loopback(), group(), aVorneDiscovery::kReplyPort, true);
        FUZZ_CHECK(receiver_ && sender_);
        std::thread([this] { serve(); }).detach();
    }
    void set(const fuzz::Bytes& datagram)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        datagram_ = datagram;
    }

private:
    void serve()
    {
        for (;;) {
            uint32_t probe = 0;
            if (aMulticast_Receive(receiver_, &probe, sizeof probe) != int(sizeof probe)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            aMulticast_Send(sender_, datagram_.data(), uint32_t(datagram_.size()));
        }
    }

    aMulticast* receiver_ = nullptr;
    aMulticast* sender_ = nullptr;
    std::mutex mutex_;
    fuzz::Bytes datagram_;
};

struct Found {
    std::vector<linkSpec> specs;
    bool count = false;
};

bool collect(const linkSpec* spec, bool* counted, void* reference)
{
    auto* found = static_cast<Found*>(reference);
    found->specs.push_back(*spec);
    *counted = found->count;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Never destroyed: its thread answers until the process ends.
    static Slot& slot = *new Slot;
    fuzz::Input input(data, size);
    Found found;
    found.count = input.byte() & 1;
    const fuzz::Bytes datagram = input.bytes(sizeof(linkSpec) + 16);
    slot.set(datagram);

    const uint8_t count = aDiscovery_Enumerate_aVorneModules(collect, &found, 0);
    FUZZ_CHECK(count == (found.count ? found.specs.size() : 0));
    FUZZ_CHECK(found.specs.size() <= 1);
    if (found.specs.empty()) {
        if (datagram.size() != sizeof(linkSpec)) return 0;
        linkSpec spec;
        std::memcpy(&spec, datagram.data(), sizeof spec);
        FUZZ_CHECK(!aVorneDiscovery::isServerSpec(spec) || spec.ipAddress != loopback());
        return 0;
    }
    const linkSpec& spec = found.specs.front();
    FUZZ_CHECK(datagram.size() == sizeof spec && fuzz::same(&spec, datagram.data(), sizeof spec));
    FUZZ_CHECK(spec.type == AVORNE_USB || spec.type == AVORNE_TCPIP || spec.type == AVORNE_SERIAL);
    FUZZ_CHECK(spec.ipAddress == loopback() && spec.tcpPort != 0 && spec.tcpPort <= 0xFFFF);
    return 0;
}
