#include "common/aLinkCreate.h"

#include <atomic>
#include <utility>

#include "common/aKeyedSections.h"
#include "common/aLink.h"
#include "common/aPacketFifo.h"
#include "common/aServer.h"
#include "common/aStream_ZeroMQClient.h"
#include "platform/aMutex.h"
#include "platform/aStreamUSB.h"
#include "platform/aStreamsocket.h"
#include "platform/aTime.h"
#include "platform/unix_streamserial.h"

namespace {

constexpr int kResetTries = 20;
constexpr uint64_t kResetPauseMs = 100;
// A reset's try at a client link counts once the server has taken the
// connection: a client stream is made whether or not anybody listens.
constexpr uint32_t kClientConnectWaitMs = 1000;
constexpr int kConfigureTries = 5;
constexpr uint64_t kConfigurePauseMs = 10;
constexpr uint64_t kQueryWaitMs = 1000;
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kModelOption = 8;

// Resets of one link run one at a time: two holders resetting it at once
// would both release its stream and both start it again. Resets of other
// links go on meanwhile.
aKeyedSections<aLinkId>& sResets()
{
    static auto* sections = new aKeyedSections<aLinkId>; // outlives static destruction
    return *sections;
}

// Creates of one device's link run one at a time: two at once would both find
// no link and make one each, and a device that takes one connection at a time
// would drop the first one's for the second. Creates for other devices go on
// meanwhile.
class OneCreatePerDevice {
public:
    OneCreatePerDevice(linkType type, uint32_t identifier) : section_(sections(), {type, identifier}) {}

private:
    using Key = std::pair<linkType, uint32_t>;
    static aKeyedSections<Key>& sections()
    {
        static auto* all = new aKeyedSections<Key>; // outlives static destruction
        return *all;
    }
    aKeyedSections<Key>::Section section_;
};

// The serial stream's baud index of each rate is its position here.
constexpr uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

bool sBaudIndex(uint32_t rate, uint32_t* index)
{
    for (uint32_t i = 0; i < sizeof kBaudRates / sizeof kBaudRates[0]; i++) {
        if (kBaudRates[i] == rate) {
            *index = i;
            return true;
        }
    }
    return false;
}

// Gives a new entry for the stream, initialises and starts its link and, when
// asked, brings it in step with the device. The link gets its first use only
// once all of that succeeded, so that no reuse finds it half made. On failure
// the link is torn down, stream included, and the result is 0.
aLinkId sCreateLink(aStream* stream, linkType type, uint32_t identifier1, uint32_t identifier2,
                    uint32_t identifier3, bool sync)
{
    aLinkId id = sCreate2(identifier1, identifier2, identifier3, type);
    if (!id) {
        if (stream)
            aStream_Destroy(&stream);
        return 0;
    }
    aErr err = aLink_Init(id, stream) == id ? aErrNone : aErrConnection;
    if (err == aErrNone)
        err = aLink_Start(id);
    if (err == aErrNone && sync)
        err = aLink_Sync(id);
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

bool sIsClientType(linkType type)
{
    return type >= AVORNE && type <= AVORNE_SERIAL;
}

// Links whose stream can be made again from their entry's identifiers: a
// client link reconnects to the server's address and port. A serial link's
// entry keeps neither port nor rate, and a caller's stream cannot be made
// again.
bool sReopenable(linkType type)
{
    return type == USB || type == TCPIP || sIsClientType(type);
}

// A client link's stream to its server, connected, and subscribed there as
// the stream it replaces was.
aErr sOpenClientStream(const aLinkEntry& entry, aStream** stream)
{
    aErr err = aStream_CreateClient(entry.identifier1, static_cast<uint16_t>(entry.identifier2), stream);
    if (err != aErrNone)
        return err;
    err = aStream_ClientAwaitConnection(*stream, kClientConnectWaitMs);
    if (err == aErrNone && entry.subscriptionLength)
        err = aStream_ClientResubscribe(*stream, entry.subscription, entry.subscriptionLength);
    if (err != aErrNone)
        aStream_Destroy(stream);
    return err == aErrTimeout ? aErrConnection : err;
}

// Opens the stream of a link from its entry's identifiers.
aErr sOpenStream(const aLinkEntry& entry, aStream** stream)
{
    switch (entry.type) {
    case USB:
        return aStream_CreateUSB(entry.identifier1, stream);
    case TCPIP:
        return aStream_CreateSocket(entry.identifier2, static_cast<uint16_t>(entry.identifier3), stream);
    case AVORNE:
    case AVORNE_USB:
    case AVORNE_TCPIP:
    case AVORNE_SERIAL:
        return sOpenClientStream(entry, stream);
    default:
        return aErrParam;
    }
}

void sDropFifos(aLink* link)
{
    for (std::atomic<aPacketFifoId>* fifo : {&link->inbound, &link->outbound}) {
        aPacketFifoId id = fifo->exchange(0);
        if (id)
            aPacketFifo_Destroy(&id);
    }
}

// Once this returns the link's user filter is not running and is not called again.
void sRemoveUserFilter(aLink* link)
{
    aMutex_Lock(link->userFilterSema);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    aMutex_Unlock(link->userFilterSema);
}

aErr aLink_ResetLink(aLinkEntry* entry, aLink* link);

// The device link behind a server's own client link, when the server stopped
// serving because the device went away: made anew, and the server serves
// again on its port, so that the client links can connect again. A device
// link that is still served is left alone: other clients use it.
void sRestoreServedDevice(aLinkId device)
{
    aLinkUse use(device);
    aLinkEntry* entry = use.entry();
    if (!entry || !entry->server || !entry->server->stoppedServing)
        return;
    aKeyedSections<aLinkId>::Section one(sResets(), device);
    if (aLink_ResetLink(entry, use.link()) == aErrNone)
        aServer_Resume(entry->server);
}

// Resets the link of one entry, of which the caller holds a use (aLinkUse).
aErr aLink_ResetLink(aLinkEntry* entry, aLink* link)
{
    if (!entry || !link || link->check != aLINK_CHECK)
        return aErrParam;
    // Checked before anything is stopped: a link that cannot be made again
    // keeps running as it was.
    if (!sReopenable(entry->type))
        return aErrParam;
    if (sIsClientType(entry->type) && entry->parent)
        sRestoreServedDevice(entry->parent);

    aLink_Stop(link);
    sDropFifos(link);
    // The subscription of a client link at its server is kept for the new
    // connection (the server knows a client by its connection).
    if (sIsClientType(entry->type) && link->stream)
        entry->subscriptionLength = static_cast<uint8_t>(
            aStream_ClientSubscription(link->stream, entry->subscription, sizeof entry->subscription));
    if (link->stream)
        aStream_Destroy(&link->stream);

    aStream* stream = nullptr;
    aErr err = aErrNone;
    for (int tries = 0; tries < kResetTries; tries++) {
        err = sOpenStream(*entry, &stream);
        if (err == aErrNone)
            break;
        aTime_MSSleep(kResetPauseMs);
    }
    if (err != aErrNone)
        return err;
    if (aLink_Init(entry->id, stream) != entry->id) {
        if (link->stream != stream)
            aStream_Destroy(&stream);
        return aErrResource;
    }
    // A link-sharing server keeps taking the device's stream packets: its
    // filter, which the new start cleared, goes back on before the link runs.
    if (entry->server)
        aServer_ReinstallFilter(entry->server);
    return aLink_Start(entry->id);
}

// Queues the request and waits for the packet that the filter takes; stale
// packets are emptied first, so that only an answer to this request counts.
aPacket* sQuery(aLinkId id, uint8_t address, uint8_t length, const uint8_t* data, aPacketFilterProc filter,
                const void* reference)
{
    aLink_DrainPackets(id, drainAll, nullptr);
    const uint8_t none = 0;
    aPacket* request = aPacket_CreateWithData(address, length, data ? data : &none);
    if (!request)
        return nullptr;
    aErr err = aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    if (err != aErrNone)
        return nullptr;
    return aLink_AwaitFirst(id, filter, reference, kQueryWaitMs);
}

bool sIsAddressAnswer(const aPacket* packet, const void*)
{
    return packet->length == 0;
}

bool sIsModelAnswer(const aPacket* packet, const void* reference)
{
    const uint8_t address = *static_cast<const uint8_t*>(reference);
    return packet->address == address && packet->length == 4 && packet->data[0] == kSystemCommand &&
           (packet->data[1] & 0x1F) == kModelOption;
}

// One try at telling the server the device's module address and model,
// asked through the server's own client link.
aErr sConfigureServer(aLinkId client, aServer* server)
{
    uint8_t address = 0;
    aErr err = aErrTimeout;
    if (aPacket* answer = sQuery(client, aLINK_ADDRESS_QUERY, 0, nullptr, sIsAddressAnswer, nullptr)) {
        address = answer->address;
        err = address != 0 ? aErrNone : aErrIO;
        if (err != aErrNone)
            address = 0;
        aPacket_Destroy(&answer);
    }
    aServer_SetModuleAddress(server, address);
    if (err == aErrNone) {
        const uint8_t query[] = {kSystemCommand, 0x40 | kModelOption, 0x20};
        uint8_t model = 0;
        err = aErrTimeout;
        if (aPacket* answer = sQuery(client, address, sizeof query, query, sIsModelAnswer, &address)) {
            model = answer->data[3];
            err = aErrNone;
            aPacket_Destroy(&answer);
        }
        aServer_SetModel(server, model);
    }
    if (err != aErrNone)
        aServer_FlushFIFO(server);
    return err;
}

} // namespace

aLinkId aLink_CreateClient(uint32_t address, uint16_t port, aLinkId existing)
{
    if (existing)
        return sAddUseByID(existing);
    const int count = _clientCount.fetch_add(1);
    aStream* stream = nullptr;
    if (aStream_CreateClient(address, port, &stream) != aErrNone)
        return 0;
    // Not synchronised now: the reader falls into step by itself.
    return sCreateLink(stream, AVORNE, address, port, static_cast<uint32_t>(count), false);
}

aErr aLink_AwaitClientConnection(aLinkId id, uint32_t timeoutMs)
{
    aLinkUse use(id);
    if (!use.entry() || !sIsClientType(use.entry()->type) || !use.link() || use.link()->check != aLINK_CHECK)
        return aErrParam;
    return aStream_ClientAwaitConnection(use.link()->stream, timeoutMs);
}

aLinkId aLink_CreateServer(aLinkId device, uint16_t* port, uint32_t* networkInterface, uint8_t flags)
{
    if (!port || !networkInterface || !device)
        return 0;
    aServer* server = aServer_Create(device, *networkInterface, flags);
    if (!server)
        return 0;
    if (!sAttachServer(device, server)) {
        // Served already, or held by another user directly.
        aServer_Destroy(&server);
        return 0;
    }
    uint16_t served = 0;
    uint32_t local = *networkInterface;
    if (aServer_Start(server) != aErrNone || aServer_GetPort(server, &served) != aErrNone ||
        aServer_GetInterface(server, &local) != aErrNone)
        return 0;
    aLinkId client = aLink_CreateClient(local, served, 0);
    aLinkEntry* entry = client ? sLookupEntryByID(client) : nullptr;
    if (!entry)
        return 0;
    entry->parent = device;
    aErr err = aErrTimeout;
    for (int tries = 0; tries < kConfigureTries; tries++) {
        err = sConfigureServer(client, server);
        // A device that did not answer at all is not asked again: the
        // creation lock of the caller is held meanwhile.
        if (err == aErrNone || err == aErrTimeout)
            break;
        aTime_MSSleep(kConfigurePauseMs);
    }
    if (err != aErrNone) {
        // The caller keeps its use of the device link and gives it back:
        // the client link's destroy must not drop it a second time.
        entry->parent = 0;
        aLink_Destroy(&client);
        return 0;
    }
    *port = served;
    *networkInterface = local;
    return client;
}

aLinkId aLink_CreateSharedUse(linkType type, uint32_t serialNumber)
{
    return sAddUseOfServed(serialNumber, type);
}

aLinkId aLink_CreateUSB(uint32_t serialNumber)
{
    OneCreatePerDevice one(USB, serialNumber);
    bool found = false;
    aLinkId reused = sAddUseByIdentifier(serialNumber, USB, true, &found);
    if (found)
        return reused;
    aStream* stream = nullptr;
    if (aStream_CreateUSB(serialNumber, &stream) != aErrNone)
        return 0;
    return sCreateLink(stream, USB, serialNumber, 0, 0, true);
}

aLinkId aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    OneCreatePerDevice one(TCPIP, serialNumber);
    bool found = false;
    aLinkId reused = sAddUseByIdentifier(serialNumber, TCPIP, true, &found);
    if (found)
        return reused;
    aStream* stream = nullptr;
    if (aStream_CreateSocket(address, port, &stream) != aErrNone)
        return 0;
    // Not synchronised now: the reader falls into step by itself on the first
    // stray byte.
    return sCreateLink(stream, TCPIP, serialNumber, address, port, false);
}

