// Link: the object handle of one connection to a Tessaline device. It holds one
// use of a link of the link table, made by discovery, from a stored link
// specifier or by sharing another Link's link, and carries UEI requests and
// replies, raw command packets and the module-address query over it, and
// keeps the subscriptions to values the device streams, with their latest
// values and the callbacks that a worker thread of the Link calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aError.h"
#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"

// Link-sharing settings of a Link or Module; copied whole wherever it goes.
struct aVorneConfig {
    uint8_t enabled = 1;   // wrap direct links in a link-sharing server; allow links of types 4 to 7
    uint8_t fallback = 1;  // after a failed discover-and-connect, try once over the other kind of link
    uint8_t localOnly = 1; // the server serves the loop-back interface only
    uint16_t tcpPort = 0;  // the server's port (0: chosen, then written back); the client's server port
    uint32_t ipAddress = 0x0100007F; // IPv4, network byte order: 127.0.0.1
};

// Value types of a UEI transaction.
enum : uint32_t {
    ueiTypeNone = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// One UEI transaction: filled by the caller, read by the send operations,
// written by the reply filter with the decoded reply.
struct uei {
    uint8_t module;    // destination module address: even and non-zero
    uint8_t command;   // entity class
    uint8_t option;    // request: with the get (0x40) or set (0x80) bit; reply filter: the exact option byte
    uint8_t specifier; // entity index in bits 0-4; request: with 0x20; reply: bit 7 marks an error reply
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        const uint8_t* data; // byte array to send
        uint8_t* cursor;     // receiving a byte array: where the next bytes go
    } value;               // after an error reply byteVal holds the device's code
    uint8_t sequence;      // receiving a byte array: the chunk expected next
    uint8_t more;          // receiving a byte array: continue flag of the last chunk taken
    uint64_t length;       // byte array: length to send, or room in the receive buffer
    uint64_t* received;    // receiving a byte array: bytes received are added up here
    uint32_t type;         // ueiType...
};

namespace Zentrova {
namespace Tessaline {

// Called on a Link's worker thread with a copy of each streamed sample and
// the reference given at subscription; the result is not used.
using StreamCallback = std::function<uint8_t(const aPacket* packet, void* reference)>;

class Link {
public:
    // Fields of a stream key (module, command, option, index, subindex); 0xFF
    // in a field of a subscription key stands for any value.
    enum STREAM_KEY { STREAM_KEY_MODULE, STREAM_KEY_CMD, STREAM_KEY_OPTION, STREAM_KEY_INDEX, STREAM_KEY_SUBINDEX };
    // Kinds of stream packet: a value of 8, 16 or 32 bits, with or without a
    // subindex, or a byte array.
    enum STREAM_PACKET {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_U8 = 1,
        STREAM_PACKET_U16 = 2,
        STREAM_PACKET_U32 = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_SUBINDEX_U8 = 5,
        STREAM_PACKET_SUBINDEX_U16 = 6,
        STREAM_PACKET_SUBINDEX_U32 = 7,
    };
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };

    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Configuration and specifier.
    aErr getConfig(aVorneConfig* config);
    aErr setConfig(aVorneConfig config);
    aErr getLinkSpecifier(linkSpec* spec);
    aErr setLinkSpecifier(linkSpec spec);
    const char* getName();

    // Connecting. Serial number 0 takes the first device of the model (model 0: any).
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    aErr connect();
    aErr connectThroughLinkModule(Link& other);
    // True only while the link engine reports the link running.
    bool isConnected();
    aLinkStatus getStatus();
    aErr disconnect();
    aErr reset();

    // UEI requests and replies.
    aErr sendUEI(uei record);
    aErr sendUEI(uei record, uint8_t subindex);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* record);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* record,
                    aPacketFilterProc filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);

    // Raw packets: [command, data] out; a reply whose first *length data
    // bytes equal match in, with its data length in *length and its data in
    // buffer (room for 28 bytes).
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);
    // The first packet from the module that accept takes, within the reply
    // time: its data length in *length and its data in buffer (28 bytes).
    aErr receivePacket(uint8_t module, aPacketFilterProc accept, const void* reference, uint8_t* length,
                       uint8_t* buffer);
    // Drops every queued packet from the module that match takes: what an
    // earlier request left behind cannot answer the next one.
    aErr dropPackets(uint8_t module, aPacketFilterProc match, const void* reference);

    // The address of the module that answers on this link.
    aErr getModuleAddress(uint8_t* address);
    aErr enablePooledPackets(bool on);

    // Store slots (command 4): a whole slot written or read through a
    // handle, in chunks; its size and capacity.
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    // aErrOverrun, with the first capacity bytes delivered, when the slot holds more.
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                         size_t* received);
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
    // Factory-data items 0 to 15 (command 0x5E). A read needs a buffer larger
    // than the item: one that is just full answers aErrOverrun.
    aErr getFactoryData(uint8_t module, uint8_t item, uint8_t* buffer, size_t capacity, size_t* received);
    aErr setFactoryData(uint8_t module, uint8_t item, const uint8_t* data, size_t length);

    // Packet log: a line in the file for every packet the link sends and
    // receives, written by a logger thread of this Link. aErrConfiguration
    // without a link; aErrIO when the file cannot be opened.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Stream subscriptions: a subscription covers every subindex, and 0xFF in
    // command, option or index any value. A disable drops every subscription
    // and cached value it covers.
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                StreamCallback callback, void* reference);
    // A subscription that only caches the values.
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // The latest streamed value of one key: 0 when it is new (it is then
    // marked read), aErrStreamStale when it was read before, aErrNotFound
    // when none came.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);
    // The cached values whose keys match the filters (0xFF: any).
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry* entries, size_t capacity, size_t* count);
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock);
    // Whether the module streams (stream-control entity, option 1).
    aErr isLinkStreaming(uint8_t module, uint8_t* streaming);

    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
    static bool isStreamPacket(const aPacket* packet);
    static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    // A value sample of the sizes the kinds fix, ending in a sequence byte 0.
    static bool isStreamSample(const aPacket* packet);
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
    // The link's user packet filter while subscriptions exist: takes every
    // stream packet off the link; reference is the Link's private part.
    static bool linkStreamFilter(const aPacket* packet, void* reference);

    class impl;

private:
    impl* m_impl;
};

} // namespace Tessaline
} // namespace Zentrova
