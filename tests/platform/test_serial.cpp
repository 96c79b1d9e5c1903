// test-labels: integration threaded
// Serial streams over a pseudo-terminal with a simulated device behind it:
// raw bytes, line settings, failures to open, and COBS-framed packets.
#include "platform/unix_streamserial.h"
#include "tests/sim/device_model.h"
#include "tests/sim/pty_carrier.h"

#include "common/cobs.h"
#include "common/crc8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Sends back every byte, and every frame, that the host sends it.
class EchoDevice : public sim::DeviceEndpoint {
public:
    void fromHost(const uint8_t* data, size_t n) override
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            bytesFromHost_.insert(bytesFromHost_.end(), data, data + n);
            bytes_.insert(bytes_.end(), data, data + n);
        }
        wake();
    }
    void fromHostFrame(const uint8_t* data, size_t n) override
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            framesFromHost_.emplace_back(data, data + n);
            frames_.emplace_back(data, data + n);
        }
        wake();
    }
    size_t toHost(uint8_t* out, size_t max) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        size_t n = 0;
        for (; n < max && !bytes_.empty(); ++n) {
            out[n] = bytes_.front();
            bytes_.pop_front();
        }
        return n;
    }
    bool toHostFrame(std::vector<uint8_t>& frame) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (frames_.empty())
            return false;
        frame = frames_.front();
        frames_.pop_front();
        return true;
    }
    bool waitToHost(int timeoutMs) override
    {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [this] { return !bytes_.empty() || !frames_.empty(); });
    }
    void setToHostNotify(std::function<void()> notify) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        notify_ = std::move(notify);
    }

    Bytes bytesFromHost() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return bytesFromHost_;
    }
    std::vector<Bytes> framesFromHost() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return framesFromHost_;
    }
    // Waits until the host has sent count frames.
    bool waitForFrames(size_t count, int timeoutMs) const
    {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [&] { return framesFromHost_.size() >= count; });
    }

private:
    void wake()
    {
        std::function<void()> notify;
        {
            std::lock_guard<std::mutex> hold(lock_);
            notify = notify_;
        }
        changed_.notify_all();
        if (notify)
            notify();
    }

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::deque<uint8_t> bytes_;
    std::deque<Bytes> frames_;
    Bytes bytesFromHost_;
    std::vector<Bytes> framesFromHost_;
    std::function<void()> notify_;
};

// What the host read from its stream.
struct Received {
    Bytes bytes;
    size_t packetErrors = 0;
};

// A device behind a pseudo-terminal, and a descriptor of the test's own on
// the port: to watch the line settings and to wait for input.
template <class Device>
class SerialFixture : public testing::Test {
protected:
    explicit SerialFixture(sim::PtyCarrier::Framing framing) : carrier(device, framing)
    {
        watch = open(carrier.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~SerialFixture() override
    {
        if (stream)
            aStream_Destroy(&stream);
        if (watch >= 0)
            close(watch);
    }

    termios lineSettings() const
    {
        termios settings{};
        EXPECT_EQ(tcgetattr(watch, &settings), 0);
        return settings;
    }

    // Reads until want bytes arrived or a second passed without them,
    // waiting for input whenever none is ready.
    Received read(size_t want)
    {
        Received got;
        auto deadline = Clock::now() + std::chrono::seconds(1);
        while (got.bytes.size() < want && Clock::now() < deadline) {
            uint8_t byte = 0;
            const aErr result = aStream_Read(stream, &byte, 1);
            if (result == aErrNone) {
                got.bytes.push_back(byte);
                deadline = Clock::now() + std::chrono::seconds(1);
            } else if (result == aErrPacket) {
                ++got.packetErrors;
            } else if (result == aErrNotReady) {
                aStream_WaitReadable(stream, 100);
            } else {
                ADD_FAILURE() << "read: " << aError_GetErrorText(result);
            }
        }
        return got;
    }

    // Whether the condition holds within two seconds.
    static bool waitFor(const std::function<bool()>& condition)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (!condition()) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    Device device;
    sim::PtyCarrier carrier;
    int watch = -1;
    aStream* stream = nullptr;
};

class RawSerial : public SerialFixture<EchoDevice> {
protected:
    RawSerial() : SerialFixture(sim::PtyCarrier::Framing::Raw) {}
};

class PacketizedSerial : public SerialFixture<EchoDevice> {
protected:
    PacketizedSerial() : SerialFixture(sim::PtyCarrier::Framing::Cobs) {}
};

class SerialDevice : public SerialFixture<sim::DeviceModel> {
protected:
    SerialDevice() : SerialFixture(sim::PtyCarrier::Framing::Cobs) {}
};

TEST_F(RawSerial, BytesPassUntouchedBothWays)
{
    ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
    // Every byte value, control characters and line ends included, and more
    // than the pseudo-terminal buffers, in one write.
    Bytes sent(64 * 1024);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = uint8_t(i ^ (i >> 8));
    ASSERT_EQ(aStream_Write(stream, sent.data(), sent.size()), aErrNone);
    EXPECT_EQ(read(sent.size()).bytes, sent);

    const uint8_t one = '\r';
    ASSERT_EQ(aStream_Write(stream, &one, 1), aErrNone);
    EXPECT_EQ(read(1).bytes, Bytes{'\r'});
}

TEST_F(RawSerial, WaitsForInput)
{
    ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 1), aErrTimeout);
    const uint8_t byte = 0x55;
    ASSERT_EQ(aStream_Write(stream, &byte, 1), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 1000), aErrNone);
    EXPECT_EQ(read(1).bytes, Bytes{0x55});
}

