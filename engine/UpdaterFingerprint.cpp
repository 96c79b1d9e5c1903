// Get_Fingerprint and the fingerprint's download: the chip's unique
// identifier read from an LPC17xx boot ROM, or from the i.MX live loader,
// which is written into the chip's RAM through its boot ROM first.
#include "engine/Updater.h"

#include <cstdlib>
#include <cstring>
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

// What a chip that an earlier run left in the middle of a write to RAM ("W")
// is brought back from. Such a chip takes every line as a data line, and
// after twenty of them, or once the write's count of bytes came, the next
// line as the checksum of the block since the last one it acknowledged: it
// answers "OK", or "RESEND" and forgets the block. Nothing but RAM, inside the
// range that "W" was given, is written in that state, and the lines sent here
// hold data bytes only. At its command prompt the same lines are commands
// that do not exist and are answered with a return code each.
enum class MidWrite { NotLpc, AtPrompt, Stuck };

// The answers heard to lines sent: acknowledged blocks, blocks asked for
// again, and return codes (of a chip at its command prompt).
struct Heard {
    int ok = 0;
    int resend = 0;
    int codes = 0;
    bool any() const { return ok + resend + codes > 0; }
};

constexpr size_t kHeardLineBytes = 64;
// Empty reads (about a millisecond each) that end listening: to a burst that
// tells an LPC from anything else, and while finding the block's end.
constexpr unsigned kBurstQuiet = 100;
constexpr unsigned kLineQuiet = 30;
// What the client allows a checksum's answer.
constexpr unsigned kChecksumQuiet = 2000;
constexpr int kLinesPerBlock = NXPSerialClass::LINES_PER_CHECKSUM;
// Bytes of a data line while the end of the write is not known: the counts
// of "W" and the blocks before are multiples of four, so a line of four
// bytes never reaches past the count.
constexpr size_t kFillBytes = 4;
// The most blocks of such lines that the chip's RAM can take.
constexpr int kMaxFillBlocks = 32 * 1024 / int(kFillBytes * kLinesPerBlock) + 4;

bool _is_code(const char* line, size_t length)
{
    if (length < 3 || line[length - 2] != '\r' || line[length - 1] != '\n') return false;
    for (size_t k = 0; k + 2 < length; ++k)
        if (line[k] < '0' || line[k] > '9') return false;
    return true;
}

// Reads what the chip says until it falls silent for quiet empty reads, or,
// with first, until its first answer. A line equal to echoed (the echo of a
// checksum sent) is passed over.
Heard _listen(NXPSerialClass& chip, unsigned quiet, bool first, const char* echoed = nullptr)
{
    Heard heard;
    char line[kHeardLineBytes + 1];
    size_t length = 0;
    while (!(first && heard.any()) && chip.GetLine(line, kHeardLineBytes, &length, quiet) == aErrNone) {
        // A chip that echoes and takes a CR as a line's end answers between
        // the echoes of CR and LF: the answer follows the last lone CR.
        size_t from = 0;
        for (size_t k = 0; k + 2 < length; ++k)
            if (line[k] == '\r') from = k + 1;
        const char* answer = line + from;
        if (strcmp(answer, "OK\r\n") == 0)
            ++heard.ok;
        else if (strcmp(answer, "RESEND\r\n") == 0)
            ++heard.resend;
        else if (_is_code(answer, length - from) && !(echoed && strcmp(answer, echoed) == 0))
            ++heard.codes;
    }
    return heard;
}

// One data line of n bytes of the value, with its line end.
std::string _data_line(uint8_t value, size_t n)
{
    const std::vector<uint8_t> data(n, value);
    char line[2 + 4 * (NXPSerialClass::MAX_BYTES_PER_LINE / 3)];
    NXPSerialClass::uuencode(line, data.data(), n);
    return std::string(line) + "\r\n";
}

std::string _repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Sends the line once at a time until one is answered; the lines sent, 0
// when none of limit lines was.
int _lines_until_answer(NXPSerialClass& chip, const std::string& line, int limit, Heard& heard)
{
    for (int sent = 1; sent <= limit; ++sent) {
        if (chip.Send(line.c_str(), false) != aErrNone) return 0;
        heard = _listen(chip, kLineQuiet, false);
        if (heard.any()) return sent;
    }
    return 0;
}

