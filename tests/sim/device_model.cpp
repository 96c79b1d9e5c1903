#include "tests/sim/device_model.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

std::vector<uint8_t> Packet::wire() const
{
    if (data.size() > kMaxPacketData) throw std::length_error("packet with more than 28 data bytes");
    std::vector<uint8_t> bytes;
    bytes.reserve(data.size() + 2);
    bytes.push_back(address);
    bytes.push_back(static_cast<uint8_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

std::ostream& operator<<(std::ostream& out, const Packet& packet)
{
    char hex[4];
    for (uint8_t byte : packet.wire()) {
        std::snprintf(hex, sizeof hex, "%02X ", byte);
        out << hex;
    }
    return out;
}

DeviceModel::DeviceModel(DeviceConfig config) : config_(config)
{
    if (config_.address == 0 || (config_.address & 1))
        throw std::invalid_argument("a module address is even and non-zero");
    installDefaultHandlers();
}

DeviceModel::~DeviceModel()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    outputChanged_.notify_all();
    if (timer_.joinable()) timer_.join();
}

void DeviceModel::installDefaultHandlers()
{
    // The module-address query AD 00: answered with [A] 00.
    setAddressHandler(kAddressQuery, [](DeviceModel& device, const Packet& request) {
        if (request.data.empty()) device.answer(Packet{device.config().address, {}});
    });
    // Force route AF 01 x: taken silently.
    setAddressHandler(kForceRoute, [this](DeviceModel&, const Packet& request) {
        if (request.data.size() != 1) return;
        std::lock_guard<std::mutex> lock(mutex_);
        records_.forceRoutes.push_back(request.data[0]);
        recordsChanged_.notify_all();
    });
    // The host's reply to a heartbeat: [A] 02 00 x.
    setCommandHandler(kHeartbeatCommand, [this](DeviceModel&, const Packet& request) {
        if (request.data.size() != 2) return;
        std::lock_guard<std::mutex> lock(mutex_);
        records_.heartbeatReplies.push_back(request.data[1]);
        recordsChanged_.notify_all();
    });
    if (config_.echoCommand != 0)
        setCommandHandler(config_.echoCommand,
                          [](DeviceModel& device, const Packet& request) { device.answer(request); });
}

void DeviceModel::setCommandHandler(uint8_t command, Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler) commandHandlers_[command] = std::move(handler);
    else commandHandlers_.erase(command);
}

void DeviceModel::setAddressHandler(uint8_t address, Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler) addressHandlers_[address] = std::move(handler);
    else addressHandlers_.erase(address);
}

void DeviceModel::answer(Packet packet)
{
    std::vector<uint8_t> bytes;
    int delayMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (faults_.silent) return;
        ++answersSent_;
        if (faults_.answerAddress != 0) packet.address = faults_.answerAddress;
        if (faults_.alternateAddress != 0 && answersSent_ % 2 == 0) packet.address = faults_.alternateAddress;
        bytes = packet.wire();
        if (faults_.corruptEvery != 0 && answersSent_ % faults_.corruptEvery == 0) {
            switch (faults_.corruption) {
            case Corruption::None: break;
            case Corruption::OddAddress: bytes[0] |= 1; break;
            case Corruption::ZeroAddress: bytes[0] = 0; break;
            case Corruption::LongLength: bytes[1] = kMaxPacketData + 1; break;
            }
        }
        delayMs = faults_.answerDelayMs;
    }
    queueFrame(std::move(bytes), delayMs);
}

void DeviceModel::send(const Packet& packet)
{
    queueFrame(packet.wire(), 0);
}

void DeviceModel::injectToHost(std::vector<uint8_t> bytes)
{
    queueFrame(std::move(bytes), 0);
}

void DeviceModel::sendHeartbeat(uint8_t x)
{
    send(Packet{config_.address, {kHeartbeatCommand, x}});
}

void DeviceModel::setFaults(const Faults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

Faults DeviceModel::faults() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

Records DeviceModel::records() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void DeviceModel::clearRecords()
{
    std::lock_guard<std::mutex> lock(mutex_);
    records_ = Records{};
}

bool DeviceModel::waitFor(const std::function<bool(const Records&)>& predicate, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return recordsChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return predicate(records_); });
}

bool DeviceModel::waitForPackets(size_t count, int timeoutMs) const
{
    return waitFor([count](const Records& r) { return r.packetCount >= count; }, timeoutMs);
}

void DeviceModel::fromHost(const uint8_t* data, size_t n)
{
    take(data, n, false);
}

void DeviceModel::fromHostFrame(const uint8_t* data, size_t n)
{
    take(data, n, true);
}