// An adaptor that stops taking bytes: a write gives up once the port made no
// progress for a while, and at once while it still takes nothing. One that
// takes bytes in bursts keeps a long write going for as long as it needs.
TEST_F(RawSerial, WriteWaitsForThePortOnlyWhileItMakesProgress)
{
    ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), 7, false, 0, 0, &stream), aErrNone);
    carrier.stall(true);
    Bytes block(64 * 1024, 0x5A);
    auto start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, block.data(), 16), aErrTimeout);
    const uint8_t one = 0x33;
    EXPECT_EQ(aStream_Write(stream, &one, 1), aErrTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900)) << "gave up only after waiting";

    // Once it takes bytes again, writes go through; 8 KB every 100 ms make
    // 192 KB take seconds, far longer than a port may go without progress.
    carrier.take(8 * 1024);
    ASSERT_TRUE(waitFor([&] { return device.bytesFromHost().size() >= 8 * 1024; }));
    std::atomic<bool> writing{true};
    std::thread adaptor([&] {
        while (writing) {
            carrier.take(8 * 1024);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    Bytes sent(192 * 1024);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = uint8_t(i * 7 + (i >> 9));
    start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, sent.data(), sent.size()), aErrNone);
    const auto took = Clock::now() - start;
    writing = false;
    adaptor.join();
    carrier.stall(false);
    EXPECT_GT(took, std::chrono::milliseconds(1500));
    // Every byte of it reaches the device, in order, after what the port held.
    EXPECT_TRUE(waitFor([&] {
        const Bytes arrived = device.bytesFromHost();
        return arrived.size() >= sent.size() && std::equal(sent.begin(), sent.end(), arrived.end() - sent.size());
    }));
}

// A port that takes the bytes at the line's pace may still give its writer
// room only in large steps: a pseudo-terminal frees room once its reader has
// emptied its line buffer of 4 KB, which takes seconds at slow rates, and
// reports no queue meanwhile. The port here is full and frees room after a
// step longer than a second plus the line time of 1024 bytes, yet short
// beside the line time of the 8 KB still to go.
struct LineStep {
    const char* name;
    uint32_t baudIndex;
    std::chrono::milliseconds step;
};

void PrintTo(const LineStep& line, std::ostream* out)
{
    *out << line.name;
}

class SlowLine : public RawSerial, public testing::WithParamInterface<LineStep> {};

