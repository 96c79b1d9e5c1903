// Recovery of a chip in its boot ROM: the LPC17xx flash written through the
// boot ROM's in-system programming, the i.MX firmware through its live loader.
#include "engine/Updater.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "engine/BirdFile.h"
#include "engine/Log.h"
#include "engine/UpdateServerRequest.h"
#include "engine/UpdaterTransfer.h"
#include "device_api/Module.h"
#include "platform/aTime.h"
#include "recovery/NXPSerialClass.h"

namespace {

// The rate at which the fingerprint road synchronised with the boot ROM.
constexpr uint32_t kSyncBaudRate = 115200;
constexpr uint32_t kLastSector = 29;
constexpr uint32_t kChunkBytes = 4096;
// Flash copies start on a boundary of this many bytes.
constexpr uint32_t kFlashPage = 256;
// Erased flash, and the padding of a copy beyond its chunk.
constexpr uint8_t kErased = 0xFF;

// The firmware blocks to write: those before the first whose data (after
// the address word) is 4 bytes, which closes the image.
std::vector<BirdBlock> _blocks_to_write(const BirdFile& file)
{
    std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    auto end = std::find_if(blocks.begin(), blocks.end(), [](const BirdBlock& b) { return b.length == 8; });
    blocks.erase(end, blocks.end());
    return blocks;
}

// There is an image to write, and every block of it carries its address
// word and starts on a flash page.
bool _blocks_writable(const std::vector<BirdBlock>& blocks)
{
    if (blocks.empty()) {
        Log::log(DEBUG_Network, "No firmware blocks to write\n");
        return false;
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].length < 4 || blocks[i].address % kFlashPage != 0) {
            Log::log(DEBUG_Network, "Firmware block %zu (%u bytes at 0x%08X) cannot be written\n", i + 1,
                     blocks[i].length, blocks[i].address);
            return false;
        }
    }
    return true;
}

// Opens the port at the rate asked for; the chip, synchronised at 115200
// baud, is told to change to it first when it differs.
aErr _connect_lpc(NXPSerialClass& chip, const std::string& port, uint32_t baudRate)
{
    aErr err = chip.Connect(port.c_str(), baudRate);
    const uint32_t rate = chip.baudRate;
    if (err != aErrNone || rate == kSyncBaudRate) return err;
    err = chip.Connect(port.c_str(), kSyncBaudRate);
    if (err == aErrNone) err = chip.SetBaudRate(rate);
    if (err == aErrNone) err = chip.Connect(port.c_str(), rate);
    return err;
}

// The copy sizes the boot ROM takes, largest first.
constexpr uint32_t kCopySizes[] = {4096, 1024, 512, 256};

