// Link: subscriptions to streamed values. While any exist, a filter on the
// link's reader thread takes every stream packet off the link, caches the
// latest value of each key and queues a copy for each subscriber's callback;
// a worker thread of the Link drains that ring and calls the callbacks.
#include <algorithm>
#include <chrono>

#include "common/aUEI.h"
#include "device_api/Link.h"
#include "device_api/LinkImpl.h"
#include "device_api/LinkPeers.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint8_t cmdSTREAM = 93;
constexpr uint8_t kStreamingOption = 1;
constexpr uint8_t kEnableOption = 0x81;
constexpr uint8_t kDisableOption = 0x82;
constexpr uint8_t kReplyBits = 0xC0;
constexpr uint8_t kGetBit = 0x40;
constexpr uint8_t kIndexFlag = 0x20;
constexpr uint8_t kErrorReply = 0x80;
constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kMaskCount = 15;

// The size of each kind of sample, sequence byte included.
bool _checkStreamSampleLength(size_t length, Link::STREAM_PACKET type)
{
    switch (type) {
    case Link::STREAM_PACKET_U8: return length == 14;
    case Link::STREAM_PACKET_U16: return length == 15;
    case Link::STREAM_PACKET_U32: return length == 17;
    case Link::STREAM_PACKET_SUBINDEX_U8: return length == 15;
    case Link::STREAM_PACKET_SUBINDEX_U16: return length == 16;
    case Link::STREAM_PACKET_SUBINDEX_U32: return length == 18;
    default: return false;
    }
}

// Every non-empty combination of index, option, command and subindex as
// wildcards; the module is never one.
uint64_t _getGenericStreamKeyMask(uint8_t i)
{
    if (i >= kMaskCount) return 0;
    constexpr uint64_t kSubindex = 0xFF00000000ull;
    if (i == 7) return kSubindex;
    uint8_t fields = static_cast<uint8_t>(i > 7 ? i - 7 : i + 1); // bit 0 index, 1 option, 2 command
    uint64_t mask = 0;
    if (fields & 1) mask |= 0xFF;
    if (fields & 2) mask |= 0xFF00;
    if (fields & 4) mask |= 0xFF0000;
    return i > 7 ? mask | kSubindex : mask;
}

bool matches(uint8_t field, uint8_t filter)
{
    return filter == kAny || field == filter;
}

// The device's code of an error reply, else 0. An error reply whose code
// reads 0 is still a failure.
aErr replyError(const uei& reply)
{
    if (!(reply.specifier & kErrorReply)) return aErrNone;
    return reply.value.byteVal ? static_cast<aErr>(reply.value.byteVal) : aErrUnknown;
}

} // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(module) << 24
           | static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element)
{
    switch (element) {
    case STREAM_KEY_MODULE: return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_CMD: return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION: return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX: return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX: return static_cast<uint8_t>(key >> 32);
    default: return 0;
    }
}

bool Link::isStreamPacket(const aPacket* packet)
{
    return aUEI_isStreamPacket(packet);
}

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type)
{
    STREAM_PACKET found = STREAM_PACKET_NONE;
    if (isStreamPacket(packet)) {
        uint8_t kind = packet->data[3];
        if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet))
            found = STREAM_PACKET_BYTES;
        else if (kind >= STREAM_PACKET_U8 && kind <= STREAM_PACKET_SUBINDEX_U32)
            found = static_cast<STREAM_PACKET>(kind);
    }
    if (type) *type = found;
    return found != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET type)
{
    return type >= STREAM_PACKET_SUBINDEX_U8 && type <= STREAM_PACKET_SUBINDEX_U32;
}

