#include "tests/sim/upgrade_device.h"

#include <chrono>
#include <numeric>
#include <thread>

namespace sim {

namespace {

enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6, kStatus = 7 };
constexpr uint8_t kDataUei = 10;
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kProtocolFeatures = 45;

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

} // namespace

UpgradeDevice::UpgradeDevice(DeviceModel& device, UeiEntities& entities, uint16_t blockSize, uint32_t loadBase)
    : device_(device), entities_(entities), blockSize_(blockSize), loadBase_(loadBase)
{
    entities_.setRawHandler(kUpgradeCommand, [this](DeviceModel& d, const Packet& p) { handle(d, p); });
}

UpgradeDevice::~UpgradeDevice() { entities_.setRawHandler(kUpgradeCommand, nullptr); }

void UpgradeDevice::acceptUeiData()
{
    entities_.setOption(kUpgradeCommand, 0, kDataUei, UeiType::Bytes, nullptr,
                        [this](const UeiRequest& r) { return takeUeiData(r); });
}

void UpgradeDevice::setProtocolFeatures(uint32_t features)
{
    entities_.setValue(kSystemCommand, 0, kProtocolFeatures, UeiType::Int, ueiBytes(UeiType::Int, features));
}

void UpgradeDevice::setFaults(const UpgradeFaults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
    lateSeen_ = 0;
    spoilPending_ = false;
}

std::map<uint32_t, std::vector<uint8_t>> UpgradeDevice::loader() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return loader_;
}

std::map<uint32_t, std::vector<uint8_t>> UpgradeDevice::firmware() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_;
}

bool UpgradeDevice::loaderStarted() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return loaderRunning_;
}

bool UpgradeDevice::rebooted() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rebooted_;
}

unsigned UpgradeDevice::requests(uint8_t option) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = requests_.find(option);
    return found == requests_.end() ? 0 : found->second;
}

void UpgradeDevice::spoilData(std::vector<uint8_t>& data, size_t from)
{
    if (!spoilPending_ || from >= data.size()) return;
    data[from] ^= 0x01;
    spoilPending_ = false;
}

uint32_t UpgradeDevice::pendingSum() const { return std::accumulate(pending_.begin(), pending_.end(), uint32_t{0}); }

UeiAnswer UpgradeDevice::takeUeiData(const UeiRequest& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[kDataUei];
    const size_t at = pending_.size();
    pending_.insert(pending_.end(), request.value.begin(), request.value.end());
    spoilData(pending_, at);
    return UeiAnswer::none();
}

void UpgradeDevice::handle(DeviceModel& device, const Packet& packet)
{
    if (packet.data.size() < 2) return;
    const uint8_t option = packet.data[1];
    const std::vector<uint8_t> args(packet.data.begin() + 2, packet.data.end());
    std::vector<uint8_t> reply{kUpgradeCommand};
    unsigned delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_[option];
        if (faults_.silent) return;
        if (option == faults_.lateOption && ++lateSeen_ == faults_.lateNth) {
            delayMs = faults_.lateMs;
            spoilPending_ = faults_.spoilAfterLate;
        }
        switch (option) {
        case kInit:
            reply.push_back(kInit);
            put32(reply, loadBase_);
            if (faults_.shortInit) reply.resize(4);
            break;
        case kPrepare:
            if (args.size() < 5) return;
            address_ = uint32_t(args[1]) << 24 | uint32_t(args[2]) << 16 | uint32_t(args[3]) << 8 | args[4];
            pending_.clear();
            (loaderRunning_ ? firmware_ : loader_)[address_].clear();
            reply.insert(reply.end(), {kStatus, uint8_t(faults_.refusePrepare ? 1 : 0), uint8_t(blockSize_ >> 8),
                                       uint8_t(blockSize_)});
            if (faults_.prepareWithoutSize) reply.resize(3);
            break;
        case kData: {
            if (faults_.silentData) return;
            reply.push_back(kData);
            if (faults_.wrongCounts > 0) {
                --faults_.wrongCounts;
                reply.push_back(uint8_t(args.size() + 1));
                break;
            }
            const size_t at = pending_.size();
            pending_.insert(pending_.end(), args.begin(), args.end());
            spoilData(pending_, at);
            if (!loaderRunning_) loader_[address_].insert(loader_[address_].end(), pending_.begin() + at, pending_.end());
            reply.push_back(uint8_t(args.size()));
            break;
        }
        case kSum: {
            uint32_t sum = pendingSum();
            if (faults_.badSums > 0 || (faults_.badSumsAt != 0 && faults_.badSumsAt == address_)) {
                if (faults_.badSums > 0) --faults_.badSums;
                ++sum;
            }
            reply.insert(reply.end(), {kStatus, 0});
            put32(reply, sum);
            break;
        }
        case kWrite: {
            if (args.size() < 2) return;
            const size_t n = size_t(args[0]) << 8 | args[1];
            const bool whole = n == pending_.size();
            if (whole) firmware_[address_].insert(firmware_[address_].end(), pending_.begin(), pending_.end());
            pending_.clear();
            reply.push_back(kStatus);
            if (!faults_.writeWithoutStatus) reply.push_back(whole ? 0 : 1);
            break;
        }
        case kLoad:
            loaderRunning_ = true;
            if (faults_.silentLoad) return;
            reply.push_back(kLoad);
            break;
        case kReboot:
            rebooted_ = true;
            return;
        default:
            return;
        }
    }
    // A slow device: it answers in order, only later.
    if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    device.answer(Packet{packet.address, reply});
}

} // namespace sim
