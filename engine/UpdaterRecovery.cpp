// Recovery of a chip in its boot ROM: the LPC17xx flash written through the
// boot ROM's in-system programming, the i.MX firmware through its live loader.
#include "engine/Updater.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
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
// Erased flash, and what the image holds where no block gives a byte.
constexpr uint8_t kErased = 0xFF;

// The flash that the recovery writes: sectors 0 to kLastSector.
constexpr uint32_t kFlashBytes = 512 * 1024;
constexpr uint32_t kFlashPages = kFlashBytes / kFlashPage;
constexpr uint32_t kPagesPerChunk = kChunkBytes / kFlashPage;

// The firmware blocks to write: those that hold image bytes, up to the first
// whose data (after the address word) is 4 bytes, which closes the image.
std::vector<BirdBlock> _blocks_to_write(const BirdFile& file)
{
    std::vector<BirdBlock> blocks = file.FindFirmwareImages();
    auto end = std::find_if(blocks.begin(), blocks.end(), [](const BirdBlock& b) { return b.length == 8; });
    blocks.erase(end, blocks.end());
    return blocks;
}

// The flash as the blocks leave it. A page is copied to flash once, after
// the erase, whichever blocks share it: programming only clears bits, so a
// second copy onto the same page would leave the AND of both.
struct FlashImage {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kFlashBytes, kErased);
    // Per byte, the number (from 1) of the block that gave it; 0 for none.
    std::vector<uint32_t> giver = std::vector<uint32_t>(kFlashBytes, 0);
};

// The pages that hold the block's data, first and one past the last.
void _block_pages(const BirdBlock& block, uint32_t& first, uint32_t& end)
{
    first = block.address / kFlashPage;
    end = uint32_t((uint64_t(block.address) + block.length - 4 + kFlashPage - 1) / kFlashPage);
}