TEST_P(SlowLine, WriteWaitsThroughAStepOfTheLine)
{
    ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), GetParam().baudIndex, false, 0, 0, &stream), aErrNone);
    carrier.stall(true);
    Bytes line;
    for (uint8_t chunk[512];;) {
        for (size_t i = 0; i < sizeof chunk; ++i)
            chunk[i] = uint8_t(line.size() + i * 3);
        const ssize_t n = write(watch, chunk, sizeof chunk);
        if (n <= 0)
            break;
        line.insert(line.end(), chunk, chunk + n);
    }
    ASSERT_EQ(errno, EAGAIN) << "the port did not fill";
    Bytes sent(8 * 1024);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = uint8_t(i * 5 + (i >> 8));
    line.insert(line.end(), sent.begin(), sent.end());

    const auto start = Clock::now();
    std::thread adaptor([&] {
        std::this_thread::sleep_for(GetParam().step);
        carrier.stall(false);
    });
    EXPECT_EQ(aStream_Write(stream, sent.data(), sent.size()), aErrNone);
    const auto took = Clock::now() - start;
    adaptor.join();
    EXPECT_GE(took, GetParam().step) << "ended after "
                                     << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                                     << " ms, before the port had room";
    EXPECT_TRUE(waitFor([&] { return device.bytesFromHost() == line; }));
}

INSTANTIATE_TEST_SUITE_P(Rates, SlowLine,
                         testing::Values(LineStep{"At9600", 2, std::chrono::seconds(3)},
                                         LineStep{"At2400", 0, std::chrono::seconds(6)}),
                         [](const testing::TestParamInfo<LineStep>& c) { return std::string(c.param.name); });

TEST_F(RawSerial, AppliesTheLineSettings)
{
    const struct {
        uint32_t baudIndex;
        bool parity;
        uint32_t dataBits, stopBits;
        speed_t speed;
        tcflag_t control;
    } cases[] = {
        {0, false, 0, 0, B2400, CS8},
        {1, false, 0, 0, B4800, CS8},
        {2, false, 0, 0, B9600, CS8},
        {3, false, 0, 0, B19200, CS8},
        {4, false, 0, 0, B38400, CS8},
        {5, false, 0, 0, B57600, CS8},
        {6, false, 0, 0, B115200, CS8},
        {7, false, 0, 0, B230400, CS8},
        {8, false, 0, 0, B0, CS8},
        {99, false, 0, 0, B0, CS8},
        {6, true, 0, 0, B115200, CS8 | PARENB},
        {6, false, 1, 0, B115200, CS7},
        {6, false, 0, 1, B115200, CS8 | CSTOPB},
        {2, true, 1, 1, B9600, CS7 | PARENB | CSTOPB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.baudIndex << " parity " << c.parity << " data "
                                        << c.dataBits << " stop " << c.stopBits);
        ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), c.baudIndex, c.parity, c.dataBits, c.stopBits,
                                       &stream),
                  aErrNone);
        const termios line = lineSettings();
        EXPECT_EQ(cfgetospeed(&line), c.speed);
        EXPECT_EQ(cfgetispeed(&line), c.speed);
        // A pseudo-terminal keeps eight data bits and no parity whatever it is
        // asked; the parity flag still shows in the input flags.
        EXPECT_EQ(line.c_cflag & (CSTOPB | CREAD | CLOCAL), (c.control & CSTOPB) | CREAD | CLOCAL);
        EXPECT_EQ(line.c_iflag, tcflag_t(IGNBRK | (c.parity ? IGNPAR : 0)));
        EXPECT_EQ(line.c_oflag, 0u);
        EXPECT_EQ(line.c_lflag, 0u);
        EXPECT_EQ(line.c_cc[VMIN], 0);
        EXPECT_EQ(line.c_cc[VTIME], 0);
        aStream_Destroy(&stream);
    }
}

TEST_F(RawSerial, DeleteRestoresTheSettingsFoundAtOpen)
{
    termios cooked = lineSettings();
    cooked.c_lflag = ICANON | ECHO | ISIG;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_iflag = ICRNL;
    cfsetspeed(&cooked, B9600);
    ASSERT_EQ(tcsetattr(watch, TCSANOW, &cooked), 0);
    const termios before = lineSettings();

    ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), 7, false, 0, 0, &stream), aErrNone);
    EXPECT_EQ(lineSettings().c_lflag, 0u);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

    const termios after = lineSettings();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), B9600);
}

using Creator = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
const Creator kCreators[] = {aStream_CreateSerial, aStream_CreateSerial_Packetized};

