// Link: store slots (command 4: open a slot, move its bytes in chunks, close
// it) and factory-data items (command 0x5E, chunked, ended by a finish
// request with the total). Replies are taken from the link's inbound FIFO by
// match filters of their own, whatever address they come from.
#include <algorithm>
#include <cstring>

#include "device_api/Link.h"
#include "device_api/LinkImpl.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint8_t kStoreCommand = 4;
enum : uint8_t {
    kSlotCapacity = 1,
    kSlotSize = 2,
    kOpenRead = 3,
    kOpenWrite = 4,
    kSlotRead = 6,
    kSlotWrite = 7,
    kSlotClose = 8,
};
constexpr uint8_t kNoHandle = 255;
constexpr size_t kSlotChunk = 25;

constexpr uint8_t kFactoryCommand = 0x5E;
enum : uint8_t {
    kFactoryFirstRead = 0x40,
    kFactoryWrite = 0x10,
    kFactoryFirstWrite = 0x50,
    kFactoryFinish = 0x20,
};
constexpr uint8_t kFactoryItems = 0x0F;
constexpr size_t kFactoryChunk = 26;
// A read reply this long (26 data bytes) has more behind it.
constexpr uint8_t kFullFactoryReply = 28;
// The finish request carries the total in two bytes.
constexpr size_t kMaxFactoryTotal = 0xFFFF;

constexpr uint8_t kErrorReply = 0x80;
constexpr uint64_t kReplyMs = 1000;
constexpr uint64_t kOpenMs = 3000;

// A device error code as the result; an error reply that names no error is
// still a failure.
aErr deviceError(uint8_t code)
{
    return code != 0 ? static_cast<aErr>(code) : aErrUnknown;
}

bool isErrorReply(const aPacket* reply)
{
    return reply->data[1] & kErrorReply;
}

// The request's bytes are the reference: a store reply to its sub-command,
// with or without the error bit, for the same store and slot (capacity,
// size, opens) or the same handle (read, write, close).
bool sSlotFilter(const aPacket* packet, const void* reference)
{
    auto* request = static_cast<const uint8_t*>(reference);
    if (packet->length <= 3 || packet->data[0] != kStoreCommand) return false;
    if ((packet->data[1] & ~kErrorReply) != request[1]) return false;
    if (request[1] <= kOpenWrite) return packet->data[2] == request[2] && packet->data[3] == request[3];
    return packet->data[2] == request[2];
}

// A factory-data reply for the request's item (0 for a finish), with or
// without the error bit.
bool sFactoryFilter(const aPacket* packet, const void* reference)
{
    auto* request = static_cast<const uint8_t*>(reference);
    if (packet->length <= 1 || packet->data[0] != kFactoryCommand) return false;
    return (packet->data[1] & ~kErrorReply) == (request[1] & kFactoryItems);
}

