// test-labels: integration threaded
// test-run-serial
// The ISP client against the simulated LPC17xx boot ROM behind a
// pseudo-terminal: synchronisation, identification, flash erase and
// programming through RAM, reading back, and every way the chip can fail.
#include "recovery/NXPSerialClass.h"
#include "tests/sim/byte_endpoint.h"
#include "tests/sim/checked_lpc_isp_rom.h"
#include "tests/sim/pty_carrier.h"

#include "platform/aTime.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ostream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Rom = sim::CheckedLpcIspRom;

constexpr uint32_t kRam = NXPSerialClass::WRITE_ADDRESS;

Bytes sPattern(size_t n, uint8_t seed)
{
    Bytes data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = uint8_t(seed + i * 13 + (i >> 7));
    return data;
}

class IspTest : public ::testing::Test {
protected:
    Rom rom;
    sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
    NXPSerialClass isp;

    void SetUp() override { ASSERT_EQ(isp.Connect(carrier.path().c_str(), 115200), aErrNone); }

    // A chip that was synchronised before, as the recovery finds it.
    void synchronised(const Rom::Faults& faults = Rom::Faults())
    {
        rom.setSynchronised();
        rom.setFaults(faults);
    }

    void unlockAndErase()
    {
        ASSERT_EQ(isp.Unlock(), aErrNone);
        ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
        ASSERT_EQ(isp.Erase(0, 29), aErrNone);
    }

    std::string sent() const
    {
        const Bytes bytes = rom.received();
        return std::string(bytes.begin(), bytes.end());
    }
};

TEST_F(IspTest, SynchronisesAndReadsTheIdentity)
{
    ASSERT_EQ(isp.Sync(), aErrNone);
    EXPECT_TRUE(rom.synchronised());
    EXPECT_EQ(rom.counters().crystalKHz, 14746);
    EXPECT_EQ(sent(), "?Synchronized\r\n14746\r\n");

    ASSERT_EQ(isp.GetDeviceID(), aErrNone);
    const Rom::Identity identity;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(isp.deviceId[i], identity.serial[i]) << i;

    uint8_t major = 0, minor = 0;
    ASSERT_EQ(isp.GetBootLoaderVersion(&major, &minor), aErrNone);
    EXPECT_EQ(major, identity.bootMajor);
    EXPECT_EQ(minor, identity.bootMinor);
    int64_t part = 0;
    ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
    EXPECT_EQ(part, int64_t(identity.partId));
}

