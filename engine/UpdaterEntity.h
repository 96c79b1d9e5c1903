// The host side of a device's upgrade command (0x5F): opening the loader
// phase, announcing blocks, sending image bytes with their byte-sum check,
// committing firmware chunks, starting the loader and rebooting the device.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "device_api/Entity.h"
#include "device_api/Module.h"
#include "engine/UpdaterDisplayInterface.h"

constexpr uint8_t cmdUPGRADE = 0x5F;

// Option bytes of the upgrade command.
enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
};

class UpdaterEntity : public Zentrova::Tessaline::EntityClass {
public:
    // Image bytes in one data request.
    static constexpr unsigned kDataBytes = 26;
    // Times one data request goes out again after replies with a wrong count.
    static constexpr unsigned kDataResends = 8;

    UpdaterEntity();

    // Every use starts here; the engine uses index 0.
    void init(Zentrova::Tessaline::Module* module, unsigned char index, bool validate, bool no_wait);

    // Payloads begin with the block's 4-byte big-endian load address, and
    // length counts those bytes too.
    aErr LoaderInit();
    aErr TransferPrepare(const unsigned char* payload, unsigned length, unsigned char flags,
                         unsigned short& blockSize);
    aErr LoaderTransfer(const unsigned char* payload, unsigned length);
    aErr LoaderStart();
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    aErr FirmwareTransfer(const unsigned char* payload, unsigned length, unsigned short blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(unsigned length);
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    Zentrova::Tessaline::Module* module;
    bool validate;
    bool no_wait;
    bool uei_data;

private:
    aErr _reconnect(unsigned delayMs);
    aErr _block_transfer(const unsigned char* data, unsigned length, unsigned& count);
    aErr _block_transfer_uei_helper(const unsigned char* data, unsigned length, unsigned& count, unsigned& sum);

    // One request: option and its arguments after the command byte. Upgrade
    // replies still queued from an earlier request are dropped first.
    aErr request(uint8_t option, uint8_t length = 0, const uint8_t* arguments = nullptr);
    // The reply whose data begins with [0x5F, option]; its data and length.
    // Status replies answer three requests: one is taken when it is a bare
    // status or has the given length, the form of the awaited request's answer.
    aErr reply(uint8_t option, uint8_t* data, uint8_t& length, uint8_t statusLength = 0);
};
