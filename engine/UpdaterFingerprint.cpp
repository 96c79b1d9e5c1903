// Get_Fingerprint and the fingerprint's download: the chip's unique
// identifier read from an LPC17xx boot ROM, or from the i.MX live loader,
// which is written into the chip's RAM through its boot ROM first.
#include "engine/Updater.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/aTime.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "engine/BirdFile.h"
#include "engine/Log.h"
#include "engine/UpdateServerRequest.h"
#include "platform/Tessaline_libusb.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"

namespace {

constexpr unsigned kLiveLoaderAttempts = 15;
constexpr unsigned kLiveLoaderPauseMs = 1000;
constexpr unsigned kAttemptsPerUsbContext = 3;

uint32_t _big_endian_word(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// Sends the text and reads the lines that follow it, passing over its echo,
// until one holds only a return code; false when the chip falls silent first.
bool _answers_with_code(NXPSerialClass& chip, const char* text, int& code)
{
    constexpr int kLines = 4;
    constexpr size_t kLineBytes = 64;
    constexpr unsigned kBudget = 100;
    if (chip.Send(text, false) != aErrNone) return false;
    for (int i = 0; i < kLines; ++i) {
        char line[kLineBytes + 1];
        size_t length = 0;
        if (chip.GetLine(line, kLineBytes, &length, kBudget) != aErrNone) return false;
        if (length < 3 || line[length - 2] != '\r' || line[length - 1] != '\n') continue;
        bool digits = true;
        for (size_t k = 0; k + 2 < length; ++k)
            digits = digits && line[k] >= '0' && line[k] <= '9';
        if (digits) {
            code = std::atoi(line);
            return true;
        }
    }
    return false;
}

// A chip that an earlier run synchronised takes "?" as the start of a command
// line and gives back no more than its echo. Ending the line draws a return
// code from it; then its echo, which that run may have switched off, is
// switched on again, as the client expects of a chip just synchronised.
bool _lpc_in_step(NXPSerialClass& chip)
{
    int code = -1;
    if (!_answers_with_code(chip, "\r\n", code)) return false;
    Log::log(DEBUG_APP, "Device already synchronised (answered %d)\n", code);
    return _answers_with_code(chip, "A 1\r\n", code) && code == 0;
}

bool _get_fingerprint_lpc(const std::string& port, unsigned int baudRate, Fingerprint& out)
{
    NXPSerialClass chip;
    aErr err = chip.Connect(port.c_str(), baudRate);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = chip.Sync();
    if (err != aErrNone && _lpc_in_step(chip)) {
        chip.echo = true;
        err = aErrNone;
    }
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i)
        out.words[i] = chip.deviceId[i];
    return true;
}

// The live loader's file: the one named, or the latest of the device's
// store folder, downloaded first when the folder does not exist.
BirdFile _live_loader_file(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                           unsigned int serial, const std::string& file)
{
    if (!file.empty()) return BirdFile(file.c_str());
    UpdaterStoreItem item;
    std::string name;
    if (!store.FindDevice(serial, &item) || !item.IsValid()) {
        display.mute_messages(true);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        const unsigned build = updater.Download_Firmware(serial, "", false, false);
        if (build != 0) {
            name = std::to_string(build) + ".bird";
            store.FindDevice(serial, &item);
        }
        display.mute_messages(false);
    } else {
        name = item.attributes.GetString(UpdaterStore::KEY_LATEST_DOWNLOAD, "");
    }
    return item.ReadBirdFile(name.c_str());
}

} // namespace

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          unsigned int serial, const std::string& file, Fingerprint& out, bool reset)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.storeDir, "_get_fingerprint_imx");
    if (!store) return false;
    if (serial == 0) serial = kDefaultSerialNumber;
    if (!file.empty() && serial == kDefaultSerialNumber) {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Add serial number or remove the bird filename to use a default recovery image.");
        return false;
    }
    BirdFile loader;
    try {
        loader = _live_loader_file(display, updater, *store, serial, file);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }
    if (_transfer_recovery_loader(display, loader, port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Zentrova::Tessaline::Module module(0, uint8_t(0));
    if (_disableVorne(module, display) != aErrNone) return false;
    for (unsigned attempt = 0; attempt < kLiveLoaderAttempts; ++attempt) {
        if (attempt % kAttemptsPerUsbContext == kAttemptsPerUsbContext - 1) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessaline_libusb_exit();
        }
        if (module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected()) break;
        aTime_MSSleep(kLiveLoaderPauseMs);
    }
    if (!module.isConnected()) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    Zentrova::Tessaline::SystemClass system;
    system.init(&module, 0);
    for (uint8_t i = 0; i < 4; ++i) {
        uint32_t word = 0;
        if (system.getUEI32(systemUniqueIdentifier, i, &word) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
            return false;
        }
        out.words[3 - i] = word;
    }
    if (reset) system.reset();
    return true;
}

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& file, const std::string& port)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader sdp;
    Serial_SDPLoader* serial = nullptr;
    if (port == "USB") {
        sdp.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    } else {
        serial = new Serial_SDPLoader(port.c_str());
        sdp.setLoader(serial);
    }
    if (sdp.init() != SDPLoader::SUCCESS) return aErrNotReady;
    // The LPC probe before left its bytes in the ROM's command assembly.
    if (serial != nullptr && !serial->realign()) Log::log(DEBUG_Updater, "No answer while realigning the boot ROM\n");

    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        // The image follows the block's four-byte load address.
        if (block.length < 4) return aErrConnection;
        const uint32_t address = _big_endian_word(block.payload);
        Log::log(DEBUG_Updater, "Loader block %zu: %u bytes to 0x%08X\n", i, block.length, address);
        std::vector<uint8_t> image(block.payload + 4, block.payload + block.length);
        if (sdp.writeLoader(std::move(image), address) != SDPLoader::SUCCESS) return aErrConnection;
    }
    uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    const std::vector<BirdBlock> starts = file.FindBlocks(BirdFile::BLOCK_LOADER_IVT);
    if (!starts.empty() && starts.front().length >= 4) start = _big_endian_word(starts.front().payload);
    sdp.startLoader(start);
    return aErrNone;
}

bool Updater::Get_Fingerprint(Fingerprint& out, std::string port, unsigned int serial, std::string file,
                              unsigned int baudRate, bool reset)
{
    if (_get_fingerprint_lpc(port, baudRate, out)) {
        recoveryChip = 2;
        return true;
    }
    recoveryChip = 1;
    return _get_fingerprint_imx(display, *this, port, serial, file, out, reset);
}

unsigned Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override)
{
    char* end = nullptr;
    unsigned long requested = std::strtoul(buildText.c_str(), &end, 10);
    if (buildText.empty() || *end != '\0' || requested > 0xFFFFFFFFul) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        requested = 0;
    }
    const unsigned words[4] = {fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                               fingerprint.words[3]};
    unsigned serial = 0;
    unsigned build = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Failed to retrieve recovery information from Zentrova update server");
        return 0;
    }
    if (requested != 0) build = unsigned(requested);
    return Download_Firmware(serial, std::to_string(build), override, false);
}