TEST(IspIdentity, WordsKeepTheChipsOrderWithoutEcho)
{
    Rom::Identity identity;
    identity.serial[0] = 0xFFFFFFFF;
    identity.serial[1] = 0;
    identity.serial[2] = 0x80000000;
    identity.serial[3] = 1;
    Rom rom(identity);
    sim::PtyCarrier carrier(rom, sim::PtyCarrier::Framing::Raw);
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(carrier.path().c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.Sync(), aErrNone);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    EXPECT_FALSE(rom.echo());
    ASSERT_EQ(isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(isp.deviceId[0], 0xFFFFFFFFu);
    EXPECT_EQ(isp.deviceId[1], 0u);
    EXPECT_EQ(isp.deviceId[2], 0x80000000u);
    EXPECT_EQ(isp.deviceId[3], 1u);
}

// An identity that did not come whole is no identity: the words stay as
// they were and the call fails.
TEST_F(IspTest, IdentityIsOnlyTakenWhole)
{
    Rom::Faults faults;
    faults.identityLines = 2;
    synchronised(faults);
    isp.deviceId[0] = 0xAAAA;
    EXPECT_EQ(isp.GetDeviceID(), aErrNotReady);
    EXPECT_EQ(isp.deviceId[0], 0xAAAAu);

    faults.identityLines = 4;
    faults.returnCodes['N'] = 1;
    rom.setFaults(faults);
    EXPECT_EQ(isp.GetDeviceID(), aErrParam);
    EXPECT_EQ(isp.deviceId[0], 0xAAAAu);
}

TEST_F(IspTest, SilentChipFailsTheSyncAfterOneWait)
{
    Rom::Faults faults;
    faults.mute = true;
    rom.setFaults(faults);
    EXPECT_EQ(isp.Sync(), aErrNotReady);
    EXPECT_EQ(sent(), "?");
}

TEST_F(IspTest, SyncAnswerLaterThanTheWaitFails)
{
    Rom::Faults faults;
    faults.replyDelayMs = 300;
    rom.setFaults(faults);
    EXPECT_EQ(isp.Sync(), aErrNotReady);
    EXPECT_EQ(sent(), "?");
}

TEST_F(IspTest, MissingOkAfterSynchronizedStillAnnouncesTheCrystal)
{
    Rom::Faults faults;
    faults.dropSyncOk = true;
    rom.setFaults(faults);
    EXPECT_EQ(isp.Sync(), aErrIO);
    EXPECT_EQ(rom.counters().crystalKHz, 14746);
}

TEST_F(IspTest, UnidentifiedChipIsNoIdentity)
{
    Rom::Faults faults;
    faults.mute = true;
    synchronised(faults);
    isp.deviceId[2] = 0x5555;
    EXPECT_EQ(isp.GetDeviceID(), aErrParam);
    EXPECT_EQ(isp.deviceId[2], 0x5555u);
    uint8_t major = 0, minor = 0;
    EXPECT_EQ(isp.GetBootLoaderVersion(&major, &minor), aErrParam);
    int64_t part = 0;
    EXPECT_EQ(isp.GetPartNumber(&part), aErrParam);
}

// The recovery's road: unlock, erase everything, echo off, then each chunk
// staged in RAM, its sectors prepared and copied to flash; echo on, start.
class IspProgramming : public IspTest, public ::testing::WithParamInterface<bool> {};

TEST_P(IspProgramming, ChunksLandInFlash)
{
    synchronised();
    unlockAndErase();
    const bool echo = GetParam();
    if (!echo) {
        ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
    EXPECT_EQ(rom.echo(), echo);

    const Bytes first = sPattern(4096, 1);
    ASSERT_EQ(isp.Write(kRam, 4096, first.data()), aErrNone);
    EXPECT_EQ(rom.counters().dataLines, 92u);
    EXPECT_EQ(rom.counters().checksums, 5u);
    ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0, kRam, 4096), aErrNone);

    // A last, shorter chunk into a 32 KB sector.
    const Bytes second = sPattern(1804, 2);
    ASSERT_EQ(isp.Write(kRam, 1804, second.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(16, 16), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0x10000, kRam, NXPSerialClass::CopyLength(1804)), aErrNone);

    ASSERT_EQ(isp.SetEcho(true), aErrNone);
    ASSERT_EQ(isp.ExecuteFrom(0), aErrNone);

    const Bytes flash = rom.flash();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 0x10000));
    EXPECT_EQ(flash[0x1000], 0xFF);
    EXPECT_EQ(flash[0x7FFFF], 0xFF);
    EXPECT_EQ(rom.counters().resendsSent, 0u);

    // No reply is read after "G": wait until the chip has taken it.
    for (int i = 0; i < 1000 && !rom.counters().started; ++i)
        aTime_MSSleep(1);
    const Rom::Counters counters = rom.counters();
    EXPECT_TRUE(counters.started);
    EXPECT_EQ(counters.startAddress, 0u);
    EXPECT_EQ(counters.startMode, "T");
    EXPECT_TRUE(rom.echo());
}

INSTANTIATE_TEST_SUITE_P(Echo, IspProgramming, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "On" : "Off"; });

TEST_F(IspTest, FlashCommandsNeedUnlockAndPrepare)
{
    synchronised();
    EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
    EXPECT_EQ(isp.Erase(0, 29), aErrParam);  // locked
    ASSERT_EQ(isp.Unlock(), aErrNone);
    EXPECT_EQ(isp.Erase(0, 29), aErrNone);
    EXPECT_EQ(isp.Erase(0, 0), aErrParam);   // the erase used up the prepare
    EXPECT_EQ(isp.Prepare(0, 30), aErrParam);
    EXPECT_EQ(rom.flash()[0], 0xFF);
}

