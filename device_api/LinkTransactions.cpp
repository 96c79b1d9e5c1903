// Link: UEI requests and replies, raw command packets and the module-address
// query. Requests go on the link's outbound FIFO; replies are taken from its
// inbound FIFO by match filters, so a reply that came before the wait is
// found, and packets no filter takes stay queued for other waiters.
#include <algorithm>
#include <cstring>

#include "common/aDebug.h"
#include "common/aUEI.h"
#include "device_api/Link.h"
#include "device_api/LinkImpl.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint64_t kReplyTimeoutMs = 1000;
constexpr uint64_t kLargePayloadTimeoutMs = 4000;
constexpr uint64_t kLargePayload = 1000;
constexpr size_t kChunkPayload = 24;
constexpr uint8_t kMaxRawData = aPACKET_MAX_DATA - 1;
constexpr uint8_t kErrorReply = 0x80;
constexpr uint8_t kMoreChunks = 0x80;

bool validModule(uint8_t module)
{
    return module != 0 && (module & 1) == 0;
}

aErr putPacket(aLinkId id, uint8_t module, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(module, length, data);
    if (!packet) return aErrResource;
    aErr result = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Appends a scalar value of the record's type after the header bytes at
// data[0..at-1]; the data length, or 0 for a type without scalar form.
uint8_t putScalar(const uei& record, uint8_t* data, uint8_t at)
{
    switch (record.type) {
    case ueiTypeNone:
        return at;
    case ueiTypeByte:
        data[at] = record.value.byteVal;
        return static_cast<uint8_t>(at + 1);
    case ueiTypeShort:
        aUEI_StoreShort(data + at, record.value.shortVal);
        return static_cast<uint8_t>(at + 2);
    case ueiTypeInt:
        aUEI_StoreInt(data + at, record.value.intVal);
        return static_cast<uint8_t>(at + 4);
    default:
        return 0;
    }
}

// Byte-array chunks: up to 24 bytes each, then the sequence byte. They go
// to the link as many at a time as one pooled write holds, so that a pooled
// link sends them in few writes.
aErr sendChunks(aLinkId id, const uei& record)
{
    if (!record.value.data && record.length != 0) return aErrParam;
    constexpr size_t kBatch = aLINK_POOL_BYTES / aPACKET_MAX_WIRE;
    aPacket* chunks[kBatch] = {};
    uint8_t data[aPACKET_MAX_DATA] = {record.command, record.option, record.specifier};
    uint64_t offset = 0;
    uint32_t counter = 0;
    aErr result = aErrNone;
    do {
        size_t n = 0;
        do {
            size_t chunk = static_cast<size_t>(std::min<uint64_t>(record.length - offset, kChunkPayload));
            if (chunk) std::memcpy(data + 3, record.value.data + offset, chunk);
            uint8_t sequence = static_cast<uint8_t>(counter & 0x7F);
            if (offset + chunk < record.length) sequence |= kMoreChunks;
            data[3 + chunk] = sequence;
            chunks[n] = aPacket_CreateWithData(record.module, static_cast<uint8_t>(chunk + 4), data);
            if (!chunks[n]) result = aErrResource;
            n++;
            offset += chunk;
            counter++;
        } while (result == aErrNone && offset < record.length && n < kBatch);
        if (result == aErrNone) result = aLink_PutPackets(id, chunks, n);
        for (size_t i = 0; i < n; i++)
            if (chunks[i]) aPacket_Destroy(&chunks[i]);
    } while (result == aErrNone && offset < record.length);
    return result;
}

bool sUEIFilter(const aPacket* packet, const void* reference)
{
    auto* record = static_cast<uei*>(const_cast<void*>(reference));
    if (packet->address != record->module || packet->length <= 2) return false;
    if (packet->data[0] != record->command || packet->data[1] != record->option) return false;
    if ((packet->data[2] & 0x1F) != record->specifier) return false;
    // What the stream filter takes as a sample is never the answer to a request.
    if (Link::getStreamPacketType(packet, nullptr)) return false;
    if (packet->data[2] & kErrorReply) {
        record->specifier = packet->data[2];
        // An error reply without its code is still a failure.
        record->value.byteVal = packet->length >= 4 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
        return true;
    }
    switch (packet->length) {
    case 3:
        record->type = ueiTypeNone;
        break;
    case 4:
        record->type = ueiTypeByte;
        record->value.byteVal = packet->data[3];
        break;
    case 5:
        record->type = ueiTypeShort;
        record->value.shortVal = aUEI_RetrieveShort(packet->data + 3);
        break;
    case 7:
        record->type = ueiTypeInt;
        record->value.intVal = aUEI_RetrieveInt(packet->data + 3);
        break;
    default:
        break;
    }
    return true;
}

// The reply filter on a fresh copy of the record for each packet: a taken
// error reply changes the record's specifier, which would stop the next match.
bool sDropFilter(const aPacket* packet, const void* reference)
{
    uei scratch = *static_cast<const uei*>(reference);
    return sUEIFilter(packet, &scratch);
}

struct CommandMatch {
    const uint8_t* bytes;
    uint8_t count;
};

// A packet whose first data bytes are the match bytes; a packet shorter
// than the match has no such bytes.
bool sCommandFilter(const aPacket* packet, const void* reference)
{
    auto* match = static_cast<const CommandMatch*>(reference);
    return packet->length >= match->count && std::memcmp(packet->data, match->bytes, match->count) == 0;
}

// A caller's filter, only for packets that come from the module.
struct FromModule {
    uint8_t module;
    aPacketFilterProc filter;
    const void* reference;
};

bool sFromModuleFilter(const aPacket* packet, const void* reference)
{
    auto* wanted = static_cast<const FromModule*>(reference);
    return packet->address == wanted->module && wanted->filter(packet, wanted->reference);
}

bool MatchMagic(const aPacket* packet, const void*)
{
    return packet->length == 0;
}

} // namespace

