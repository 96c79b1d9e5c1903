// The link reader: the bytes a device sends, assembled into packets, kept in
// step with the device and with heartbeats answered. Whatever arrives, each
// packet queued inbound and each heartbeat answered stands in the bytes as
// one whole packet from an even, non-zero address, in order; the packets
// that a link in step receives are all delivered, each heartbeat [A] 02 00 x
// answered with [A] 02 00 x+2. The reader runs on the target's own thread,
// over a stream that ends the run once its bytes are spent.
#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "tests/common/link_harness.h"
#include "tests/fuzz/support.h"

namespace {

struct Feed {
    fuzz::Bytes bytes;
    size_t position = 0;
    aLink* link = nullptr;

    static aErr get(uint8_t* byte, void* reference)
    {
        auto* self = static_cast<Feed*>(reference);
        if (self->position < self->bytes.size()) {
            *byte = self->bytes[self->position++];
            return aErrNone;
        }
        self->link->running = false;
        return aErrNotReady;
    }
    static aErr wait(uint32_t, void*) { return aErrTimeout; }
};

struct Wire {
    uint8_t address;
    fuzz::Bytes data;
    bool operator==(const Wire& other) const { return address == other.address && data == other.data; }
    fuzz::Bytes bytes() const
    {
        fuzz::Bytes out{address, uint8_t(data.size())};
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
};

bool isHeartbeat(const Wire& packet)
{
    return packet.data.size() == 2 && packet.data[0] == 0;
}

// Whether the packets stand in the bytes one after another, in order.
bool embedded(const fuzz::Bytes& bytes, const std::vector<Wire>& packets)
{
    auto at = bytes.begin();
    for (const Wire& packet : packets) {
        const fuzz::Bytes wire = packet.bytes();
        at = std::search(at, bytes.end(), wire.begin(), wire.end());
        if (at == bytes.end()) return false;
        at += long(wire.size());
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Feed feed;
    feed.bytes.assign(data, data + std::min<size_t>(size, 1500));
    aStream* stream = aStream_Create(Feed::get, nullptr, nullptr, nullptr, &feed);
    FUZZ_CHECK(stream && aStream_SetWaitProc(stream, Feed::wait) == aErrNone);
    linktest::TestLink link(stream);
    aLink* record = link.record();
    feed.link = record;
    record->running = true;
    record->readerProc(record);

    std::vector<Wire> inbound;
    while (aPacket* packet = aLink_GetPacket(link.id())) {
        inbound.push_back({packet->address, fuzz::Bytes(packet->data, packet->data + packet->length)});
        aPacket_Destroy(&packet);
    }
    std::vector<Wire> answers;
    while (aPacket* packet = aPacketFifo_Get(record->outbound)) {
        if (!(packet->address == aLINK_ADDRESS_QUERY && packet->length == 0))
            answers.push_back({packet->address, fuzz::Bytes(packet->data, packet->data + packet->length)});
        aPacket_Destroy(&packet);
    }
    FUZZ_CHECK(aLink_GetStatus(link.id()) != kLinkStatusFault);

    for (const Wire& packet : inbound) {
        FUZZ_CHECK(packet.address != 0 && !(packet.address & 1) && packet.data.size() <= aPACKET_MAX_DATA);
        FUZZ_CHECK(!isHeartbeat(packet));
    }
    FUZZ_CHECK(embedded(feed.bytes, inbound));
    std::vector<Wire> heartbeats;
    for (const Wire& answer : answers) {
        FUZZ_CHECK(isHeartbeat(answer));
        heartbeats.push_back({answer.address, {0, uint8_t(answer.data[1] - 2)}});
    }
    FUZZ_CHECK(embedded(feed.bytes, heartbeats));

    // The packets that the bytes begin with, which a link in step takes whole.
    std::vector<Wire> leading;
    for (size_t at = 0; at + 2 <= feed.bytes.size();) {
        const uint8_t address = feed.bytes[at], length = feed.bytes[at + 1];
        if (address == 0 || (address & 1) || length > aPACKET_MAX_DATA || at + 2 + length > feed.bytes.size()) break;
        leading.push_back({address, fuzz::Bytes(feed.bytes.begin() + long(at + 2),
                                                feed.bytes.begin() + long(at + 2 + length))});
        at += 2 + length;
    }
    size_t nextInbound = 0, nextAnswer = 0;
    for (const Wire& packet : leading) {
        if (isHeartbeat(packet)) {
            FUZZ_CHECK(nextAnswer < answers.size());
            FUZZ_CHECK(answers[nextAnswer++] == (Wire{packet.address, {0, uint8_t(packet.data[1] + 2)}}));
        } else {
            FUZZ_CHECK(nextInbound < inbound.size() && inbound[nextInbound++] == packet);
        }
    }
    return 0;
}