TEST_F(IspTest, ArgumentChecksSendNothing)
{
    synchronised();
    const Bytes data(8, 1);
    EXPECT_EQ(isp.Prepare(5, 3), aErrParam);
    EXPECT_EQ(isp.Erase(5, 3), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1080, kRam, 256), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, kRam, 300), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, kRam, 5000), aErrParam);
    EXPECT_EQ(isp.Write(kRam, 0, data.data()), aErrParam);
    EXPECT_EQ(isp.Write(kRam, 6, data.data()), aErrParam);
    EXPECT_EQ(isp.Write(kRam, 8, nullptr), aErrParam);
    Bytes buffer(8);
    EXPECT_EQ(isp.Read(0, 0, buffer.data()), aErrParam);
    EXPECT_EQ(isp.Read(0, 6, buffer.data()), aErrParam);
    EXPECT_EQ(sent(), "");
}

// A refused command gives aErrParam whatever its code; with echo on the
// return code is the number before the line end, so 10 is no success.
struct RefusalCase {
    char letter;
    int code;
    bool echo;
};

std::ostream& operator<<(std::ostream& out, const RefusalCase& c)
{
    return out << c.letter << " answers " << c.code << (c.echo ? " with echo" : " without echo");
}

class IspRefusal : public IspTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(IspRefusal, CommandFails)
{
    const RefusalCase c = GetParam();
    Rom::Faults faults;
    faults.returnCodes[c.letter] = c.code;
    synchronised();
    ASSERT_EQ(isp.Unlock(), aErrNone);
    if (!c.echo) {
        ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
    rom.setFaults(faults);
    const Bytes data(256, 7);
    aErr err = aErrNone;
    switch (c.letter) {
    case 'U': err = isp.Unlock(); break;
    case 'P': err = isp.Prepare(0, 1); break;
    case 'E': err = isp.Erase(0, 1); break;
    case 'C': err = isp.CopyToFlash(0, kRam, 256); break;
    case 'A': err = isp.SetEcho(!c.echo); break;
    case 'B': err = isp.SetBaudRate(57600); break;
    case 'W': err = isp.Write(kRam, 256, data.data()); break;
    case 'R': err = isp.Read(0, 256, std::vector<uint8_t>(256).data()); break;
    }
    EXPECT_EQ(err, aErrParam);
    EXPECT_EQ(isp.echo, c.echo);
    EXPECT_EQ(rom.counters().dataLines, 0u);
    EXPECT_EQ(rom.flash()[0], Rom::initialFlash(0));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, IspRefusal,
    ::testing::Values(RefusalCase{'U', 16, true}, RefusalCase{'P', 7, true}, RefusalCase{'P', 10, true},
                      RefusalCase{'P', 10, false}, RefusalCase{'E', 9, true}, RefusalCase{'E', 15, false},
                      RefusalCase{'C', 10, true}, RefusalCase{'C', 19, false}, RefusalCase{'A', 12, true},
                      RefusalCase{'A', 1, false}, RefusalCase{'B', 17, true}, RefusalCase{'W', 10, true},
                      RefusalCase{'W', 6, false}, RefusalCase{'R', 13, true}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) {
        return std::string(1, p.param.letter) + "_" + std::to_string(p.param.code) +
               (p.param.echo ? "_Echo" : "_NoEcho");
    });

TEST_F(IspTest, ChipsOwnChecksOfCopyAndWrite)
{
    synchronised();
    unlockAndErase();
    const Bytes data(4, 9);
    EXPECT_EQ(isp.Write(kRam + 2, 4, data.data()), aErrParam);         // not word aligned
    EXPECT_EQ(isp.Write(0x20000000, 4, data.data()), aErrParam);       // no RAM there
    EXPECT_EQ(isp.Write(0x10000100, 4, data.data()), aErrParam);       // the ISP's own RAM
    ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0, kRam + 1, 256), aErrParam);           // RAM address unaligned
    EXPECT_EQ(isp.CopyToFlash(0x1000, kRam, 256), aErrParam);          // sector 1 not prepared
    EXPECT_EQ(isp.CopyToFlash(0x80000, kRam, 256), aErrParam);         // past the flash
}

TEST_F(IspTest, ResendsRewindToTheLastAcknowledgedByte)
{
    Rom::Faults faults;
    faults.corruptDataLines = {3, 25};  // the first block twice
    synchronised(faults);
    const Bytes data = sPattern(2000, 5);
    ASSERT_EQ(isp.Write(kRam, 2000, data.data()), aErrNone);
    const Rom::Counters counters = rom.counters();
    EXPECT_EQ(counters.resendsSent, 2u);
    EXPECT_EQ(counters.dataLines, 45u + 40u);
    const Bytes ram = rom.ram();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), ram.begin() + (kRam - Rom::kRamStart)));
}

