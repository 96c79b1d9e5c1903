#include "engine/UpdaterTransfer.h"

#include "engine/Log.h"
#include "engine/UpdaterEntity.h"
#include "platform/Tessaline_libusb.h"
#include "platform/aTime.h"

using Zentrova::Tessaline::Module;

namespace {

constexpr unsigned kConnectPauseMs = 1000;
constexpr unsigned kContextRefreshEvery = 3;

} // namespace

bool _firmware_to_write(UpdaterDisplayInterface& display, const BirdFile& file)
{
    const std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    if (firmware.empty()) {
        display.message(UpdaterDisplayInterface::ERROR, "Birdfile holds no firmware blocks");
        return false;
    }
    if (file.FindFirmwareImages().empty()) {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Birdfile holds no firmware, only the load addresses of its firmware blocks");
        return false;
    }
    for (size_t i = 0; i < firmware.size(); ++i) {
        if (firmware[i].holdsImage()) continue;
        display.message(UpdaterDisplayInterface::INFO,
                        "Skipping firmware block %zu of %zu at [%08X]: it holds no firmware, only its address", i + 1,
                        firmware.size(), firmware[i].address);
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& file)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr result = entity.LoaderInit();
    if (result != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", result, aError_GetErrorText(result));
        display.message(UpdaterDisplayInterface::ERROR, "Device did not open its upgrade [%d, %s]", result,
                        aError_GetErrorText(result));
        return result;
    }

    display.message(UpdaterDisplayInterface::INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    unsigned k = 1;
    unsigned total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(UpdaterDisplayInterface::INFO, "Transferring loader block %d of %d, %d bytes", int(k),
                        int(blocks.size()), int(block.length));
        unsigned short deviceBlockSize = 0;
        result = entity.TransferPrepare(block.payload, block.length, block.flags, deviceBlockSize);
        if (result != aErrNone && result != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result, aError_GetErrorText(result));
            break;
        }
        result = entity.LoaderTransfer(block.payload, block.length);
        if (result != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result, aError_GetErrorText(result));
            break;
        }
        total += block.length;
        ++k;
    }
    display.message(UpdaterDisplayInterface::INFO, "Transferred %d blocks, %d total bytes", int(k - 1), int(total));
    display.display_progress(false);
    if (result != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Error transferring loader block %d of %d [%d, %s]", int(k),
                        int(blocks.size()), result, aError_GetErrorText(result));
        return result;
    }

    display.message(UpdaterDisplayInterface::INFO, "Starting Load on Device");
    result = entity.LoaderStart();
    if (result == aErrTimeout) {
        Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        return aErrNone;
    }
    if (result != aErrNone)
        display.message(UpdaterDisplayInterface::ERROR, "Error starting loader [%d, %s]", result,
                        aError_GetErrorText(result));
    return result;
}

bool _reconnect_loader(Module& module, uint32_t serial)
{
    if (module.isConnected()) return true;
    module.disconnect();
    for (unsigned attempt = 1; attempt <= CONNECT_ATTEMPTS; ++attempt) {
        if (attempt % kContextRefreshEvery == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessaline_libusb_exit();
        }
        module.discoverAndConnect(USB, serial);
        if (module.isConnected()) return true;
        // A half-made link would make every later connect refuse, and would
        // keep a USB device open across the context refresh above.
        module.disconnect();
        aTime_MSSleep(kConnectPauseMs);
    }
    return false;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& file, bool noWait,
                        bool ueiBytes)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, noWait);
    if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
    const std::vector<BirdBlock> blocks = file.FindFirmwareImages();
    unsigned k = 1;
    unsigned total = 0;
    aErr code = aErrNone;
    for (const BirdBlock& block : blocks) {
        for (unsigned attempt = 0; attempt < BLOCK_RETRIES; ++attempt) {
            display.message(UpdaterDisplayInterface::INFO, "Transferring firmware block %u of %u, %d bytes", k,
                            unsigned(blocks.size()), int(block.length));
            if (attempt > 0) display.message(UpdaterDisplayInterface::INFO, "  Retry %d", int(attempt));
            unsigned short deviceBlockSize = 0;
            code = entity.TransferPrepare(block.payload, block.length, block.flags, deviceBlockSize);
            if (code != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", code, aError_GetErrorText(code));
                break;
            }
            code = entity.FirmwareTransfer(block.payload, block.length, deviceBlockSize, display);
            if (code == aErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", code, aError_GetErrorText(code));
        }
        if (code != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++k;
    }
    display.message(UpdaterDisplayInterface::INFO, "Transferred %d blocks, %d total bytes", int(k - 1), int(total));
    if (code != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Error transferring firmware block %u of %u [%d, %s]", k,
                        unsigned(blocks.size()), code, aError_GetErrorText(code));
        return code;
    }
    code = entity.LoaderReboot(display);
    if (code != aErrNone)
        display.message(UpdaterDisplayInterface::ERROR, "Error asking the device to reboot [%d, %s]", code,
                        aError_GetErrorText(code));
    return code;
}