aLinkId aLink_CreateSerial(uint32_t serialNumber, const char* path, uint32_t baudRate)
{
    OneCreatePerDevice one(SERIAL, serialNumber);
    bool found = false;
    // A served serial link is not handed out behind its server's back.
    aLinkId reused = sAddUseByIdentifier(serialNumber, SERIAL, true, &found);
    if (found)
        return reused;
    uint32_t baudIndex = 0;
    if (!sBaudIndex(baudRate, &baudIndex))
        return 0;
    aStream* stream = nullptr;
    if (aStream_CreateSerial_Packetized(path, baudIndex, false, 0, 0, &stream) != aErrNone)
        return 0;
    return sCreateLink(stream, SERIAL, serialNumber, 0, 0, false);
}

aLinkId aLink_Create(aStream* stream)
{
    return sCreateLink(stream, INVALID, 0xFFFFFFFF, 0, 0, false);
}

aErr aLink_Destroy(aLinkId* id)
{
    if (!id)
        return aErrParam;
    aLinkId which = *id;
    *id = 0;
    // The use count's decrease, its test and the unlinking of the last entry
    // are one step, so that of two holders destroying at once exactly one
    // tears the link down, and no reuse can take the entry meanwhile.
    aLinkEntry* last = nullptr;
    aErr err = sReleaseUse(which, &last);
    if (err != aErrNone || !last)
        return err;

    aErr result = aErrUnknown;
    aLink* link = last->link;
    if (link && link->check == aLINK_CHECK) {
        sRemoveUserFilter(link);
        // The server goes before the link stops, so that no client's packet
        // follows force route off.
        if (last->server)
            aServer_Destroy(&last->server);
        // Force route off goes out on the record's own FIFO, so it is still
        // sent although the entry is out of the table.
        aLink_Stop(link);
        result = aLink_Release(link);
    } else if (last->server) {
        aServer_Destroy(&last->server);
    }
    // A server's own client link held the use of the device link behind it.
    aLinkId parent = last->parent;
    sFreeEntry(&last);
    if (parent)
        aLink_Destroy(&parent);
    return result;
}

aErr aLink_Reset(aLinkId id)
{
    aKeyedSections<aLinkId>::Section one(sResets(), id);
    aLinkUse use(id);
    return aLink_ResetLink(use.entry(), use.link());
}