bool Link::isStreamSample(const aPacket* packet)
{
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type) || type == STREAM_PACKET_BYTES) return false;
    return packet->data[packet->length - 1] == 0 && _checkStreamSampleLength(packet->length, type);
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex)
{
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type)) return aErrPacket;
    if (type == STREAM_PACKET_BYTES) return aErrSize;
    if (!isStreamSample(packet)) return aErrPacket;
    const bool withSubindex = isSubindexType(type);
    const uint8_t* time = packet->data + (withSubindex ? 5 : 4);
    const uint8_t* bytes = time + 8;
    if (timestamp) *timestamp = static_cast<uint64_t>(aUEI_RetrieveInt(time)) << 32 | aUEI_RetrieveInt(time + 4);
    if (value) {
        switch (withSubindex ? type - 4 : type) {
        case STREAM_PACKET_U8: *value = bytes[0]; break;
        case STREAM_PACKET_U16: *value = aUEI_RetrieveShort(bytes); break;
        default: *value = aUEI_RetrieveInt(bytes); break;
        }
    }
    if (subindex) *subindex = withSubindex ? packet->data[4] : 0;
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low)
{
    if (high) *high = static_cast<uint32_t>(timestamp >> 32);
    if (low) *low = static_cast<uint32_t>(timestamp);
}

bool Link::linkStreamFilter(const aPacket* packet, void* reference)
{
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type)) return false;
    auto* self = static_cast<Link::impl*>(reference);
    const uint8_t subindex = isSubindexType(type) ? packet->data[4] : 0;
    const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
                                         packet->data[2] & 0x1F, subindex);
    uint32_t value = 0;
    const bool decoded = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

    std::lock_guard<std::mutex> lock(self->streamsLock);
    auto& streams = self->streams;
    auto exact = streams.find(key);
    if (exact != streams.end()) {
        self->queueAsyncCallback(exact, packet);
        if (decoded) {
            exact->second.value = value;
            exact->second.held = true;
            exact->second.fresh = true;
        }
    }
    // A key whose own fields hold 0xFF (a subindex of 0xFF) gives the same
    // key under several masks: each subscription takes a sample once.
    uint64_t looked[kMaskCount + 1] = {key};
    size_t lookedCount = 1;
    bool covered = false;
    for (uint8_t i = 0; i < kMaskCount; i++) {
        const uint64_t generic = key | _getGenericStreamKeyMask(i);
        if (std::find(looked, looked + lookedCount, generic) != looked + lookedCount) continue;
        looked[lookedCount++] = generic;
        auto hit = streams.find(generic);
        if (hit == streams.end()) continue;
        self->queueAsyncCallback(hit, packet);
        covered = true;
    }
    if (exact == streams.end() && covered && decoded) {
        StreamEntry entry;
        entry.key = key;
        entry.held = true;
        entry.fresh = true;
        entry.value = value;
        streams.emplace(key, entry);
    }
    return true;
}

void Link::impl::queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet)
{
    if (!entry->second.callback) return;
    asyncPacket pending;
    pending.packet = aPacket_Copy(packet);
    if (!pending.packet) return;
    pending.callback = entry->second.callback;
    pending.reference = entry->second.reference;
    pending.subscription = entry->second.subscription;
    if (!delivery->queue.push(pending)) aPacket_Destroy(&pending.packet);
}

