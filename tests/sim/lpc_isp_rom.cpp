#include "tests/sim/lpc_isp_rom.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

// Return codes of the ROM.
enum : int {
    kSuccess = 0,
    kInvalidCommand = 1,
    kSrcAddrError = 2,
    kDstAddrError = 3,
    kSrcAddrNotMapped = 4,
    kDstAddrNotMapped = 5,
    kCountError = 6,
    kInvalidSector = 7,
    kSectorNotPrepared = 9,
    kParamError = 12,
    kAddrError = 13,
    kAddrNotMapped = 14,
    kCmdLocked = 15,
    kInvalidCode = 16,
    kInvalidBaudRate = 17,
    kInvalidStopBit = 18,
};

constexpr long long kUnlockCode = 23130;
constexpr int kLinesPerChecksum = 20;
constexpr uint32_t kBytesPerLine = 45;

int sSectorOf(uint32_t address)
{
    return address < 0x10000 ? int(address / 0x1000) : int(16 + (address - 0x10000) / 0x8000);
}

uint32_t sSectorStart(int sector)
{
    return sector < 16 ? uint32_t(sector) * 0x1000 : 0x10000 + uint32_t(sector - 16) * 0x8000;
}

uint32_t sSum(const uint8_t* data, size_t n)
{
    uint32_t total = 0;
    for (size_t i = 0; i < n; ++i)
        total += data[i];
    return total;
}

char sUuChar(uint32_t sixBits)
{
    sixBits &= 0x3F;
    return sixBits == 0 ? '`' : char(' ' + sixBits);
}

std::string sUuLine(const uint8_t* data, size_t n)
{
    std::string line(1, sUuChar(uint32_t(n)));
    for (size_t i = 0; i < n; i += 3) {
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (i + k < n ? data[i + k] : 0);
        for (int shift = 18; shift >= 0; shift -= 6)
            line += sUuChar(group >> shift);
    }
    return line;
}

// Decodes a line's count of bytes; false when its characters do not cover
// the count. The ROM decodes the count whatever the line holds: characters
// past the line's end are read from its line buffer, which holds NULs there.
bool sUuDecode(const std::string& line, std::vector<uint8_t>& out)
{
    if (line.empty())
        return false;
    const size_t count = size_t(uint8_t(line[0]) - 0x20) & 0x3F;
    for (size_t i = 0; i < count; ++i) {
        const size_t group = 1 + i / 3 * 4;
        uint32_t value = 0;
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t c = group + k < line.size() ? uint8_t(line[group + k]) : 0;
            value = value << 6 | ((c - 0x20) & 0x3F);
        }
        out.push_back(uint8_t(value >> (16 - 8 * (i % 3))));
    }
    return line.size() >= 1 + (count + 2) / 3 * 4;
}

// A checksum line's value; false when it holds no decimal number. Strictly,
// the line is digits only; leniently, leading digits are read and a line
// without any reads as 0.
bool sChecksum(const std::string& line, bool lenient, unsigned long& value)
{
    const size_t digits = std::min(line.find_first_not_of("0123456789"), line.size());
    if (!lenient && (digits == 0 || digits != line.size() || digits > 10))
        return false;
    value = strtoul(line.substr(0, std::min<size_t>(digits, 10)).c_str(), nullptr, 10);
    return true;
}

bool sParseArgs(const std::string& text, std::vector<long long>& args, std::vector<std::string>& words)
{
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        words.push_back(word);
        char* end = nullptr;
        const long long value = strtoll(word.c_str(), &end, 10);
        if (*end == 0)
            args.push_back(value);
    }
    return true;
}

} // namespace

LpcIspRom::LpcIspRom() : LpcIspRom(Identity()) {}

LpcIspRom::LpcIspRom(const Identity& identity)
    : identity_(identity), flash_(kFlashSize), programmed_(kFlashSize, true), ram_(kRamSize, 0)
{
    for (uint32_t a = 0; a < kFlashSize; ++a)
        flash_[a] = initialFlash(a);
    timer_ = std::thread(&LpcIspRom::timerLoop, this);
}

LpcIspRom::~LpcIspRom()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    timer_.join();
}

