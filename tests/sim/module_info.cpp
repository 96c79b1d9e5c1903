#include "tests/sim/module_info.h"

namespace sim {

namespace {

constexpr uint8_t kBuild = 0xFF;
constexpr uint8_t kHasUEI = 1;
constexpr uint8_t kClassQuantity = 4;
constexpr uint8_t kSubClassQuantity = 5;
constexpr uint8_t kEntityGroup = 6;

} // namespace

ModuleInfo::ModuleInfo(DeviceModel& device, const UeiEntities& entities, uint32_t build)
    : device_(device), entities_(entities), build_(build)
{
    device_.setCommandHandler(kModuleInfoCommand,
                              [this](DeviceModel& model, const Packet& request) { handle(model, request); });
}

ModuleInfo::~ModuleInfo()
{
    device_.setCommandHandler(kModuleInfoCommand, {});
}

void ModuleInfo::setClassQuantity(uint8_t command, uint8_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    classes_[command] = count;
}

void ModuleInfo::setSubClassQuantity(uint8_t command, uint8_t subclass, uint8_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    subclasses_[{command, subclass}] = count;
}

void ModuleInfo::setEntityGroup(uint8_t command, uint8_t subclass, uint8_t group)
{
    std::lock_guard<std::mutex> lock(mutex_);
    groups_[{command, subclass}] = group;
}

// Every answer repeats the question and adds its answer; questions it does not
// know go unanswered.
void ModuleInfo::handle(DeviceModel& device, const Packet& request)
{
    const std::vector<uint8_t>& q = request.data;
    if (q.size() < 2) return;
    std::vector<uint8_t> reply = q;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (q[1]) {
    case kBuild:
        if (q.size() != 2) return;
        for (int shift = 24; shift >= 0; shift -= 8) reply.push_back(static_cast<uint8_t>(build_ >> shift));
        break;
    case kHasUEI:
        if (q.size() != 6) return;
        reply[5] = entities_.supports(q[2], q[3], q[4], q[5]);
        break;
    case kClassQuantity: {
        if (q.size() != 3) return;
        auto found = classes_.find(q[2]);
        reply.push_back(found != classes_.end() ? found->second : entities_.entityCount(q[2]));
        break;
    }
    case kSubClassQuantity:
    case kEntityGroup: {
        if (q.size() != 4) return;
        const auto& table = q[1] == kSubClassQuantity ? subclasses_ : groups_;
        auto found = table.find({q[2], q[3]});
        reply.push_back(found != table.end() ? found->second : 0);
        break;
    }
    default:
        return;
    }
    device.answer(Packet{device.config().address, reply});
}

} // namespace sim