aErr Link::sendUEI(uei record)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(record.module)) return aErrPacket;
    if (record.type == ueiTypeBytes) return sendChunks(m_impl->linkId, record);
    uint8_t data[aPACKET_MAX_DATA] = {record.command, record.option, record.specifier};
    uint8_t length = putScalar(record, data, 3);
    if (length == 0) return aErrParam;
    return putPacket(m_impl->linkId, record.module, length, data);
}

aErr Link::sendUEI(uei record, uint8_t subindex)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(record.module)) return aErrPacket;
    uint8_t data[aPACKET_MAX_DATA] = {record.command, record.option, record.specifier, subindex};
    uint8_t length = putScalar(record, data, 4);
    if (length == 0) return aErrParam;
    return putPacket(m_impl->linkId, record.module, length, data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* record)
{
    return receiveUEI(module, command, option, specifier, record, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, aPacketFilterProc filter)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(module)) return aErrPacket;
    if (!record || !filter) return aErrParam;
    uint64_t timeout = kReplyTimeoutMs;
    if (record->type == ueiTypeBytes && record->length > kLargePayload) {
        timeout = kLargePayloadTimeoutMs;
        aDebug_Printf(aDEBUG_LINKS, "receiveUEI - Expanding timeout for large payload: %lu\n",
                      static_cast<unsigned long>(timeout));
    }
    aPacket* reply = aLink_AwaitFirst(m_impl->linkId, filter, record, timeout);
    if (!reply) return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(module)) return aErrPacket;
    uei record{};
    record.module = module;
    record.command = command;
    record.option = option;
    record.specifier = specifier;
    aLink_DrainPackets(m_impl->linkId, sDropFilter, &record);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected()) return aErrConnection;
    if (length > kMaxRawData || (length != 0 && !data)) return aErrParam;
    if (!validModule(module)) return aErrPacket;
    uint8_t bytes[aPACKET_MAX_DATA] = {command};
    if (length) std::memcpy(bytes + 1, data, length);
    return putPacket(m_impl->linkId, module, static_cast<uint8_t>(length + 1), bytes);
}

namespace {

aErr awaitRaw(aLinkId id, aPacketFilterProc filter, const void* reference, uint8_t* length, uint8_t* buffer)
{
    aPacket* reply = aLink_AwaitFirst(id, filter, reference, kReplyTimeoutMs);
    if (!reply) return aErrTimeout;
    *length = reply->length;
    std::memcpy(buffer, reply->data, reply->length);
    aPacket_Destroy(&reply);
    return aErrNone;
}

} // namespace

// The match form takes its packet from any module.
aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(module)) return aErrPacket;
    if (!length || !buffer || *length > aPACKET_MAX_DATA || (*length != 0 && !match)) return aErrParam;
    CommandMatch wanted{match, *length};
    return awaitRaw(m_impl->linkId, sCommandFilter, &wanted, length, buffer);
}

aErr Link::receivePacket(uint8_t module, aPacketFilterProc accept, const void* reference, uint8_t* length,
                         uint8_t* buffer)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(module)) return aErrPacket;
    if (!accept || !length || !buffer) return aErrParam;
    FromModule wanted{module, accept, reference};
    return awaitRaw(m_impl->linkId, sFromModuleFilter, &wanted, length, buffer);
}

aErr Link::dropPackets(uint8_t module, aPacketFilterProc match, const void* reference)
{
    if (!isConnected()) return aErrConnection;
    if (!validModule(module)) return aErrPacket;
    if (!match) return aErrParam;
    FromModule wanted{module, match, reference};
    aLink_DrainPackets(m_impl->linkId, sFromModuleFilter, &wanted);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address)
{
    if (!address) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    aDebug_Printf(aDEBUG_LINKS, "getModuleAddress\n");
    const uint8_t none = 0;
    putPacket(m_impl->linkId, aLINK_ADDRESS_QUERY, 0, &none);
    aDebug_Printf(aDEBUG_LINKS, "getModuleAddress wait\n");
    aPacket* answer = aLink_AwaitFirst(m_impl->linkId, MatchMagic, nullptr, kReplyTimeoutMs);
    if (!answer) return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool on)
{
    return aLink_EnablePooledPackets(m_impl->linkId, on);
}

} // namespace Tessaline
} // namespace Zentrova