uint8_t LpcIspRom::initialFlash(uint32_t address)
{
    return uint8_t(address * 7 + (address >> 8));
}

void LpcIspRom::setFaults(const Faults& faults)
{
    std::lock_guard<std::mutex> hold(lock_);
    faults_ = faults;
}

void LpcIspRom::setLineRate(unsigned baud)
{
    std::lock_guard<std::mutex> hold(lock_);
    charTime_ = baud == 0 ? std::chrono::nanoseconds(0) : std::chrono::nanoseconds(10'000'000'000ull / baud);
}

void LpcIspRom::setSynchronised()
{
    std::lock_guard<std::mutex> hold(lock_);
    state_ = State::Command;
}

bool LpcIspRom::synchronised() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return state_ != State::Unsynchronised && state_ != State::SyncLine && state_ != State::Crystal &&
           state_ != State::Running;
}

bool LpcIspRom::writingRam() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return state_ == State::WriteData;
}

bool LpcIspRom::echo() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return echo_;
}

bool LpcIspRom::unlocked() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return unlocked_;
}

std::vector<uint8_t> LpcIspRom::flash() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return flash_;
}

std::vector<uint8_t> LpcIspRom::ram() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return ram_;
}

std::vector<uint8_t> LpcIspRom::received() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

std::vector<std::string> LpcIspRom::commands() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return commands_;
}

LpcIspRom::Counters LpcIspRom::counters() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return counters_;
}

void LpcIspRom::fromHost(const uint8_t* data, size_t n)
{
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> hold(lock_);
        received_.insert(received_.end(), data, data + n);
        if (!faults_.mute) {
            const Clock::time_point now = Clock::now();
            for (size_t i = 0; i < n; ++i) {
                if (charTime_.count() > 0)
                    rxTime_ = std::max(rxTime_, now) + charTime_;
                takeByte(data[i]);
            }
        }
        notify = notify_;
    }
    changed_.notify_all();
    if (notify)
        notify();
}

void LpcIspRom::takeByte(uint8_t byte)
{
    if (state_ == State::Running)
        return;
    if (state_ == State::Unsynchronised) {
        if (byte == '?') {
            reply("Synchronized\r\n", faults_.replyDelayMs);
            state_ = State::SyncLine;
        }
        return;
    }
    if (echo_)
        queue({faults_.wrongEcho ? uint8_t('~') : byte}, 0);
    if (state_ == State::WriteData) {
        // Data and checksum lines end with CR, LF or both; an empty line
        // (the LF after a CR) is no line.
        if (byte != '\r' && byte != '\n') {
            line_ += char(byte);
        } else if (!line_.empty()) {
            std::string line;
            line.swap(line_);
            takeLine(line);
        }
        return;
    }
    if (byte != '\n') {
        line_ += char(byte);
        return;
    }
    std::string line;
    line.swap(line_);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    takeLine(line);
}

void LpcIspRom::takeLine(const std::string& line)
{
    switch (state_) {
    case State::Unsynchronised:
        break;
    case State::SyncLine:
        if (line == "Synchronized") {
            if (!faults_.dropSyncOk)
                reply("OK\r\n", faults_.replyDelayMs);
            state_ = State::Crystal;
        } else {
            state_ = State::Unsynchronised;
        }
        break;
    case State::Crystal:
        // The crystal's frequency in kHz, a decimal number; anything else
        // leaves the chip waiting for a new synchronisation.
        if (line.empty() || line.size() > 6 || line.find_first_not_of("0123456789") != std::string::npos ||
            atoi(line.c_str()) == 0) {
            state_ = State::Unsynchronised;
            break;
        }
        counters_.crystalKHz = atoi(line.c_str());
        reply("OK\r\n", faults_.replyDelayMs);
        state_ = State::Command;
        break;
    case State::Running:
        break;
    case State::Command:
        if (!line.empty())
            runCommand(line);
        break;
    case State::WriteData:
        takeDataLine(line);
        break;
    case State::ReadAck:
        takeReadAck(line);
        break;
    }
}

bool LpcIspRom::sectorsPrepared(uint32_t first, uint32_t last) const
{
    for (uint32_t s = first; s <= last; ++s)
        if (!prepared_.count(int(s)))
            return false;
    return true;
}

