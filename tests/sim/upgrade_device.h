// The simulated device's upgrade command (0x5F): the running firmware takes
// the loader blocks and starts the loader, the loader takes the firmware
// blocks chunk by chunk, checks byte sums, commits and reboots; optionally
// firmware data as UEI byte arrays (option 10) and pooled packets. Keeps the
// images it received, and misbehaves on request.
#pragma once

#include "tests/sim/device_model.h"
#include "tests/sim/uei_entities.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace sim {

constexpr uint8_t kUpgradeCommand = 0x5F;

struct UpgradeFaults {
    bool silent = false;             // answer no upgrade request at all
    bool refusePrepare = false;      // every PREPARE answers status 1
    unsigned badSums = 0;            // the next N SUM replies carry a wrong sum
    uint32_t badSumsAt = 0;          // non-zero: every SUM of the block at this address is wrong
    unsigned wrongCounts = 0;        // the next N DATA replies carry a wrong count
    bool silentLoad = false;         // LOAD gets no reply (the device restarts at once)
    bool shortInit = false;          // INIT answers only 5F 00 B3 B2
    bool writeWithoutStatus = false; // WRITE answers 5F 07 alone
    bool silentData = false;         // DATA gets no reply
    bool prepareWithoutSize = false; // PREPARE answers 5F 07 00 without the block size
    // The lateNth request of option lateOption (counted from when the faults
    // are set) is answered lateMs late; the device takes nothing meanwhile.
    uint8_t lateOption = 0xFF;
    unsigned lateNth = 1;
    unsigned lateMs = 0;
    bool spoilAfterLate = false; // the first data byte after the late answer is kept wrong
};

class UpgradeDevice {
public:
    // Both must outlive this object, and the carrier must stop feeding the
    // device before it goes. blockSize: what PREPARE answers.
    UpgradeDevice(DeviceModel& device, UeiEntities& entities, uint16_t blockSize = 512,
                  uint32_t loadBase = 0x20000000);
    ~UpgradeDevice();
    UpgradeDevice(const UpgradeDevice&) = delete;
    UpgradeDevice& operator=(const UpgradeDevice&) = delete;

    // The loader takes firmware data as UEI byte arrays (entity 0, option 10).
    void acceptUeiData();
    // The system entity's protocol features (option 45).
    void setProtocolFeatures(uint32_t features);

    void setFaults(const UpgradeFaults& faults);

    // Bytes received per block address: the loader blocks as sent before
    // LOAD, the firmware blocks as committed by WRITE after it.
    std::map<uint32_t, std::vector<uint8_t>> loader() const;
    std::map<uint32_t, std::vector<uint8_t>> firmware() const;
    // Whether LOAD and REBOOT arrived.
    bool loaderStarted() const;
    bool rebooted() const;
    // Upgrade requests received, by option byte (option 10 counts each whole array).
    unsigned requests(uint8_t option) const;

private:
    void handle(DeviceModel& device, const Packet& packet);
    UeiAnswer takeUeiData(const UeiRequest& request);
    uint32_t pendingSum() const; // under mutex_
    // Keeps data[from] wrong when a spoilt byte is due; under mutex_.
    void spoilData(std::vector<uint8_t>& data, size_t from);

    DeviceModel& device_;
    UeiEntities& entities_;
    const uint16_t blockSize_;
    const uint32_t loadBase_;

    mutable std::mutex mutex_;
    UpgradeFaults faults_;
    bool loaderRunning_ = false;
    bool rebooted_ = false;
    uint32_t address_ = 0;          // block being received
    std::vector<uint8_t> pending_;  // data since the prepare or the last write
    std::map<uint32_t, std::vector<uint8_t>> loader_;
    std::map<uint32_t, std::vector<uint8_t>> firmware_;
    std::map<uint8_t, unsigned> requests_;
    unsigned lateSeen_ = 0;    // requests of the late option since the faults were set
    bool spoilPending_ = false; // the next data byte is to be kept wrong
};

} // namespace sim
