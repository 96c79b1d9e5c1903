#include "tests/sim/sdp_boot_rom.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim {

namespace {

constexpr size_t COMMAND_BYTES = 16;
constexpr uint8_t COMMAND_REPORT = 1;
constexpr uint8_t DATA_REPORT = 2;
constexpr uint8_t HAB_REPORT = 3;
constexpr uint8_t WORD_REPORT = 4;

uint32_t bigEndian(const uint8_t* p, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
    return value;
}

void putLittleEndian(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

} // namespace

SdpBootRom::SdpBootRom(Wire wire) : wire_(wire), timer_(&SdpBootRom::timerLoop, this) {}

SdpBootRom::~SdpBootRom()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    timerWake_.notify_all();
    timer_.join();
}

void SdpBootRom::timerLoop()
{
    std::unique_lock<std::mutex> guard(lock_);
    while (!stop_) {
        if (replies_.empty()) {
            timerWake_.wait(guard);
            continue;
        }
        if (replyDue()) {
            // The carrier is taking it; what follows may be due later.
            timerWake_.wait_for(guard, std::chrono::milliseconds(5));
            continue;
        }
        const Clock::time_point due = replies_.front().due;
        timerWake_.wait_until(guard, due);
        if (stop_ || !replyDue()) continue;
        std::function<void()> notify = notify_;
        changed_.notify_all();
        guard.unlock();
        if (notify) notify();
        guard.lock();
    }
}

bool SdpBootRom::replyDue() const
{
    return !replies_.empty() && replies_.front().due <= Clock::now();
}

void SdpBootRom::setIdleDrop(int ms)
{
    std::lock_guard<std::mutex> guard(lock_);
    idleDropMs_ = ms;
}

void SdpBootRom::setStatusDelay(int ms)
{
    std::lock_guard<std::mutex> guard(lock_);
    statusDelayMs_ = ms;
}

size_t SdpBootRom::droppedBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
}

std::vector<uint8_t> SdpBootRom::hidReportDescriptor()
{
    return {
        0x06, 0x00, 0xFF,        // usage page: vendor defined
        0x09, 0x01,              // usage 1
        0xA1, 0x01,              // collection: application
        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // bytes 0 to 255
        0x85, 0x01, 0x09, 0x01, 0x95, 0x10, 0x91, 0x02,        // report 1: 16 bytes out
        0x85, 0x02, 0x09, 0x01, 0x96, 0x00, 0x04, 0x91, 0x02,  // report 2: 1024 bytes out
        0x85, 0x03, 0x09, 0x01, 0x95, 0x04, 0x81, 0x02,        // report 3: 4 bytes in
        0x85, 0x04, 0x09, 0x01, 0x95, 0x40, 0x81, 0x02,        // report 4: 64 bytes in
        0xC0,
    };
}

std::vector<uint8_t> SdpBootRom::memory(uint32_t address, size_t n) const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint8_t> out(n, 0);
    for (size_t i = 0; i < n; ++i) {
        auto it = memory_.find(uint32_t(address + i));
        if (it != memory_.end()) out[i] = it->second;
    }
    return out;
}

void SdpBootRom::setWord(uint32_t address, uint32_t value)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (uint32_t i = 0; i < 4; ++i) memory_[address + i] = uint8_t(value >> (8 * i));
}

std::vector<SdpBootRom::Command> SdpBootRom::commands() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

std::vector<size_t> SdpBootRom::dataReports() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dataReports_;
}

size_t SdpBootRom::imageBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return imageTaken_;
}

std::optional<uint32_t> SdpBootRom::jumpAddress() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return jump_;
}

bool SdpBootRom::waitCommands(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return commands_.size() >= count; });
}

void SdpBootRom::setSilent(bool silent)
{
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = silent;
}

void SdpBootRom::ignore(uint16_t type, int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    ignored_[type] = count;
}

void SdpBootRom::setHabWord(uint32_t word)
{
    std::lock_guard<std::mutex> guard(lock_);
    hab_ = word;
}

void SdpBootRom::setStatusWord(uint32_t word)
{
    std::lock_guard<std::mutex> guard(lock_);
    status_ = word;
}

void SdpBootRom::setCompleteWord(uint32_t word)
{
    std::lock_guard<std::mutex> guard(lock_);
    complete_ = word;
}

void SdpBootRom::setShortReplies(bool shortReplies)
{
    std::lock_guard<std::mutex> guard(lock_);
    short_ = shortReplies;
}

void SdpBootRom::interruptImageAfter(size_t bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    interruptAfter_ = bytes;
}

void SdpBootRom::queue(std::vector<uint8_t> reply, int delayMs)
{
    if (silent_ || reply.empty()) return;
    // Answers leave in order: one held back holds back those after it.
    const Clock::time_point now = Clock::now();
    Clock::time_point due = now + std::chrono::milliseconds(delayMs);
    if (!replies_.empty()) due = std::max(due, replies_.back().due);
    replies_.push_back({due, std::move(reply)});
    if (due > now)
        timerWake_.notify_all();
    else
        pendingNotify_ = true;
}

void SdpBootRom::sendHab(int delayMs)
{
    std::vector<uint8_t> reply;
    if (wire_ == Wire::Hid) reply.push_back(HAB_REPORT);
    putLittleEndian(reply, hab_);
    queue(std::move(reply), delayMs);
}