uint8_t* LpcIspRom::memory(uint32_t address, uint32_t count)
{
    if (uint64_t(address) + count <= kFlashSize)
        return flash_.data() + address;
    if (address >= kRamStart && uint64_t(address) + count <= uint64_t(kRamStart) + kRamSize)
        return ram_.data() + (address - kRamStart);
    return nullptr;
}

// The ROM's own answer to a command whose arguments parsed as numbers.
int LpcIspRom::commandCode(char letter, const std::vector<long long>& a, size_t argCount)
{
    const auto argsAre = [&](size_t n) { return argCount == n && a.size() == n; };
    switch (letter) {
    case 'U':
        if (!argsAre(1))
            return kParamError;
        if (a[0] != kUnlockCode)
            return kInvalidCode;
        unlocked_ = true;
        return kSuccess;
    case 'A':
        return argsAre(1) && (a[0] == 0 || a[0] == 1) ? kSuccess : kParamError;
    case 'B':
        if (!argsAre(2))
            return kParamError;
        if (a[0] <= 0 || a[0] > 230400)
            return kInvalidBaudRate;
        return a[1] == 1 || a[1] == 2 ? kSuccess : kInvalidStopBit;
    case 'N':
    case 'K':
    case 'J':
        return argsAre(0) ? kSuccess : kParamError;
    case 'P':
    case 'E':
        if (!argsAre(2))
            return kParamError;
        if (a[0] < 0 || a[1] < a[0] || a[1] >= kSectors)
            return kInvalidSector;
        if (letter == 'E' && !unlocked_)
            return kCmdLocked;
        if (letter == 'E' && !sectorsPrepared(uint32_t(a[0]), uint32_t(a[1])))
            return kSectorNotPrepared;
        return kSuccess;
    case 'W':
        if (!argsAre(2))
            return kParamError;
        if (a[0] % 4 != 0)
            return kAddrError;
        if (a[1] <= 0 || a[1] % 4 != 0)
            return kCountError;
        if (a[0] < kRamUsable || a[0] + a[1] > kRamStart + kRamSize)
            return kAddrNotMapped;
        return kSuccess;
    case 'R':
        if (!argsAre(2))
            return kParamError;
        if (a[0] % 4 != 0)
            return kAddrError;
        if (a[1] <= 0 || a[1] % 4 != 0)
            return kCountError;
        return a[0] >= 0 && memory(uint32_t(a[0]), uint32_t(a[1])) ? kSuccess : kAddrNotMapped;
    case 'C': {
        if (!argsAre(3))
            return kParamError;
        if (!unlocked_)
            return kCmdLocked;
        if (a[0] < 0 || a[0] % 256 != 0)
            return kDstAddrError;
        if (a[2] != 256 && a[2] != 512 && a[2] != 1024 && a[2] != 4096)
            return kCountError;
        if (a[0] + a[2] > kFlashSize)
            return kDstAddrNotMapped;
        if (a[1] % 4 != 0)
            return kSrcAddrError;
        if (a[1] < kRamStart || a[1] + a[2] > kRamStart + kRamSize)
            return kSrcAddrNotMapped;
        const uint32_t first = uint32_t(a[0]);
        const uint32_t last = first + uint32_t(a[2]) - 1;
        if (!sectorsPrepared(uint32_t(sSectorOf(first)), uint32_t(sSectorOf(last))))
            return kSectorNotPrepared;
        return kSuccess;
    }
    case 'G':
        if (argCount != 2 || a.size() != 1)
            return kParamError;
        return unlocked_ ? kSuccess : kCmdLocked;
    default:
        return kInvalidCommand;
    }
}

