#include "tests/sim/uei_entities.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kGetBit = 0x40;
constexpr uint8_t kSetBit = 0x80;
constexpr uint8_t kIndexFlag = 0x20;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kMoreChunks = 0x80;
constexpr size_t kChunkPayload = 24;

// Device error codes.
constexpr uint8_t kErrPermission = 12;
constexpr uint8_t kErrPacket = 24;
constexpr uint8_t kErrInvalidEntity = 28;
constexpr uint8_t kErrInvalidOption = 29;

} // namespace

UeiAnswer UeiAnswer::shortValue(uint16_t v)
{
    return {ueiBytes(UeiType::Short, v)};
}

UeiAnswer UeiAnswer::intValue(uint32_t v)
{
    return {ueiBytes(UeiType::Int, v)};
}

std::vector<uint8_t> ueiBytes(UeiType type, uint32_t value)
{
    switch (type) {
    case UeiType::Byte: return {static_cast<uint8_t>(value)};
    case UeiType::Short: return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    case UeiType::Int:
        return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value)};
    default: return {};
    }
}

UeiEntities::UeiEntities(DeviceModel& device) : device_(device) {}

UeiEntities::~UeiEntities()
{
    for (uint8_t command : commands_) device_.setCommandHandler(command, {});
}

void UeiEntities::installCommand(uint8_t command)
{
    if (!commands_.insert(command).second) return;
    device_.setCommandHandler(command, [this](DeviceModel& device, const Packet& packet) { handle(device, packet); });
}

void UeiEntities::setOption(uint8_t command, uint8_t index, uint8_t option, UeiType type, UeiHandler get,
                            UeiHandler set)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_[Key{command, index, option}] = Option{type, std::move(get), std::move(set)};
    installCommand(command);
}

void UeiEntities::setValue(uint8_t command, uint8_t index, uint8_t option, UeiType type, std::vector<uint8_t> value)
{
    const Key key{command, index, option};
    auto get = [this, key, type](const UeiRequest&) {
        std::lock_guard<std::mutex> lock(mutex_);
        UeiAnswer answer{values_[key]};
        answer.chunked = type == UeiType::Bytes;
        return answer;
    };
    auto set = [this, key](const UeiRequest& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_[key] = request.value;
        return UeiAnswer::none();
    };
    setOption(command, index, option, type, get, set);
    std::lock_guard<std::mutex> lock(mutex_);
    values_[key] = std::move(value);
}

std::vector<uint8_t> UeiEntities::value(uint8_t command, uint8_t index, uint8_t option) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = values_.find(Key{command, index, option});
    return found == values_.end() ? std::vector<uint8_t>{} : found->second;
}

void UeiEntities::setRawHandler(uint8_t command, DeviceModel::Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    raw_[command] = std::move(handler);
    installCommand(command);
}

uint8_t UeiEntities::entityCount(uint8_t command) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<uint8_t> indexes;
    for (const auto& entry : options_)
        if (std::get<0>(entry.first) == command) indexes.insert(std::get<1>(entry.first));
    return static_cast<uint8_t>(indexes.size());
}

uint8_t UeiEntities::supports(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = options_.find(Key{command, index, option});
    if (found == options_.end()) return missingError(command, index);
    if (((flags & kGetBit) && !found->second.get) || ((flags & kSetBit) && !found->second.set)) return kErrPermission;
    return 0;
}

std::vector<UeiRequest> UeiEntities::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool UeiEntities::takeChunk(const Key& key, UeiRequest& request, UeiAnswer& answer)
{
    // A chunk: payload, then the sequence byte.
    if (request.value.empty()) {
        answer = UeiAnswer::failure(kErrPacket);
        return true;
    }
    uint8_t sequence = request.value.back();
    Transfer& transfer = transfers_[key];
    if ((sequence & 0x7F) != transfer.nextSequence) {
        transfers_.erase(key);
        answer = UeiAnswer::failure(kErrPacket);
        return true;
    }
    transfer.payload.insert(transfer.payload.end(), request.value.begin(), request.value.end() - 1);
    transfer.nextSequence = (transfer.nextSequence + 1) & 0x7F;
    if (sequence & kMoreChunks) return false;
    request.value = std::move(transfer.payload);
    transfers_.erase(key);
    return true;
}

uint8_t UeiEntities::missingError(uint8_t command, uint8_t index) const
{
    bool entity = std::any_of(options_.begin(), options_.end(), [&](const auto& entry) {
        return std::get<0>(entry.first) == command && std::get<1>(entry.first) == index;
    });
    return entity ? kErrInvalidOption : kErrInvalidEntity;
}

void UeiEntities::handle(DeviceModel& device, const Packet& packet)
{
    const std::vector<uint8_t>& data = packet.data;
    const uint8_t access = data.size() >= 3 ? data[1] & (kGetBit | kSetBit) : 0;
    if (data.size() < 3 || !(data[2] & kIndexFlag) || access == 0 || access == (kGetBit | kSetBit)) {
        DeviceModel::Handler raw;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = raw_.find(data[0]);
            if (found != raw_.end()) raw = found->second;
        }
        if (raw) raw(device, packet);
        return;
    }

    UeiRequest request;
    request.module = packet.address;
    request.command = data[0];
    request.option = data[1] & 0x3F;
    request.index = data[2] & 0x1F;
    request.set = access == kSetBit;
    request.value.assign(data.begin() + 3, data.end());
    const Key key{request.command, request.index, request.option};
    UeiAnswer answer;
    UeiHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = options_.find(key);
        if (found == options_.end()) {
            answer = UeiAnswer::failure(missingError(request.command, request.index));
        } else {
            handler = request.set ? found->second.set : found->second.get;
            if (!handler) answer = UeiAnswer::failure(kErrPermission);
            else if (request.set && found->second.type == UeiType::Bytes && !takeChunk(key, request, answer))
                return; // more chunks to come: no reply yet
            if (answer.error) handler = nullptr;
        }
    }
    if (handler) answer = handler(request);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    reply(device, request, answer);
}

void UeiEntities::reply(DeviceModel& device, const UeiRequest& request, const UeiAnswer& answer)
{
    if (answer.silent) return;
    const uint8_t option = request.set ? static_cast<uint8_t>(request.option | kGetBit | kSetBit) : request.option;
    std::vector<uint8_t> head{request.command, option, request.index};
    if (answer.error != 0) {
        head[2] |= kErrorBit;
        head.push_back(answer.error);
        device.answer(Packet{device.config().address, head});
        return;
    }
    if (!answer.chunked) {
        head.insert(head.end(), answer.value.begin(), answer.value.end());
        device.answer(Packet{device.config().address, head});
        return;
    }
    size_t offset = 0;
    uint8_t counter = 0;
    do {
        size_t chunk = std::min(answer.value.size() - offset, kChunkPayload);
        std::vector<uint8_t> data = head;
        data.insert(data.end(), answer.value.begin() + offset, answer.value.begin() + offset + chunk);
        offset += chunk;
        data.push_back(static_cast<uint8_t>((counter & 0x7F) | (offset < answer.value.size() ? kMoreChunks : 0)));
        device.answer(Packet{device.config().address, data});
        counter++;
    } while (offset < answer.value.size());
}

} // namespace sim