TEST(SerialOpen, FailuresAnswerTheirCodeAndLeaveNoStream)
{
    // A path that fills the 4096-byte field has no room for its end and
    // would name another port.
    std::string longest = "/";
    while (longest.size() < 4095)
        longest += "x/";
    longest.resize(4095, 'y');
    const std::string tooLong = longest + "y";
    const struct {
        const char* name;
        const char* path;
        uint32_t dataBits, stopBits;
        bool withHandle;
        aErr expected;
    } cases[] = {
        {"missing port", "/dev/no-such-serial-port", 0, 0, true, aErrNotFound},
        {"the recovery transport's name", "USB", 0, 0, true, aErrNotFound},
        {"not a terminal", "/dev/null", 0, 0, true, aErrIO},
        {"longest path", longest.c_str(), 0, 0, true, aErrNotFound},
        {"path too long", tooLong.c_str(), 0, 0, true, aErrResource},
        {"no path", nullptr, 0, 0, true, aErrResource},
        {"no handle", "/dev/null", 0, 0, false, aErrResource},
        {"data-bits mode 2", "/dev/null", 2, 0, true, aErrResource},
        {"stop-bits mode 2", "/dev/null", 0, 2, true, aErrResource},
    };
    for (Creator create : kCreators) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            aStream* stream = nullptr;
            EXPECT_EQ(create(c.path, 6, false, c.dataBits, c.stopBits, c.withHandle ? &stream : nullptr),
                      c.expected);
            EXPECT_EQ(stream, nullptr);
        }
    }
}