void LpcIspRom::runCommand(const std::string& line)
{
    commands_.push_back(line);
    std::vector<long long> args;
    std::vector<std::string> words;
    sParseArgs(line.substr(1), args, words);
    const char letter = line[0];
    int code = commandCode(letter, args, words.size());
    const auto forced = faults_.returnCodes.find(letter);
    if (forced != faults_.returnCodes.end())
        code = forced->second;
    const auto forcedLine = faults_.lineCodes.find(line);
    if (forcedLine != faults_.lineCodes.end())
        code = forcedLine->second;

    std::string answer = std::to_string(code) + "\r\n";
    if (code != kSuccess) {
        reply(answer, faults_.replyDelayMs);
        return;
    }
    switch (letter) {
    case 'A':
        reply(answer, faults_.replyDelayMs);
        echo_ = args[0] == 1;
        return;
    case 'N':
        for (int i = 0; i < faults_.identityLines && i < 4; ++i)
            answer += std::to_string(identity_.serial[i]) + "\r\n";
        break;
    case 'K':
        answer += std::to_string(identity_.bootMajor) + "\r\n" + std::to_string(identity_.bootMinor) + "\r\n";
        break;
    case 'J':
        answer += std::to_string(identity_.partId) + "\r\n";
        break;
    case 'P':
        for (long long s = args[0]; s <= args[1]; ++s)
            prepared_.insert(int(s));
        break;
    case 'E':
        for (long long s = args[0]; s <= args[1]; ++s) {
            const uint32_t start = sSectorStart(int(s));
            const uint32_t end = s + 1 < kSectors ? sSectorStart(int(s) + 1) : kFlashSize;
            std::fill(flash_.begin() + start, flash_.begin() + end, 0xFF);
            std::fill(programmed_.begin() + start, programmed_.begin() + end, false);
        }
        prepared_.clear();
        break;
    case 'C': {
        // Programming only clears bits: unerased flash comes out mixed.
        const uint8_t* from = &ram_[size_t(args[1] - kRamStart)];
        bool ontoProgrammed = false;
        for (long long i = 0; i < args[2]; ++i) {
            const size_t at = size_t(args[0] + i);
            flash_[at] &= from[i];
            ontoProgrammed = ontoProgrammed || programmed_[at];
            programmed_[at] = true;
        }
        if (ontoProgrammed)
            counters_.copiesOntoProgrammed.push_back(line);
        prepared_.clear();
        break;
    }
    case 'G':
        // The code runs at once; no return code comes back, nor anything after.
        counters_.started = true;
        counters_.startAddress = uint32_t(args[0]);
        counters_.startMode = words[1];
        state_ = State::Running;
        return;
    case 'W':
        state_ = State::WriteData;
        transferAddress_ = uint32_t(args[0]);
        transferCount_ = uint32_t(args[1]);
        transferDone_ = 0;
        pending_.clear();
        pendingLines_ = 0;
        break;
    case 'R':
        reply(answer, faults_.replyDelayMs);
        transferAddress_ = uint32_t(args[0]);
        transferCount_ = uint32_t(args[1]);
        transferDone_ = 0;
        sendReadBlock();
        return;
    default:
        break;
    }
    reply(answer, faults_.replyDelayMs);
}

void LpcIspRom::takeDataLine(const std::string& line)
{
    const bool checksumDue = pendingLines_ == kLinesPerChecksum || transferDone_ + pending_.size() >= transferCount_;
    if (!checksumDue) {
        const size_t number = counters_.dataLines++;
        ++pendingLines_;
        std::vector<uint8_t> bytes;
        sUuDecode(line, bytes);
        if (faults_.corruptDataLines.count(number) && !bytes.empty())
            bytes[0] ^= 0x01;
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        return;
    }

    ++counters_.checksums;
    unsigned long checksum = 0;
    const bool number = sChecksum(line, faults_.lenientChecksum, checksum);
    // A block that brought more bytes than the write has left cannot be
    // the one the ROM waits for.
    const size_t room = transferCount_ - transferDone_;
    const bool fits = pending_.size() <= room;
    pendingLines_ = 0;
    if (!number || !fits || checksum != sSum(pending_.data(), pending_.size())) {
        ++counters_.resendsSent;
        pending_.clear();
        reply("RESEND\r\n", faults_.checksumDelayMs);
        return;
    }
    std::copy(pending_.begin(), pending_.end(), ram_.begin() + (transferAddress_ - kRamStart + transferDone_));
    transferDone_ += uint32_t(pending_.size());
    pending_.clear();
    if (transferDone_ == transferCount_)
        state_ = State::Command;
    reply(faults_.checksumAnswer.empty() ? "OK\r\n" : faults_.checksumAnswer, faults_.checksumDelayMs);
}

