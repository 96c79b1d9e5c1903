// EntityClass: one entity of a module (an entity class command and an index)
// and the get, set and call of its options as UEI transactions over the
// module's Link, with the short cut through the Link's stream cache, byte
// arrays read chunk by chunk, and the store commands of the entity.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"
#include "device_api/Link.h"
#include "device_api/Module.h"

namespace Zentrova {
namespace Tessaline {

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity; may be called again to bind it anew. The module is
    // not owned and must outlive the entity's operations.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Raw packets to and from the module: [command, data] out, and a reply
    // whose first *length data bytes equal match in.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);
    // The first packet from the module that accept takes, and the drop of
    // every queued packet from it that match takes (see Link).
    aErr receivePacket(aPacketFilterProc accept, const void* reference, uint8_t* length, uint8_t* buffer);
    aErr dropPackets(aPacketFilterProc match, const void* reference);

    // A get (answered from the stream cache when the option is streamed), a
    // set, and a set in the subindex form, of the record's value type; the
    // reply's value is left in the record.
    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);

    aErr callUEI(uint8_t option);
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // The value is stored on 0 and on aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    // Reads a byte array into buffer; *received counts the bytes delivered,
    // also when the read fails part way. aErrMemory when it does not fit.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
    // Turns a byte count into a count of elements of elementSize bytes.
    aErr getUEIBytesCheck(size_t* count, size_t elementSize);
    // Waits, without asking, for a get reply of the option with a 32-bit value.
    aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
    // Drops queued replies of the option.
    aErr drainUEI(uint8_t option);

    // Streams: every option of the entity, cached only; one option with a
    // callback; the cached values of the entity.
    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* reference);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

    // The device's store of the entity's settings.
    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

    // The reply filter of getUEIBytes, and the parts of a chunk's last byte.
    static bool sUEIBytesFilter(const aPacket* packet, const void* reference);
    static uint8_t getUEIBytesSequence(const aPacket* packet);
    static bool getUEIBytesContinue(const aPacket* packet);

    class impl;

private:
    aErr storeCommand(uint8_t option);

    impl* m_impl;
};

} // namespace Tessaline
} // namespace Zentrova