TEST_F(IspTest, ThirdResendEndsTheCallEvenAtDifferentCheckpoints)
{
    Rom::Faults faults;
    // Block 1 fails once (lines 0-19), is sent again (20-39); block 2 fails
    // once (40-59), again (60-79); block 3's first try (80-99) fails too.
    faults.corruptDataLines = {5, 45, 85};
    synchronised(faults);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    const Bytes data = sPattern(4096, 6);
    EXPECT_EQ(isp.Write(kRam, 4096, data.data()), aErrTimeout);
    EXPECT_EQ(rom.counters().resendsSent, 3u);
    EXPECT_EQ(rom.counters().dataLines, 100u);
}

// Answers to a data checksum other than exactly "OK" CR LF or "RESEND" CR LF.
class IspChecksumAnswer : public IspTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(IspChecksumAnswer, IsAnIOError)
{
    Rom::Faults faults;
    faults.checksumAnswer = GetParam();
    synchronised(faults);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    const Bytes data(8, 3);
    EXPECT_EQ(isp.Write(kRam, 8, data.data()), aErrIO);
}

INSTANTIATE_TEST_SUITE_P(Answers, IspChecksumAnswer,
                         ::testing::Values("OK", "OK \r\n", "OKAY\r\n", "ok\r\n", "0\r\n", "RESEND\n"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return "Answer" + std::to_string(p.index);
                         });

TEST_F(IspTest, UnansweredChecksumIsAnIOError)
{
    Rom::Faults faults;
    faults.checksumDelayMs = 60000;
    synchronised(faults);
    const Bytes data(8, 3);
    EXPECT_EQ(isp.Write(kRam, 8, data.data()), aErrIO);
}

// A checksum answer may take far longer than a command reply.
TEST_F(IspTest, SlowChecksumAnswerIsTaken)
{
    Rom::Faults faults;
    faults.checksumDelayMs = 500;
    synchronised(faults);
    const Bytes data = sPattern(40, 8);
    EXPECT_EQ(isp.Write(kRam, 40, data.data()), aErrNone);
    EXPECT_EQ(rom.ram()[kRam - Rom::kRamStart + 39], data[39]);
}

TEST_F(IspTest, CommandReplyWithinTheBudgetIsTaken)
{
    Rom::Faults faults;
    faults.replyDelayMs = 30;
    synchronised(faults);
    EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
}

TEST_F(IspTest, CommandReplyPastTheBudgetFails)
{
    Rom::Faults faults;
    faults.replyDelayMs = 60000;
    synchronised(faults);
    EXPECT_EQ(isp.Prepare(0, 29), aErrParam);
}

TEST_F(IspTest, WrongEchoFailsTheCommand)
{
    Rom::Faults faults;
    faults.wrongEcho = true;
    synchronised(faults);
    EXPECT_EQ(isp.Unlock(), aErrParam);
}

class IspReading : public IspTest, public ::testing::WithParamInterface<bool> {};

TEST_P(IspReading, ReadsBackFlashAndRam)
{
    synchronised();
    if (!GetParam()) {
        ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
    Bytes buffer(2000);
    ASSERT_EQ(isp.Read(0x100, 2000, buffer.data()), aErrNone);
    for (uint32_t i = 0; i < 2000; ++i)
        ASSERT_EQ(buffer[i], Rom::initialFlash(0x100 + i)) << i;

    const Bytes data = sPattern(100, 4);
    ASSERT_EQ(isp.Write(kRam, 100, data.data()), aErrNone);
    Bytes back(100);
    ASSERT_EQ(isp.Read(kRam, 100, back.data()), aErrNone);
    EXPECT_EQ(back, data);
}

INSTANTIATE_TEST_SUITE_P(Echo, IspReading, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "On" : "Off"; });