// An unplugged adaptor: the port reads as empty for ever, and only the
// stream's read error tells a reader that it is gone.
TEST(SerialHangUp, ReadsAndWritesFailOnceThePortHangsUp)
{
    for (Creator create : kCreators) {
        SCOPED_TRACE(create == aStream_CreateSerial ? "raw" : "packetized");
        EchoDevice device;
        sim::PtyCarrier carrier(device, sim::PtyCarrier::Framing::Cobs);
        aStream* stream = nullptr;
        ASSERT_EQ(create(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
        uint8_t byte = 0;
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);

        carrier.hangUp();
        EXPECT_EQ(aStream_WaitReadable(stream, 1000), aErrNone);
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
        const uint8_t packet[] = {0x04, 0x00};
        EXPECT_EQ(aStream_Write(stream, packet, sizeof packet), aErrIO);
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

// A stop of the stream's link ends a write that waits for a stalled port, at
// 2400 baud long before the write would give up by itself (minutes, for
// what the port did not take). The stream runs again once the interrupt is off.
TEST(SerialInterrupt, EndsAWriteThatWaitsForThePort)
{
    for (Creator create : kCreators) {
        SCOPED_TRACE(create == aStream_CreateSerial ? "raw" : "packetized");
        EchoDevice device;
        sim::PtyCarrier carrier(device, create == aStream_CreateSerial ? sim::PtyCarrier::Framing::Raw
                                                                        : sim::PtyCarrier::Framing::Cobs);
        aStream* stream = nullptr;
        ASSERT_EQ(create(carrier.path().c_str(), 0, false, 0, 0, &stream), aErrNone);
        carrier.stall(true);
        // Packets of 25 data bytes, far more than the port holds.
        Bytes block;
        for (int i = 0; i < 3000; ++i) {
            const Bytes wire = {0x04, 25, uint8_t(i), uint8_t(i >> 8)};
            block.insert(block.end(), wire.begin(), wire.end());
            block.insert(block.end(), 23, 0x5A);
        }
        std::promise<aErr> written;
        std::future<aErr> result = written.get_future();
        std::thread writer([&] { written.set_value(aStream_Write(stream, block.data(), block.size())); });
        aStream_InterruptReads(stream, true);
        const bool ended = result.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        carrier.stall(false);
        writer.join();
        EXPECT_TRUE(ended) << "the write waited on";
        EXPECT_EQ(result.get(), aErrTimeout);

        // Once the adaptor has taken what the port held, writes go through.
        aStream_InterruptReads(stream, false);
        const Bytes wire = {0x04, 0x01, 0x77};
        aErr again = aErrTimeout;
        for (int i = 0; i < 100 && again == aErrTimeout; ++i) {
            again = aStream_Write(stream, wire.data(), wire.size());
            if (again == aErrTimeout)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(again, aErrNone);
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

// The line bytes of a packet's frame.
Bytes sFrame(const Bytes& wire)
{
    Bytes plain = wire;
    plain.push_back(crc8_create(wire.data(), wire.size()));
    Bytes line(plain.size() + 2);
    line.resize(cobs_encode(plain.data(), plain.size(), line.data()));
    line.push_back(0);
    return line;
}

Bytes sPacket(uint8_t address, size_t length)
{
    Bytes wire = {address, uint8_t(length)};
    for (size_t i = 0; i < length; ++i)
        wire.push_back(uint8_t(i * 11));
    return wire;
}

TEST_F(PacketizedSerial, PacketsPassBothWaysUpToTheLargest)
{
    ASSERT_EQ(aStream_CreateSerial_Packetized(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
    const std::vector<Bytes> packets = {{0x04, 0x02, 0x11, 0x00}, {0x02, 0x00}, sPacket(0x06, 27),
                                        sPacket(0x08, 28)};
    for (const Bytes& wire : packets) {
        SCOPED_TRACE(wire.size() - 2);
        const size_t before = device.framesFromHost().size();
        ASSERT_EQ(aStream_Write(stream, wire.data(), wire.size()), aErrNone);
        ASSERT_TRUE(device.waitForFrames(before + 1, 1000));
        EXPECT_EQ(device.framesFromHost().back(), wire);
        const Received echoed = read(wire.size());
        EXPECT_EQ(echoed.packetErrors, 0u);
        EXPECT_EQ(echoed.bytes, wire);
    }
    EXPECT_EQ(carrier.badFrames(), 0u);
}

TEST_F(PacketizedSerial, CorruptFrameFromTheDeviceIsReportedAndTheNextPasses)
{
    ASSERT_EQ(aStream_CreateSerial_Packetized(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
    const Bytes spoilt = {0x04, 0x04, 0x02, 0x11, 0x02, 0x6A, 0x00};
    const Bytes empty = {0x00, 0x00};
    const Bytes good = sFrame({0x04, 0x02, 0x11, 0x00});
    for (const Bytes& bytes : {spoilt, empty, good})
        carrier.sendRaw(bytes.data(), bytes.size());
    const Received got = read(4);
    EXPECT_EQ(got.packetErrors, 1u);
    EXPECT_EQ(got.bytes, (Bytes{0x04, 0x02, 0x11, 0x00}));
}

TEST_F(PacketizedSerial, DeviceTakesOnlyIntactFramesFromTheLine)
{
    // A raw stream puts hand-made frames on the line.
    ASSERT_EQ(aStream_CreateSerial(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
    Bytes line = {0x04, 0x04, 0x02, 0x11, 0x02, 0x6A, 0x00, 0x00, 0x00};
    const Bytes good = sFrame(sPacket(0x02, 28));
    line.insert(line.end(), good.begin(), good.end());
    ASSERT_EQ(aStream_Write(stream, line.data(), line.size()), aErrNone);
    ASSERT_TRUE(device.waitForFrames(1, 1000));
    EXPECT_EQ(device.framesFromHost(), std::vector<Bytes>{sPacket(0x02, 28)});
    EXPECT_EQ(carrier.badFrames(), 1u);
}

TEST_F(SerialDevice, AnswersOverThePacketizedLine)
{
    ASSERT_EQ(aStream_CreateSerial_Packetized(carrier.path().c_str(), 6, false, 0, 0, &stream), aErrNone);
    const uint8_t address = device.config().address;
    // The module-address query, then an echo of the largest packet.
    Bytes echo = sPacket(address, 28);
    echo[2] = sim::kEchoCommand;
    Bytes both = {sim::kAddressQuery, 0x00};
    both.insert(both.end(), echo.begin(), echo.end());
    ASSERT_EQ(aStream_Write(stream, both.data(), both.size()), aErrNone);

    Bytes expected = {address, 0x00};
    expected.insert(expected.end(), echo.begin(), echo.end());
    const Received got = this->read(expected.size());
    EXPECT_EQ(got.packetErrors, 0u);
    EXPECT_EQ(got.bytes, expected);
    EXPECT_EQ(device.records().framingErrors, 0u);

    // A frame whose length byte claims more than it holds fails on the host.
    device.injectToHost({address, 0x05, 0x11});
    device.send(sim::Packet{address, {0x49}});
    const Received after = this->read(3);
    EXPECT_EQ(after.packetErrors, 1u);
    EXPECT_EQ(after.bytes, (Bytes{address, 0x01, 0x49}));
}

} // namespace