void SdpBootRom::sendWords(const std::vector<uint8_t>& words, int delayMs)
{
    size_t cut = short_ ? 1 : 0;
    if (wire_ == Wire::Uart) {
        queue(std::vector<uint8_t>(words.begin(), words.end() - long(std::min(cut, words.size()))), delayMs);
        return;
    }
    // Report 4 carries up to 64 bytes of words, padded with zeros.
    for (size_t at = 0; at < words.size(); at += HID_INPUT_REPORT - 1) {
        size_t n = std::min(HID_INPUT_REPORT - 1, words.size() - at);
        std::vector<uint8_t> report(HID_INPUT_REPORT, 0);
        report[0] = WORD_REPORT;
        std::copy_n(words.begin() + long(at), n, report.begin() + 1);
        report.resize(HID_INPUT_REPORT - cut);
        queue(std::move(report), delayMs);
    }
}

void SdpBootRom::command(const uint8_t* bytes)
{
    Command c{uint16_t(bigEndian(bytes, 2)), bigEndian(bytes + 2, 4), bytes[6], bigEndian(bytes + 7, 4)};
    commands_.push_back(c);
    changed_.notify_all();
    int& ignored = ignored_[c.type];
    if (ignored > 0) {
        --ignored;
        return;
    }
    std::vector<uint8_t> words;
    switch (c.type) {
    case ERROR_STATUS:
        sendHab(statusDelayMs_);
        putLittleEndian(words, status_);
        sendWords(words, statusDelayMs_);
        return;
    case WRITE_FILE:
        imageAddress_ = c.address;
        imageLeft_ = c.count;
        inImage_ = c.count > 0;
        discarding_ = false;
        if (!inImage_) {
            sendHab();
            putLittleEndian(words, complete_);
            sendWords(words);
        }
        return;
    case READ_REGISTER:
        sendHab();
        for (uint32_t i = 0; i < (c.count + 3) / 4 * 4; ++i) {
            auto it = memory_.find(c.address + i);
            words.push_back(it == memory_.end() ? 0 : it->second);
        }
        sendWords(words);
        return;
    case JUMP_ADDRESS:
        jump_ = c.address;
        sendHab();
        return;
    default:
        return;
    }
}

void SdpBootRom::image(const uint8_t* data, size_t n)
{
    size_t take = std::min<size_t>(n, imageLeft_);
    imageLeft_ -= uint32_t(take);
    inImage_ = imageLeft_ > 0;
    if (discarding_) return;
    for (size_t i = 0; i < take; ++i) memory_[uint32_t(imageAddress_ + i)] = data[i];
    imageAddress_ += uint32_t(take);
    imageTaken_ += take;
    std::vector<uint8_t> words;
    if (interruptAfter_ && imageTaken_ >= *interruptAfter_ && imageLeft_ > 0) {
        // The rest of the announced image is taken and dropped.
        interruptAfter_.reset();
        discarding_ = true;
        sendHab();
        putLittleEndian(words, status_);
        sendWords(words);
    } else if (imageLeft_ == 0) {
        sendHab();
        putLittleEndian(words, complete_);
        sendWords(words);
    }
}

void SdpBootRom::fromHost(const uint8_t* data, size_t n)
{
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (wire_ == Wire::Hid) {
            // One write is one report.
            if (n >= 1 + COMMAND_BYTES && data[0] == COMMAND_REPORT) {
                inImage_ = false;
                command(data + 1);
            } else if (n >= 1 && data[0] == DATA_REPORT && inImage_) {
                dataReports_.push_back(n);
                image(data + 1, n - 1);
            }
        } else {
            while (n > 0) {
                if (inImage_) {
                    size_t take = std::min<size_t>(n, imageLeft_);
                    image(data, take);
                    data += take;
                    n -= take;
                    continue;
                }
                const Clock::time_point now = Clock::now();
                if (!partial_.empty() && idleDropMs_ >= 0 &&
                    now - lastByte_ > std::chrono::milliseconds(idleDropMs_)) {
                    dropped_ += partial_.size();
                    partial_.clear();
                }
                lastByte_ = now;
                size_t take = std::min(n, COMMAND_BYTES - partial_.size());
                partial_.insert(partial_.end(), data, data + take);
                data += take;
                n -= take;
                if (partial_.size() == COMMAND_BYTES) {
                    command(partial_.data());
                    partial_.clear();
                }
            }
        }
        if (pendingNotify_) {
            pendingNotify_ = false;
            notify = notify_;
            changed_.notify_all();
        }
    }
    if (notify) notify();
}

size_t SdpBootRom::toHost(uint8_t* out, size_t max)
{
    std::lock_guard<std::mutex> guard(lock_);
    size_t given = 0;
    while (replyDue() && given < max) {
        std::vector<uint8_t>& front = replies_.front().bytes;
        size_t n = std::min(max - given, front.size());
        memcpy(out + given, front.data(), n);
        given += n;
        // A report goes out whole or not at all: what does not fit is lost, as with a short read buffer.
        if (wire_ == Wire::Hid || n == front.size()) {
            replies_.pop_front();
            if (wire_ == Wire::Hid) break;
        } else {
            front.erase(front.begin(), front.begin() + long(n));
        }
    }
    return given;
}

bool SdpBootRom::toHostFrame(std::vector<uint8_t>& frame)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!replyDue()) return false;
    frame = std::move(replies_.front().bytes);
    replies_.pop_front();
    return true;
}

bool SdpBootRom::waitToHost(int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return replyDue(); });
}

void SdpBootRom::setToHostNotify(std::function<void()> notify)
{
    std::lock_guard<std::mutex> guard(lock_);
    notify_ = std::move(notify);
}

} // namespace sim