void LpcIspRom::sendReadBlock()
{
    const uint8_t* source = memory(transferAddress_, transferCount_);
    const uint32_t start = transferDone_;
    std::string block;
    uint32_t at = start;
    for (int lines = 0; lines < kLinesPerChecksum && at < transferCount_; ++lines) {
        const uint32_t n = std::min(kBytesPerLine, transferCount_ - at);
        block += sUuLine(source + at, n) + "\r\n";
        at += n;
    }
    blockLength_ = at - start;
    uint32_t checksum = sSum(source + start, blockLength_);
    if (faults_.badReadChecksums > 0) {
        --faults_.badReadChecksums;
        checksum += 1;
    }
    block += std::to_string(checksum) + "\r\n";
    reply(block, faults_.replyDelayMs);
    state_ = State::ReadAck;
}

void LpcIspRom::takeReadAck(const std::string& line)
{
    if (line == "OK") {
        transferDone_ += blockLength_;
        if (transferDone_ < transferCount_)
            sendReadBlock();
        else
            state_ = State::Command;
    } else if (line == "RESEND") {
        ++counters_.resendsReceived;
        sendReadBlock();
    } else {
        state_ = State::Command;
    }
}

void LpcIspRom::reply(const std::string& text, int delayMs)
{
    queue(std::vector<uint8_t>(text.begin(), text.end()), delayMs);
}

void LpcIspRom::queue(std::vector<uint8_t> bytes, int delayMs)
{
    const Clock::time_point now = Clock::now();
    Clock::time_point due = now + std::chrono::milliseconds(delayMs);
    if (charTime_.count() > 0) {
        // Answers follow the byte that caused them, one after the other.
        due = std::max({due, rxTime_, txTime_}) + charTime_ * bytes.size();
        txTime_ = due;
    }
    if (!toHost_.empty() && toHost_.back().due == due) {
        toHost_.back().bytes.insert(toHost_.back().bytes.end(), bytes.begin(), bytes.end());
    } else {
        toHost_.push_back({due, std::move(bytes)});
    }
    if (due > now)
        wakeAt_.insert(due);
}

size_t LpcIspRom::toHost(uint8_t* out, size_t max)
{
    std::lock_guard<std::mutex> hold(lock_);
    const Clock::time_point now = Clock::now();
    size_t n = 0;
    // Answers leave in order: one not due yet holds back what follows it.
    while (n < max && !toHost_.empty() && toHost_.front().due <= now) {
        std::vector<uint8_t>& bytes = toHost_.front().bytes;
        const size_t take = std::min(max - n, bytes.size());
        std::copy(bytes.begin(), bytes.begin() + take, out + n);
        bytes.erase(bytes.begin(), bytes.begin() + take);
        n += take;
        if (bytes.empty())
            toHost_.pop_front();
    }
    return n;
}

bool LpcIspRom::toHostFrame(std::vector<uint8_t>& frame)
{
    uint8_t buffer[1024];
    const size_t n = toHost(buffer, sizeof buffer);
    frame.assign(buffer, buffer + n);
    return n > 0;
}

bool LpcIspRom::waitToHost(int timeoutMs)
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return !toHost_.empty() && toHost_.front().due <= Clock::now();
    });
}

void LpcIspRom::setToHostNotify(std::function<void()> notify)
{
    std::lock_guard<std::mutex> hold(lock_);
    notify_ = std::move(notify);
}

// Wakes the carrier when a delayed answer falls due.
void LpcIspRom::timerLoop()
{
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
        if (wakeAt_.empty()) {
            changed_.wait(hold);
            continue;
        }
        const Clock::time_point at = *wakeAt_.begin();
        if (Clock::now() < at) {
            changed_.wait_until(hold, at);
            continue;
        }
        wakeAt_.erase(wakeAt_.begin());
        std::function<void()> notify = notify_;
        hold.unlock();
        changed_.notify_all();
        if (notify)
            notify();
        hold.lock();
    }
}

} // namespace sim