void Link::impl::asyncWork(std::shared_ptr<StreamDelivery> delivery)
{
    StreamDelivery& d = *delivery;
    while (!d.stop) {
        asyncPacket pending;
        while (!d.stop && d.queue.pop(&pending)) {
            bool live;
            {
                std::lock_guard<std::mutex> lock(d.lock);
                live = d.live.count(pending.subscription) != 0;
                if (live) d.running = pending.subscription;
            }
            if (live) pending.callback(pending.packet, pending.reference);
            aPacket_Destroy(&pending.packet);
            pending = asyncPacket();
            if (live) {
                std::lock_guard<std::mutex> lock(d.lock);
                d.running = 0;
                d.idle.notify_all();
            }
        }
        if (!d.stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Samples not reached before the stop are not delivered.
    asyncPacket pending;
    while (d.queue.pop(&pending)) aPacket_Destroy(&pending.packet);
}

void Link::impl::endSubscriptions(const std::vector<uint64_t>& ended)
{
    if (ended.empty()) return;
    std::unique_lock<std::mutex> lock(delivery->lock);
    for (uint64_t subscription : ended) delivery->live.erase(subscription);
    // A callback that ends a subscription runs on the worker, which cannot
    // wait for itself.
    if (!worker || worker->get_id() == std::this_thread::get_id()) return;
    delivery->idle.wait(lock, [&] {
        return std::find(ended.begin(), ended.end(), delivery->running) == ended.end();
    });
}

void Link::impl::stopWorker()
{
    if (!worker) return;
    delivery->stop = true;
    if (worker->get_id() == std::this_thread::get_id()) worker->detach();
    else worker->join();
    delete worker;
    worker = nullptr;
}

void Link::impl::dropCachedValues()
{
    std::lock_guard<std::mutex> lock(streamsLock);
    for (auto at = streams.begin(); at != streams.end();) {
        if (at->second.subscription == 0) {
            at = streams.erase(at);
        } else {
            // A subscription's own key keeps no value across the reset either.
            at->second.held = false;
            at->second.fresh = false;
            ++at;
        }
    }
}

aErr Link::impl::installStreamFilter(bool on)
{
    if (on) {
        if (linkId == 0) return aErrConnection;
        // The link of an earlier connection may live on for other Links.
        if (filterLinkId != 0 && filterLinkId != linkId) LinkPeers::leaveStreams(filterLinkId, this);
        if (filterLinkId != linkId) {
            filterLinkId = 0;
            aErr result = LinkPeers::joinStreams(linkId, this);
            if (result != aErrNone) return result;
            filterLinkId = linkId;
        }
        if (!worker) {
            delivery->stop = false;
            worker = new std::thread(asyncWork, delivery);
        }
        return aErrNone;
    }
    // Off also without a link: the worker must end before the ring goes,
    // and other Links on the link keep their samples.
    aErr result = linkId == 0 ? aErrConnection : aErrNone;
    if (filterLinkId != 0) {
        LinkPeers::leaveStreams(filterLinkId, this);
        filterLinkId = 0;
    }
    std::vector<uint64_t> ended;
    {
        std::lock_guard<std::mutex> lock(streamsLock);
        for (const auto& entry : streams)
            if (entry.second.subscription) ended.push_back(entry.second.subscription);
        streams.clear();
    }
    endSubscriptions(ended);
    // A callback that ends the last subscription runs on the worker itself,
    // which cannot wait for its own end: it goes on until a later stop.
    if (worker && worker->get_id() != std::this_thread::get_id()) stopWorker();
    return result;
}

void Link::impl::closeDelivery()
{
    closing = true;
    installStreamFilter(false);
    // The callback that was running is over now (its worker was joined, or
    // this is that callback): what it got before it saw the close goes too.
    installStreamFilter(false);
    stopPacketLog();
}

void Link::impl::eraseStreams(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    std::vector<uint64_t> ended;
    {
        std::lock_guard<std::mutex> lock(streamsLock);
        for (uint64_t key : owner.filterActiveStreamKeys(module, command, option, index, kAny, false)) {
            auto found = streams.find(key);
            if (found->second.subscription) ended.push_back(found->second.subscription);
            streams.erase(found);
        }
    }
    endSubscriptions(ended);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock)
{
    std::unique_lock<std::mutex> guard(m_impl->streamsLock, std::defer_lock);
    if (lock) guard.lock();
    std::vector<uint64_t> keys;
    for (const auto& entry : m_impl->streams) {
        const uint64_t key = entry.first;
        if (matches(getStreamKeyElement(key, STREAM_KEY_MODULE), module)
            && matches(getStreamKeyElement(key, STREAM_KEY_CMD), command)
            && matches(getStreamKeyElement(key, STREAM_KEY_OPTION), option)
            && matches(getStreamKeyElement(key, STREAM_KEY_INDEX), index)
            && matches(getStreamKeyElement(key, STREAM_KEY_SUBINDEX), subindex))
            keys.push_back(key);
    }
    return keys;
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* reference)
{
    if (module & 1) return aErrParam;
    // A Link that is closing takes no new subscription, also from a callback.
    if (enable && m_impl->closing) return aErrConnection;
    const uint64_t key = createStreamKey(module, command, option, index, kAny);
    bool subscribed;
    std::vector<uint64_t> ended;
    {
        std::lock_guard<std::mutex> lock(m_impl->streamsLock);
        if (enable) {
            // A new registration is a new subscription: what was queued for
            // the callback it replaces is not delivered to either.
            StreamEntry& entry = m_impl->streams[key];
            if (entry.subscription) ended.push_back(entry.subscription);
            entry.key = key;
            entry.callback = std::move(callback);
            entry.reference = reference;
            entry.subscription = ++m_impl->lastSubscription;
            std::lock_guard<std::mutex> live(m_impl->delivery->lock);
            m_impl->delivery->live.insert(entry.subscription);
        } else {
            for (uint64_t covered : filterActiveStreamKeys(module, command, option, index, kAny, false)) {
                auto found = m_impl->streams.find(covered);
                if (found->second.subscription) ended.push_back(found->second.subscription);
                m_impl->streams.erase(found);
            }
        }
        subscribed = !m_impl->streams.empty();
    }
    m_impl->endSubscriptions(ended);
    aErr result = m_impl->installStreamFilter(subscribed);
    if (result == aErrNone) {
        uei request{};
        request.module = module;
        request.command = cmdSTREAM;
        request.option = enable ? kEnableOption : kDisableOption;
        request.specifier = kIndexFlag;
        request.type = ueiTypeInt;
        request.value.intVal = static_cast<uint32_t>(key);
        const uint8_t replyOption = static_cast<uint8_t>(request.option | kReplyBits);
        dropMatchingUEIPackets(module, cmdSTREAM, replyOption, 0);
        result = sendUEI(request);
        if (result == aErrNone) {
            uei reply{};
            reply.module = module;
            reply.command = cmdSTREAM;
            reply.option = replyOption;
            result = receiveUEI(module, cmdSTREAM, reply.option, 0, &reply);
            if (result == aErrNone) result = replyError(reply);
        }
    }
    if (result != aErrNone) m_impl->eraseStreams(module, command, option, index);
    return result;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value)
{
    std::lock_guard<std::mutex> lock(m_impl->streamsLock);
    auto found = m_impl->streams.find(createStreamKey(module, command, option, index, subindex));
    if (found == m_impl->streams.end() || !found->second.held) return aErrNotFound;
    if (value) *value = found->second.value;
    if (!found->second.fresh) return aErrStreamStale;
    found->second.fresh = false;
    return aErrNone;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count)
{
    if (!isConnected()) return aErrConnection;
    if (!entries || !count || capacity == 0) return aErrParam;
    *count = 0;
    std::lock_guard<std::mutex> lock(m_impl->streamsLock);
    for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
        bool wildcard = false;
        for (STREAM_KEY field : {STREAM_KEY_MODULE, STREAM_KEY_CMD, STREAM_KEY_OPTION, STREAM_KEY_INDEX,
                                 STREAM_KEY_SUBINDEX})
            wildcard = wildcard || getStreamKeyElement(key, field) == kAny;
        if (wildcard || !m_impl->streams.at(key).held) continue;
        if (*count == capacity) return aErrSize;
        entries[*count] = StreamStatusEntry{key, m_impl->streams.at(key).value};
        ++*count;
    }
    return aErrNone;
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming)
{
    if (!isConnected()) return aErrConnection;
    if (!streaming) return aErrParam;
    uei request{};
    request.module = module;
    request.command = cmdSTREAM;
    request.option = kStreamingOption | kGetBit;
    request.specifier = kIndexFlag;
    request.type = ueiTypeNone;
    dropMatchingUEIPackets(module, cmdSTREAM, kStreamingOption, 0);
    aErr result = sendUEI(request);
    if (result != aErrNone) return result;
    uei reply{};
    reply.module = module;
    reply.command = cmdSTREAM;
    reply.option = kStreamingOption;
    result = receiveUEI(module, cmdSTREAM, kStreamingOption, 0, &reply);
    if (result != aErrNone) return result;
    result = replyError(reply);
    if (result != aErrNone) return result;
    *streaming = reply.value.byteVal;
    return aErrNone;
}

} // namespace Tessaline
} // namespace Zentrova