// Brings a chip that is writing to RAM back to its command prompt by giving
// it the rest of its write; NotLpc when nothing answered as that chip would.
MidWrite _lpc_finish_write(NXPSerialClass& chip)
{
    // Lines of one byte never pass the write's end, wherever within a line
    // or block the earlier run stopped, and blocks holding them never match
    // a line taken as their checksum that holds no number: one line more
    // than a block has draws an answer from a chip in the middle of a write.
    const std::string probe = _data_line(1, 1);
    if (chip.Send(_repeat(probe, kLinesPerBlock + 1).c_str(), false) != aErrNone) return MidWrite::NotLpc;
    Heard heard = _listen(chip, kBurstQuiet, false);
    if (heard.codes > 0) return MidWrite::AtPrompt;
    if (!heard.any()) return MidWrite::NotLpc;
    Log::log(DEBUG_APP, "Device was writing to RAM; giving it the rest of the write\n");
    // Where the burst left the chip within a block is not known: the next
    // answer ends a block.
    if (_lines_until_answer(chip, probe, kLinesPerBlock + 1, heard) == 0) return MidWrite::Stuck;
    if (heard.codes > 0) return MidWrite::AtPrompt;

    // From the last answer on, blocks of zeros, whose checksum is 0. A block
    // of twenty lines that draws no answer awaits its checksum; one that
    // does held the write's end, where the chip took a line as the checksum.
    const std::string fill = _data_line(0, kFillBytes);
    const char checksum[] = "0\r\n";
    for (int block = 0; block < kMaxFillBlocks; ++block) {
        if (chip.Send(_repeat(fill, kLinesPerBlock).c_str(), false) != aErrNone) return MidWrite::Stuck;
        heard = _listen(chip, kLineQuiet, false);
        if (heard.codes > 0) return MidWrite::AtPrompt;
        int lines = kLinesPerBlock;
        if (heard.any()) {
            // The write ends within the block: the chip took every (n+1)th
            // line as a checksum, n being the lines it has left to take, and
            // after the block's twenty it has taken k of the next n. The
            // lines up to its next answer, n + 1 - k, tell n; where they do
            // not, the lines up to the answer after are counted.
            const int answers = heard.resend;
            const int toNext = _lines_until_answer(chip, fill, kLinesPerBlock + 1, heard);
            if (toNext == 0) return MidWrite::Stuck;
            if (heard.codes > 0 || heard.ok > 0) return MidWrite::AtPrompt;
            const int period = (toNext + kLinesPerBlock) / (answers + 1);
            if ((toNext + kLinesPerBlock) % (answers + 1) == 0 && kLinesPerBlock / period == answers) {
                lines = period - 1;
            } else {
                lines = _lines_until_answer(chip, fill, kLinesPerBlock + 1, heard) - 1;
                if (heard.codes > 0 || heard.ok > 0) return MidWrite::AtPrompt;
            }
            if (lines <= 0) return MidWrite::Stuck;
            if (chip.Send(_repeat(fill, lines).c_str(), false) != aErrNone) return MidWrite::Stuck;
        }
        if (chip.Send(checksum, false) != aErrNone) return MidWrite::Stuck;
        heard = _listen(chip, kChecksumQuiet, true, checksum);
        if (heard.codes > 0) return MidWrite::AtPrompt;
        if (!heard.any()) return MidWrite::Stuck;
        // Short of a whole block, that was the write's last.
        if (lines < kLinesPerBlock) return heard.ok > 0 ? MidWrite::AtPrompt : MidWrite::Stuck;
    }
    return MidWrite::Stuck;
}

// With answered set, the chip answered the probe as an LPC17xx: when no
// fingerprint was read all the same, the reason is shown and the i.MX road
// is not to be taken.
bool _get_fingerprint_lpc(UpdaterDisplayInterface& display, const std::string& port, unsigned int baudRate,
                          Fingerprint& out, bool& answered)
{
    answered = false;
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
        const MidWrite state = _lpc_finish_write(chip);
        int code = -1;
        if (state == MidWrite::AtPrompt && _answers_with_code(chip, "A 1\r\n", code) && code == 0) {
            Log::log(DEBUG_APP, "Device back at its command prompt\n");
            chip.echo = true;
            err = aErrNone;
        } else if (state != MidWrite::NotLpc) {
            Log::log(DEBUG_APP, "ERROR ==> Device writing to RAM did not come back to its command prompt\n");
            display.message(UpdaterDisplayInterface::ERROR,
                            "LPC17xx chip did not come back to its command prompt");
            answered = true;
            return false;
        }
    }
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    answered = true;
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    err = chip.GetDeviceID();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        display.message(UpdaterDisplayInterface::ERROR,
                        "LPC17xx chip answered the synchronisation but gave no serial number [%d, %s]", err,
                        aError_GetErrorText(err));
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
    bool lpc = false;
    if (_get_fingerprint_lpc(display, port, baudRate, out, lpc)) {
        recoveryChip = 2;
        return true;
    }
    // A chip that answered as an LPC17xx is sent no byte meant for another.
    if (lpc) {
        recoveryChip = 2;
        return false;
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