// Queues the request; aErrResource when its packet cannot be made.
aErr queue(aLinkId id, uint8_t module, const uint8_t* data, size_t length)
{
    aPacket* packet = aPacket_CreateWithData(module, static_cast<uint8_t>(length), data);
    if (!packet) return aErrResource;
    aErr result = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Queues the request and waits for the reply that the filter takes with the
// request as reference; aErrTimeout when none comes. The caller frees *reply.
aErr exchange(aLinkId id, uint8_t module, const uint8_t* data, size_t length, aPacketFilterProc filter,
              uint64_t waitMs, aPacket** reply)
{
    *reply = nullptr;
    aErr result = queue(id, module, data, length);
    if (result != aErrNone) return result;
    *reply = aLink_AwaitFirst(id, filter, data, waitMs);
    return *reply ? aErrNone : aErrTimeout;
}

// Opens the slot for reading (mode 3) or writing (mode 4): its handle, or 255.
uint8_t sOpenSlot(aLinkId id, uint8_t module, uint8_t store, uint8_t slot, uint8_t mode)
{
    const uint8_t request[] = {kStoreCommand, mode, store, slot};
    aPacket* reply = nullptr;
    uint8_t handle = kNoHandle;
    if (exchange(id, module, request, sizeof request, sSlotFilter, kOpenMs, &reply) == aErrNone && !isErrorReply(reply)
        && reply->length >= 5)
        handle = reply->data[4];
    aPacket_Destroy(&reply);
    return handle;
}

// The close's acknowledgement is not required: without one, the result of
// queueing the request stands.
aErr sCloseSlot(aLinkId id, uint8_t module, uint8_t handle)
{
    const uint8_t request[] = {kStoreCommand, kSlotClose, handle};
    aErr result = queue(id, module, request, sizeof request);
    if (result != aErrNone) return result;
    aPacket* reply = aLink_AwaitFirst(id, sSlotFilter, request, kReplyMs);
    if (!reply) return aErrNone;
    if (reply->length != 4)
        result = aErrIO;
    else if (isErrorReply(reply))
        result = deviceError(reply->data[3]);
    aPacket_Destroy(&reply);
    return result;
}

// The capacity or size of a slot: two bytes, big-endian.
aErr slotValue(aLinkId id, uint8_t module, uint8_t store, uint8_t slot, uint8_t which, size_t* value)
{
    const uint8_t request[] = {kStoreCommand, which, store, slot};
    aPacket* reply = nullptr;
    aErr result = exchange(id, module, request, sizeof request, sSlotFilter, kReplyMs, &reply);
    if (result != aErrNone) return result;
    if (isErrorReply(reply))
        result = deviceError(reply->length >= 5 ? reply->data[4] : 0);
    else if (reply->length == 6)
        *value = static_cast<size_t>(reply->data[4] << 8 | reply->data[5]);
    else
        result = aErrUnknown;
    aPacket_Destroy(&reply);
    return result;
}

// Writes one chunk and checks its acknowledgement, which repeats the 8-bit
// sum of the chunk's bytes.
aErr writeChunk(aLinkId id, uint8_t module, uint8_t handle, const uint8_t* bytes, size_t n)
{
    uint8_t request[aPACKET_MAX_DATA] = {kStoreCommand, kSlotWrite, handle};
    std::memcpy(request + 3, bytes, n);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; i++) sum = static_cast<uint8_t>(sum + bytes[i]);
    aPacket* ack = nullptr;
    aErr result = exchange(id, module, request, n + 3, sSlotFilter, kReplyMs, &ack);
    if (result != aErrNone) return result;
    if (ack->length == 4 && isErrorReply(ack))
        result = deviceError(ack->data[3]);
    else if (ack->length != 4 || ack->data[3] != sum)
        result = aErrIO;
    aPacket_Destroy(&ack);
    return result;
}

// Reads the next chunk of an open slot into buffer, up to room bytes.
aErr readChunk(aLinkId id, uint8_t module, uint8_t handle, uint8_t* buffer, size_t room, size_t* n)
{
    const uint8_t request[] = {kStoreCommand, kSlotRead, handle};
    aPacket* reply = nullptr;
    aErr result = exchange(id, module, request, sizeof request, sSlotFilter, kReplyMs, &reply);
    if (result != aErrNone) return result;
    if (reply->length <= 3) {
        result = aErrUnknown;
    } else if (isErrorReply(reply)) {
        result = deviceError(reply->data[3]);
    } else {
        *n = std::min<size_t>(reply->length - 3, room);
        std::memcpy(buffer, reply->data + 3, *n);
    }
    aPacket_Destroy(&reply);
    return result;
}

// Ends a factory-data transfer with its total byte count.
aErr finishFactory(aLinkId id, uint8_t module, size_t total)
{
    const uint8_t request[] = {kFactoryCommand, kFactoryFinish, static_cast<uint8_t>(total >> 8),
                               static_cast<uint8_t>(total)};
    aPacket* reply = nullptr;
    aErr result = exchange(id, module, request, sizeof request, sFactoryFilter, kReplyMs, &reply);
    if (result != aErrNone) return result;
    if (reply->length == 3 && isErrorReply(reply)) result = deviceError(reply->data[2]);
    aPacket_Destroy(&reply);
    return result;
}