// Lays every block's data into the image, before anything is sent to the
// chip. Refused, with the reason shown: no block at all (the file's reader
// drops blocks without their address word, and those that hold it alone
// are not written), a block whose pages reach past the flash, and two
// blocks that give one byte different values.
bool _gather_blocks(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks, FlashImage& image)
{
    if (blocks.empty()) {
        display.message(UpdaterDisplayInterface::ERROR, "Birdfile holds no firmware blocks");
        return false;
    }
    const int total = int(blocks.size());
    for (int number = 1; number <= total; ++number) {
        const BirdBlock& block = blocks[size_t(number - 1)];
        const uint32_t length = block.length - 4;
        if (uint64_t(block.address) + length > kFlashBytes) {
            display.message(UpdaterDisplayInterface::ERROR,
                            "Firmware block %d of %d (%u bytes at 0x%08X) lies outside the chip's %u KB flash",
                            number, total, length, block.address, kFlashBytes / 1024);
            return false;
        }
        const uint8_t* data = block.payload + 4;
        for (uint32_t i = 0; i < length; ++i) {
            const uint32_t at = block.address + i;
            if (image.giver[at] != 0 && image.bytes[at] != data[i]) {
                display.message(UpdaterDisplayInterface::ERROR,
                                "Firmware blocks %u and %d of %d give flash address 0x%08X different bytes",
                                image.giver[at], number, total, at);
                return false;
            }
            image.bytes[at] = data[i];
            image.giver[at] = uint32_t(number);
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

// Shows what failed on the chip, with the client's code, and ends the road.
__attribute__((format(printf, 3, 4))) bool _failed(UpdaterDisplayInterface& display, aErr err, const char* format,
                                                   ...)
{
    char what[256];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    display.message(UpdaterDisplayInterface::ERROR, "Recovery Error: %s [%d, %s]", what, err, aError_GetErrorText(err));
    return false;
}

// Writes whole pages of the image through the staging RAM and copies them
// to flash in the largest copies that fit them, so that no copy reaches
// past the chunk's last page onto a page written before or after it.
bool _write_chunk(UpdaterDisplayInterface& display, NXPSerialClass& chip, uint32_t address, const uint8_t* data,
                  uint32_t length)
{
    const uint32_t staging = NXPSerialClass::WRITE_ADDRESS;
    Log::log(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", length, address);
    Log::log(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", length, staging);
    aErr err = chip.Write(staging, length, data);
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        return _failed(display, err, "the chip took no write of %u bytes to RAM for flash address 0x%08X", length,
                       address);
    }
    for (uint32_t done = 0; done < length;) {
        uint32_t copy = kFlashPage;
        for (uint32_t size : kCopySizes) {
            if (size <= length - done) {
                copy = size;
                break;
            }
        }
        const uint32_t to = address + done;
        const uint32_t first = NXPSerialClass::SectorFromAddress(to);
        const uint32_t last = NXPSerialClass::SectorFromAddress(to + copy - 1);
        Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
        err = chip.Prepare(first, last);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "\t Prepare failed\n");
            return _failed(display, err, "the chip refused to prepare sectors %u to %u for a copy", first, last);
        }
        Log::log(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", copy, staging + done, to);
        err = chip.CopyToFlash(to, staging + done, copy);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
            return _failed(display, err, "the chip refused the copy of %u bytes to flash address 0x%08X", copy, to);
        }
        done += copy;
    }
    return true;
}

// Writes the pages of the block that no block before it wrote, in chunks of
// consecutive pages.
bool _write_block_pages(UpdaterDisplayInterface& display, NXPSerialClass& chip, const FlashImage& image,
                        const BirdBlock& block, std::vector<bool>& pageWritten)
{
    uint32_t first = 0;
    uint32_t end = 0;
    _block_pages(block, first, end);
    double shown = 0;
    for (uint32_t page = first; page < end;) {
        if (pageWritten[page]) {
            ++page;
            continue;
        }
        uint32_t pages = 0;
        while (page + pages < end && pages < kPagesPerChunk && !pageWritten[page + pages])
            ++pages;
        const uint32_t address = page * kFlashPage;
        if (!_write_chunk(display, chip, address, image.bytes.data() + address, pages * kFlashPage)) return false;
        for (uint32_t k = 0; k < pages; ++k)
            pageWritten[page + k] = true;
        page += pages;
        shown = double(page - first) / double(end - first);
        display.update_progress(shown, nullptr);
    }
    if (shown < 1.0) display.update_progress(1.0, nullptr);
    return true;
}

} // namespace

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, std::string& port,
                           unsigned int baudRate)
{
    const std::vector<BirdBlock> blocks = _blocks_to_write(file);
    FlashImage image;
    if (!_gather_blocks(display, blocks, image)) return false;

    NXPSerialClass chip;
    aErr err = _connect_lpc(chip, port, baudRate);
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return _failed(display, err, "could not open %s at %u baud", port.c_str(), baudRate);
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    err = chip.Unlock();
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return _failed(display, err, "the chip refused to unlock its flash");
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    err = chip.Prepare(0, kLastSector);
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return _failed(display, err, "the chip refused to prepare its flash for the erase");
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    err = chip.Erase(0, kLastSector);
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return _failed(display, err, "the chip refused to erase its flash");
    }
    chip.SetEcho(false);

    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());
    const int total = int(blocks.size());
    uint32_t totalBytes = 0;
    std::vector<bool> pageWritten(kFlashPages, false);
    for (int number = 1; number <= total; ++number) {
        const BirdBlock& block = blocks[size_t(number - 1)];
        const uint32_t length = block.length - 4;
        display.message(UpdaterDisplayInterface::INFO, "Transferring firmware block %d of %d, %u bytes", number,
                        total, length);
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n", length, block.address);
        const bool written = _write_block_pages(display, chip, image, block, pageWritten);
        display.display_progress(false);
        if (!written) return false;
        totalBytes += length;
    }
    display.message(UpdaterDisplayInterface::INFO, "Transferred %d blocks, %u total bytes", total, totalBytes);

    err = chip.SetEcho(true);
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
    // A file named by its path is checked before the chip hears anything: the
    // i.MX road would send it the file's live loader to learn the fingerprint.
    // One that cannot be read is left to its load below, which says so.
    bool checked = false;
    if (!path.empty()) {
        try {
            if (!_firmware_to_write(display, BirdFile(path.c_str()))) return false;
            checked = true;
        } catch (const std::runtime_error&) {
        }
    }
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
    if (!checked && !_firmware_to_write(display, file)) return false;
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
