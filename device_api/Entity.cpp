// EntityClass: UEI get, set and call of an entity's options, byte-array
// reads, and the store commands.
#include "device_api/Entity.h"

#include <cstring>
#include <type_traits>

#include "common/aUEI.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint8_t cmdSTORE = 92;
constexpr uint8_t kGetBit = 0x40;
constexpr uint8_t kSetBit = 0x80;
constexpr uint8_t kSetReply = 0xC0;
constexpr uint8_t kIndexFlag = 0x20;
constexpr uint8_t kErrorReply = 0x80;
constexpr uint8_t kIndexBits = 0x1F;
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreFactory = 1;
constexpr uint8_t kStoreLoad = 2;

uei scalar(uint32_t type)
{
    uei record{};
    record.type = type;
    return record;
}

// The value field of a record that holds a value of 8, 16 or 32 bits.
template <typename T>
T& valueOf(uei& record)
{
    static_assert(std::is_same_v<T, uint8_t> || std::is_same_v<T, uint16_t> || std::is_same_v<T, uint32_t>);
    if constexpr (std::is_same_v<T, uint8_t>) return record.value.byteVal;
    else if constexpr (std::is_same_v<T, uint16_t>) return record.value.shortVal;
    else return record.value.intVal;
}

// A record of the value's type that carries the value.
template <typename T>
uei scalarOf(T value)
{
    uei record = scalar(std::is_same_v<T, uint8_t> ? ueiTypeByte : std::is_same_v<T, uint16_t> ? ueiTypeShort : ueiTypeInt);
    valueOf<T>(record) = value;
    return record;
}

// A get of a value of 8, 16 or 32 bits: request is a record of no type, or a
// byte record holding the subindex. The value is stored on 0 and on
// aErrStreamStale.
template <typename T>
aErr getScalar(EntityClass& entity, uint8_t option, uei request, T* value)
{
    if (!value) return aErrParam;
    aErr result = entity.getUEI(option, &request);
    if (result == aErrNone || result == aErrStreamStale) *value = valueOf<T>(request);
    return result;
}

// The device's code of an error reply the filter took, else 0. An error
// reply whose code reads 0 is still a failure.
aErr replyError(const uei& record)
{
    if (!(record.specifier & kErrorReply)) return aErrNone;
    return record.value.byteVal ? static_cast<aErr>(record.value.byteVal) : aErrUnknown;
}

// A reply is only ever the answer to the request it belongs to: replies to an
// earlier request of the same kind, which came after its wait had ended, go
// before the request is sent.
void dropStaleReplies(Link& link, uint8_t module, uint8_t command, uint8_t replyOption, uint8_t index)
{
    link.dropMatchingUEIPackets(module, command, replyOption, index);
}

void markError(uei* record, uint8_t code)
{
    record->specifier |= kErrorReply;
    record->value.byteVal = code;
}

} // namespace

class EntityClass::impl {
public:
    explicit impl(EntityClass& entity) : owner(entity) {}

    // The module's Link, or null when the entity cannot talk to a device.
    Link* link() const { return module ? module->getLink() : nullptr; }
    uint8_t address() const { return module->getModuleAddress(); }

    EntityClass& owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl(*this)) {}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->index;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->sendPacket(m_impl->address(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->receivePacket(m_impl->address(), match, length, buffer);
}

aErr EntityClass::receivePacket(aPacketFilterProc accept, const void* reference, uint8_t* length, uint8_t* buffer)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->receivePacket(m_impl->address(), accept, reference, length, buffer);
}

aErr EntityClass::dropPackets(aPacketFilterProc match, const void* reference)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->dropPackets(m_impl->address(), match, reference);
}

aErr EntityClass::getUEI(uint8_t option, uei* record)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    if (!record) return aErrParam;
    const uint8_t module = m_impl->address();
    const uint8_t subindex = record->type == ueiTypeByte ? record->value.byteVal : 0;
    uint32_t cached = 0;
    aErr result = link->getStreamValue(module, m_impl->command, option, m_impl->index, subindex, &cached);
    if (result == aErrNone || result == aErrStreamStale) {
        record->value.intVal = cached;
        return result;
    }
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | kGetBit);
    record->specifier = static_cast<uint8_t>(m_impl->index | kIndexFlag);
    dropStaleReplies(*link, module, m_impl->command, option, m_impl->index);
    result = link->sendUEI(*record);
    if (result != aErrNone) return result;
    record->option = option;
    record->specifier = m_impl->index;
    result = link->receiveUEI(module, m_impl->command, option, m_impl->index, record);
    if (result != aErrNone) return result;
    return replyError(*record);
}