TEST_F(IspTest, ReadAsksAgainForABadChecksumTwice)
{
    Rom::Faults faults;
    faults.badReadChecksums = 2;
    synchronised(faults);
    Bytes buffer(1000);
    ASSERT_EQ(isp.Read(0, 1000, buffer.data()), aErrNone);
    EXPECT_EQ(rom.counters().resendsReceived, 2u);
    EXPECT_EQ(buffer[999], Rom::initialFlash(999));

    faults.badReadChecksums = 3;
    rom.setFaults(faults);
    EXPECT_EQ(isp.Read(0, 1000, buffer.data()), aErrTimeout);
}

TEST(IspEcho, GivesUpOnEndlessWrongBytes)
{
    sim::ByteEndpoint noise;
    sim::PtyCarrier line(noise, sim::PtyCarrier::Framing::Raw);
    NXPSerialClass client;
    ASSERT_EQ(client.Connect(line.path().c_str(), 115200), aErrNone);
    noise.send(Bytes(3000, '~'));
    size_t matched = 99;
    EXPECT_EQ(client.GetEcho("P 0 29\r", 7, &matched), aErrNone);
    EXPECT_EQ(matched, 0u);
    // Whatever came past the limit is still there for the next reader.
    char rest[4096];
    size_t length = 0;
    client.GetLine(rest, sizeof rest - 1, &length, 50);
    EXPECT_EQ(length, 3000u - 1024u);
}

TEST(IspRead, EndsAtADataLineWithoutRoomOrData)
{
    // The chip accepts the command, then sends data lines of 45 bytes for a
    // read of 8; each "checksum" line of 0 would match the sum of nothing.
    for (const std::string& dataLine : {"M" + std::string(60, '!'), std::string("`")}) {
        SCOPED_TRACE(dataLine);
        sim::ByteEndpoint chip;
        sim::PtyCarrier line(chip, sim::PtyCarrier::Framing::Raw);
        NXPSerialClass isp;
        ASSERT_EQ(isp.Connect(line.path().c_str(), 115200), aErrNone);
        isp.echo = false;
        std::string talk = "0\r\n";
        for (int i = 0; i < 200; ++i) talk += dataLine + "\r\n" + (i % 20 == 19 ? "0\r\n" : "");
        chip.send(Bytes(talk.begin(), talk.end()));
        Bytes buffer(8, 0xEE);
        EXPECT_EQ(isp.Read(0, 8, buffer.data()), aErrIO);
        EXPECT_EQ(buffer, Bytes(8, 0xEE));
        // It stopped at the first data line: the next one is still there.
        char next[128];
        size_t length = 0;
        isp.GetLine(next, sizeof next - 1, &length, 50);
        EXPECT_EQ(std::string(next, length), dataLine + "\r\n");
    }
}

TEST(IspConnect, RateTable)
{
    sim::ByteEndpoint device;
    sim::PtyCarrier carrier(device, sim::PtyCarrier::Framing::Raw);
    const struct {
        uint32_t asked;
        uint32_t rate;
        speed_t speed;
    } cases[] = {
        {115200, 115200, B115200}, {100000, 115200, B115200}, {0, 2400, B2400},
        {230400, 230400, B230400}, {230401, 9600, B9600},     {4000000, 9600, B9600},
    };
    NXPSerialClass isp;
    for (const auto& c : cases) {
        ASSERT_EQ(isp.Connect(carrier.path().c_str(), c.asked), aErrNone) << c.asked;
        EXPECT_EQ(isp.baudRate, c.rate) << c.asked;
        const int fd = open(carrier.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios settings{};
        ASSERT_EQ(tcgetattr(fd, &settings), 0);
        EXPECT_EQ(cfgetospeed(&settings), c.speed) << c.asked;
        close(fd);
    }
    EXPECT_EQ(isp.Disconnect(), aErrNone);
    EXPECT_EQ(isp.stream, nullptr);
}

TEST(IspConnect, MissingPortAndNoPort)
{
    NXPSerialClass isp;
    EXPECT_EQ(isp.Connect("/dev/no-such-serial-port", 115200), aErrNotFound);
    EXPECT_EQ(isp.stream, nullptr);
    EXPECT_EQ(isp.Connect("/dev/null", 115200), aErrIO);  // no terminal
    EXPECT_EQ(isp.stream, nullptr);
    EXPECT_EQ(isp.Unlock(), aErrParam);
    EXPECT_EQ(isp.ExecuteFrom(0), aErrParam);
}

} // namespace