void DeviceModel::take(const uint8_t* data, size_t n, bool frame)
{
    std::lock_guard<std::mutex> feed(feedMutex_);
    std::vector<Packet> complete;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recordBytes(data, n);
        for (size_t i = 0; i < n; ++i) assembleByte(data[i], complete);
        // A frame holds whole packets: one that a frame boundary cuts is lost.
        if (frame && (assembly_.stage != 0 || n == 0)) {
            ++records_.framingErrors;
            assembly_ = Assembly{};
        }
    }
    recordsChanged_.notify_all();
    for (const Packet& packet : complete) dispatch(packet);
}

void DeviceModel::recordBytes(const uint8_t* data, size_t n)
{
    records_.byteCount += n;
    if (config_.recordTraffic) records_.bytes.insert(records_.bytes.end(), data, data + n);
}

void DeviceModel::assembleByte(uint8_t byte, std::vector<Packet>& complete)
{
    Assembly& a = assembly_;
    switch (a.stage) {
    case 0:
        if (byte == 0) { // no module has address 0
            ++records_.framingErrors;
            return;
        }
        a.packet = Packet{byte, {}};
        a.stage = 1;
        return;
    case 1:
        if (byte > kMaxPacketData) {
            ++records_.framingErrors;
            a = Assembly{};
            return;
        }
        a.length = byte;
        a.stage = 2;
        break;
    default:
        a.packet.data.push_back(byte);
        break;
    }
    if (a.packet.data.size() < a.length) return;
    ++records_.packetCount;
    if (config_.recordTraffic) records_.packets.push_back(a.packet);
    complete.push_back(std::move(a.packet));
    a = Assembly{};
}

void DeviceModel::dispatch(const Packet& packet)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto byAddress = addressHandlers_.find(packet.address);
        if (byAddress != addressHandlers_.end()) {
            handler = byAddress->second;
        } else if (packet.address == config_.address && !packet.data.empty()) {
            auto byCommand = commandHandlers_.find(packet.data[0]);
            if (byCommand != commandHandlers_.end()) handler = byCommand->second;
        }
    }
    if (handler) handler(*this, packet);
}

void DeviceModel::queueFrame(std::vector<uint8_t> bytes, int delayMs)
{
    bool announce;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point now = Clock::now();
        announce = delayMs <= 0;
        output_.push_back(Frame{std::move(bytes), now + std::chrono::milliseconds(std::max(delayMs, 0)), announce});
        if (!announce && !timer_.joinable()) timer_ = std::thread([this] { timerLoop(); });
    }
    outputChanged_.notify_all();
    if (announce) notifyHost();
}

bool DeviceModel::readyLocked(Clock::time_point now) const
{
    return !output_.empty() && output_.front().readyAt <= now;
}

void DeviceModel::timerLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        auto pending = std::find_if(output_.begin(), output_.end(), [](const Frame& f) { return !f.announced; });
        if (pending == output_.end()) {
            outputChanged_.wait(lock);
            continue;
        }
        if (Clock::now() < pending->readyAt) {
            outputChanged_.wait_until(lock, pending->readyAt);
            continue;
        }
        pending->announced = true;
        lock.unlock();
        outputChanged_.notify_all();
        notifyHost();
        lock.lock();
    }
}

size_t DeviceModel::toHost(uint8_t* out, size_t max)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = Clock::now();
    size_t taken = 0;
    while (taken < max && readyLocked(now)) {
        const std::vector<uint8_t>& bytes = output_.front().bytes;
        size_t n = std::min(max - taken, bytes.size() - frontOffset_);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(frontOffset_), n, out + taken);
        taken += n;
        frontOffset_ += n;
        if (frontOffset_ == bytes.size()) {
            output_.pop_front();
            frontOffset_ = 0;
        }
    }
    return taken;
}

bool DeviceModel::toHostFrame(std::vector<uint8_t>& frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!readyLocked(Clock::now())) return false;
    std::vector<uint8_t>& bytes = output_.front().bytes;
    frame.assign(bytes.begin() + static_cast<std::ptrdiff_t>(frontOffset_), bytes.end());
    output_.pop_front();
    frontOffset_ = 0;
    return true;
}

bool DeviceModel::waitToHost(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (readyLocked(now)) return true;
        if (now >= deadline || stopping_) return false;
        Clock::time_point until = deadline;
        if (!output_.empty()) until = std::min(until, output_.front().readyAt);
        outputChanged_.wait_until(lock, until);
    }
}

void DeviceModel::setToHostNotify(std::function<void()> notify)
{
    std::lock_guard<std::mutex> lock(notifyMutex_);
    notify_ = std::move(notify);
}

void DeviceModel::notifyHost()
{
    std::lock_guard<std::mutex> lock(notifyMutex_);
    if (notify_) notify_();
}

void DeviceModel::hostDisconnected()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        assembly_ = Assembly{};
        output_.clear();
        frontOffset_ = 0;
        ++records_.disconnects;
    }
    recordsChanged_.notify_all();
}

} // namespace sim