aErr EntityClass::setUEI(uint8_t option, uei* record)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    if (!record) return aErrParam;
    const uint8_t module = m_impl->address();
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | kSetBit);
    record->specifier = static_cast<uint8_t>(m_impl->index | kIndexFlag);
    dropStaleReplies(*link, module, m_impl->command, static_cast<uint8_t>(option | kSetReply), m_impl->index);
    aErr result = link->sendUEI(*record);
    if (result != aErrNone) return result;
    record->option = static_cast<uint8_t>(option | kSetReply);
    record->specifier = m_impl->index;
    result = link->receiveUEI(module, m_impl->command, record->option, m_impl->index, record);
    if (result != aErrNone) return result;
    return replyError(*record);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    if (!record) return aErrParam;
    const uint8_t module = m_impl->address();
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | kSetBit);
    record->specifier = static_cast<uint8_t>(m_impl->index | kIndexFlag);
    dropStaleReplies(*link, module, m_impl->command, static_cast<uint8_t>(option | kSetReply), m_impl->index);
    aErr result = link->sendUEI(*record, subindex);
    if (result != aErrNone) return result;
    record->option = static_cast<uint8_t>(option | kSetReply);
    record->specifier = m_impl->index;
    result = link->receiveUEI(module, m_impl->command, record->option, m_impl->index, record);
    if (result != aErrNone) return result;
    return replyError(*record);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei record = scalar(ueiTypeNone);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei record = scalarOf(value);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei record = scalarOf(value);
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei record = scalarOf(value);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei record = scalarOf(value);
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei record = scalarOf(value);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei record = scalarOf(value);
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    uei record = scalar(ueiTypeBytes);
    record.value.data = data;
    record.length = length;
    return setUEI(option, &record);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return getScalar(*this, option, scalar(ueiTypeNone), value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return getScalar(*this, option, scalarOf(subindex), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return getScalar(*this, option, scalar(ueiTypeNone), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return getScalar(*this, option, scalarOf(subindex), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return getScalar(*this, option, scalar(ueiTypeNone), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return getScalar(*this, option, scalarOf(subindex), value);
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet)
{
    return aUEI_getBytesSequence(packet);
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet)
{
    return aUEI_getBytesContinue(packet);
}

bool EntityClass::sUEIBytesFilter(const aPacket* packet, const void* reference)
{
    auto* record = static_cast<uei*>(const_cast<void*>(reference));
    if (packet->address != record->module || packet->length <= 2) return false;
    if (packet->data[0] != record->command || packet->data[1] != record->option) return false;
    if ((packet->data[2] & kIndexBits) != record->specifier) return false;
    // What the stream filter takes as a sample is never a chunk of the answer.
    if (Link::getStreamPacketType(packet, nullptr)) return false;
    if (packet->data[2] & kErrorReply) {
        markError(record, packet->length >= 4 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown));
        return true;
    }
    // A chunk holds at least its sequence byte after the header.
    if (packet->length < 4 || getUEIBytesSequence(packet) != record->sequence) return false;
    const size_t payload = packet->length - 4u;
    if (*record->received + payload > record->length) {
        markError(record, aErrMemory);
        return true;
    }
    std::memcpy(record->value.cursor, packet->data + 3, payload);
    record->value.cursor += payload;
    *record->received += payload;
    record->sequence = getUEIBytesSequence(packet);
    record->more = getUEIBytesContinue(packet);
    return true;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received)
{
    if (!buffer || !received || capacity == 0) return aErrParam;
    *received = 0;
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    const uint8_t module = m_impl->address();
    uei request = scalar(ueiTypeNone);
    request.module = module;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | kGetBit);
    request.specifier = static_cast<uint8_t>(m_impl->index | kIndexFlag);
    dropStaleReplies(*link, module, m_impl->command, option, m_impl->index);
    aErr result = link->sendUEI(request);
    if (result != aErrNone) return result;

    uint64_t count = 0;
    uei filter = scalar(ueiTypeNone);
    filter.module = module;
    filter.command = m_impl->command;
    filter.option = option;
    filter.specifier = m_impl->index;
    filter.length = capacity;
    filter.value.cursor = buffer;
    filter.received = &count;
    while (result == aErrNone) {
        result = link->receiveUEI(module, m_impl->command, option, m_impl->index, &filter, sUEIBytesFilter);
        if (result != aErrNone) break;
        result = replyError(filter);
        if (result != aErrNone || !filter.more) break;
        filter.sequence = static_cast<uint8_t>((filter.sequence + 1) % 128);
    }
    *received = static_cast<size_t>(count);
    return result;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t elementSize)
{
    if (!count) return aErrParam;
    if (elementSize == 0) return *count == 0 ? aErrNone : aErrMemory;
    if (*count % elementSize != 0) return aErrMemory;
    *count /= elementSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t)
{
    if (!value) return aErrParam;
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    uei record = scalar(ueiTypeNone);
    record.module = m_impl->address();
    record.command = m_impl->command;
    record.option = static_cast<uint8_t>(option);
    record.specifier = m_impl->index;
    aErr result = link->receiveUEI(record.module, record.command, record.option, record.specifier, &record);
    if (result != aErrNone) return result;
    result = replyError(record);
    if (result == aErrNone) *value = record.value.intVal;
    return result;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->address(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::setStreamEnabled(bool enable)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->enableStream(m_impl->address(), m_impl->command, 0xFF, m_impl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* reference)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->registerStreamCallback(m_impl->address(), m_impl->command, option, m_impl->index, enable,
                                        std::move(callback), reference);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count)
{
    Link* link = m_impl->link();
    if (!link) return aErrResource;
    return link->getStreamStatus(m_impl->address(), m_impl->command, 0xFF, m_impl->index, 0xFF, entries, capacity,
                                 count);
}

aErr EntityClass::storeCommand(uint8_t option)
{
    EntityClass store;
    store.init(m_impl->module, cmdSTORE, 0);
    return store.setUEI32(option, static_cast<uint32_t>(m_impl->command) << 8 | m_impl->index);
}

aErr EntityClass::saveEntityToStore()
{
    return storeCommand(kStoreSave);
}

aErr EntityClass::resetEntityToFactoryDefaults()
{
    return storeCommand(kStoreFactory);
}

aErr EntityClass::loadEntityFromStore()
{
    return storeCommand(kStoreLoad);
}

} // namespace Tessaline
} // namespace Zentrova