// The code of a factory-data error reply: its third byte.
aErr factoryError(const aPacket* reply)
{
    return deviceError(reply->length >= 3 ? reply->data[2] : 0);
}

} // namespace

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length)
{
    if (!isConnected()) return aErrConnection;
    if (!data) return aErrParam;
    aLinkId id = m_impl->linkId;
    uint8_t handle = sOpenSlot(id, module, store, slot, kOpenWrite);
    if (handle == kNoHandle) return aErrMedia;
    aErr result = aErrNone;
    for (size_t offset = 0; result == aErrNone && offset < length; offset += kSlotChunk)
        result = writeChunk(id, module, handle, data + offset, std::min(kSlotChunk, length - offset));
    aErr closed = sCloseSlot(id, module, handle);
    return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                           size_t* received)
{
    if (!isConnected()) return aErrConnection;
    if (!buffer || !received) return aErrParam;
    aLinkId id = m_impl->linkId;
    size_t size = 0;
    aErr result = slotValue(id, module, store, slot, kSlotSize, &size);
    if (result != aErrNone) return result;
    uint8_t handle = sOpenSlot(id, module, store, slot, kOpenRead);
    if (handle == kNoHandle) return aErrMedia;
    size_t wanted = std::min(size, capacity);
    size_t read = 0;
    while (result == aErrNone && read < wanted) {
        size_t n = 0;
        result = readChunk(id, module, handle, buffer + read, wanted - read, &n);
        read += n;
    }
    aErr closed = sCloseSlot(id, module, handle);
    if (result == aErrNone) result = closed;
    if (result != aErrNone) return result;
    *received = read;
    return size > capacity ? aErrOverrun : aErrNone;
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size)
{
    if (!isConnected()) return aErrConnection;
    if (!size) return aErrParam;
    return slotValue(m_impl->linkId, module, store, slot, kSlotSize, size);
}

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity)
{
    if (!isConnected()) return aErrConnection;
    if (!capacity) return aErrParam;
    return slotValue(m_impl->linkId, module, store, slot, kSlotCapacity, capacity);
}

aErr Link::getFactoryData(uint8_t module, uint8_t item, uint8_t* buffer, size_t capacity, size_t* received)
{
    if (!isConnected()) return aErrConnection;
    if (!buffer || !received || item > kFactoryItems) return aErrParam;
    aLinkId id = m_impl->linkId;
    aErr result = aErrNone;
    size_t total = 0;
    uint8_t flags = kFactoryFirstRead;
    for (uint8_t last = kFullFactoryReply; result == aErrNone && last == kFullFactoryReply; flags = 0) {
        const uint8_t request[] = {kFactoryCommand, static_cast<uint8_t>(item | flags)};
        aPacket* reply = nullptr;
        result = exchange(id, module, request, sizeof request, sFactoryFilter, kReplyMs, &reply);
        if (result != aErrNone) break;
        last = reply->length;
        size_t payload = last >= 2 ? last - 2u : 0;
        if (last <= 1)
            result = aErrUnknown;
        else if (isErrorReply(reply))
            result = factoryError(reply);
        else if (total + payload >= capacity)
            result = aErrOverrun;
        else
            std::memcpy(buffer + total, reply->data + 2, payload);
        total += payload;
        aPacket_Destroy(&reply);
    }
    if (result == aErrNone) result = finishFactory(id, module, total);
    if (result == aErrNone) *received = total;
    return result;
}

aErr Link::setFactoryData(uint8_t module, uint8_t item, const uint8_t* data, size_t length)
{
    if (!isConnected()) return aErrConnection;
    if ((!data && length != 0) || item > kFactoryItems || length > kMaxFactoryTotal) return aErrParam;
    aLinkId id = m_impl->linkId;
    aErr result = aErrNone;
    uint8_t flags = kFactoryFirstWrite;
    for (size_t offset = 0; result == aErrNone && offset < length; offset += kFactoryChunk, flags = kFactoryWrite) {
        size_t n = std::min(kFactoryChunk, length - offset);
        uint8_t request[aPACKET_MAX_DATA] = {kFactoryCommand, static_cast<uint8_t>(item | flags)};
        std::memcpy(request + 2, data + offset, n);
        aPacket* ack = nullptr;
        result = exchange(id, module, request, n + 2, sFactoryFilter, kReplyMs, &ack);
        if (result != aErrNone) break;
        if (isErrorReply(ack))
            result = factoryError(ack);
        else if (ack->length != 2)
            result = aErrSize;
        aPacket_Destroy(&ack);
    }
    if (result == aErrNone) result = finishFactory(id, module, length);
    return result;
}

} // namespace Tessaline
} // namespace Zentrova