// Writes one chunk through the staging RAM, its last page filled up with
// erased bytes. The pages are copied to flash in the largest copies that fit
// them, so that no copy reaches past the chunk's last page: a later block
// starting on the next page then lands on erased flash.
bool _write_chunk(NXPSerialClass& chip, uint32_t address, const uint8_t* data, uint32_t length)
{
    const uint32_t staging = NXPSerialClass::WRITE_ADDRESS;
    const uint32_t pages = (length + kFlashPage - 1) / kFlashPage * kFlashPage;
    std::vector<uint8_t> padded(pages, kErased);
    std::memcpy(padded.data(), data, length);
    Log::log(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", length, address);
    Log::log(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", pages, staging);
    if (chip.Write(staging, pages, padded.data()) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        return false;
    }
    for (uint32_t done = 0; done < pages;) {
        uint32_t copy = kFlashPage;
        for (uint32_t size : kCopySizes) {
            if (size <= pages - done) {
                copy = size;
                break;
            }
        }
        const uint32_t to = address + done;
        const uint32_t first = NXPSerialClass::SectorFromAddress(to);
        const uint32_t last = NXPSerialClass::SectorFromAddress(to + copy - 1);
        Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
        if (chip.Prepare(first, last) != aErrNone) {
            Log::log(DEBUG_Updater, "\t Prepare failed\n");
            return false;
        }
        Log::log(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", copy, staging + done, to);
        if (chip.CopyToFlash(to, staging + done, copy) != aErrNone) {
            Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
            return false;
        }
        done += copy;
    }
    return true;
}

} // namespace

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, std::string& port,
                           unsigned int baudRate)
{
    const std::vector<BirdBlock> blocks = _blocks_to_write(file);
    if (!_blocks_writable(blocks)) return false;

    NXPSerialClass chip;
    if (_connect_lpc(chip, port, baudRate) != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (chip.Unlock() != aErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (chip.Prepare(0, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (chip.Erase(0, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return false;
    }
    chip.SetEcho(false);

    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());
    const int total = int(blocks.size());
    uint32_t totalBytes = 0;
    for (int number = 1; number <= total; ++number) {
        const BirdBlock& block = blocks[size_t(number - 1)];
        const uint8_t* data = block.payload + 4;
        const uint32_t length = block.length - 4;
        display.message(UpdaterDisplayInterface::INFO, "Transferring firmware block %d of %d, %u bytes", number,
                        total, length);
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n", length, block.address);
        uint32_t written = 0;
        while (written < length) {
            const uint32_t chunk = std::min(kChunkBytes, length - written);
            if (!_write_chunk(chip, block.address + written, data + written, chunk)) return false;
            written += chunk;
            display.update_progress(double(written) / length, nullptr);
        }
        display.display_progress(false);
        totalBytes += length;
    }
    display.message(UpdaterDisplayInterface::INFO, "Transferred %d blocks, %u total bytes", total, totalBytes);

    const aErr err = chip.SetEcho(true);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Recovery Error transfering data to device ==> [%d, %s]",
                        err, aError_GetErrorText(err));
        return false;
    }
    display.message(UpdaterDisplayInterface::INFO, "Rebooting Device");
    chip.ExecuteFrom(0);
    return true;
}

namespace {

constexpr unsigned kDefaultLoaderSerial = 0xDEADDEAD;
constexpr unsigned kLoaderRounds = 15;
constexpr unsigned kLoaderPauseMs = 1000;

} // namespace

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, unsigned int serial, bool ueiBytesLoad)
{
    Zentrova::Tessaline::Module module(0, uint8_t(0));
    if (_disableVorne(module, display) != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to transfer firmware");
        return false;
    }
    for (unsigned round = 0; round < kLoaderRounds; ++round) {
        if (module.discoverAndConnect(USB, kDefaultLoaderSerial) == aErrNone && module.isConnected()) break;
        module.disconnect();
        if (module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected()) break;
        module.disconnect();
        aTime_MSSleep(kLoaderPauseMs);
    }
    if (!module.isConnected()) {
        display.message(UpdaterDisplayInterface::ERROR, "Could not connect to device");
        return false;
    }
    if (_transfer_firmware(display, module, file, false, ueiBytesLoad) != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

bool Updater::Recover_Firmware(std::string port, unsigned int build, unsigned int baudRate, unsigned int serial,
                               std::string path, bool)
{
    const uint64_t start = aTime_GetMSTicks();
    Fingerprint fingerprint = {};
    if (!Get_Fingerprint(fingerprint, port, serial, path, kSyncBaudRate, false)) {
        display.message(UpdaterDisplayInterface::ERROR, "Could not get Device Identifier");
        return false;
    }
    const uint8_t chip = recoveryChip;
    if (path.empty()) {
        const unsigned words[4] = {fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                                   fingerprint.words[3]};
        unsigned serverBuild = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(words, &serial, &serverBuild, serverUrl.c_str())) {
            display.message(UpdaterDisplayInterface::ERROR,
                            "Failed to retrieve recovery information from Zentrova server");
            return false;
        }
        if (build == 0) build = serverBuild;
    } else {
        build = 0;
    }
    BirdFile file;
    try {
        file = load_bird("Recovering", path, serial, build, true);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(UpdaterDisplayInterface::ERROR, "Failed to load bird file");
        return false;
    }
    if (file.has_serial_offsets) {
        display.message(UpdaterDisplayInterface::ERROR, "Updater does not support offline recovery");
        return false;
    }
    bool result = false;
    if (chip == 1)
        result = _recover_firmware_imx(display, file, serial, ueiBytesLoad);
    else if (chip == 2)
        result = _recover_firmware_lpc(display, file, port, baudRate);
    else
        display.message(UpdaterDisplayInterface::ERROR, "Unknown device");
    display.message(UpdaterDisplayInterface::INFO, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return result;
}
