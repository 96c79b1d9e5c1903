// test-wrapper: umockdev
// The serial download client against the simulated boot ROM, over a
// pseudo-terminal (UART) and an emulated hidraw device (USB HID).
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "tests/sim/hidraw_carrier.h"
#include "tests/sim/pty_carrier.h"
#include "tests/sim/sdp_boot_rom.h"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <fcntl.h>
#include <termios.h>
#include <functional>
#include <optional>
#include <unistd.h>
#include <memory>
#include <numeric>
#include <random>

namespace {

using sim::SdpBootRom;
using Wire = SdpBootRom::Wire;

constexpr uint32_t LOAD_ADDRESS = 0x20000000;
constexpr uint32_t START_ADDRESS = 0x20000400;

std::vector<uint8_t> makeImage(size_t n)
{
    std::mt19937 random(uint32_t(n) + 7);
    std::vector<uint8_t> image(n);
    for (uint8_t& b : image) b = uint8_t(random());
    return image;
}

std::vector<uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}

TEST(SdpCommandReports, AreSeventeenBigEndianBytes)
{
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> build;
        std::vector<uint8_t> expected;
    } cases[] = {
        {"status", [](std::vector<uint8_t>& r) { SDPLoader::_createStatusPacket(r); },
         bytes({1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"write file", [](std::vector<uint8_t>& r) { SDPLoader::_createWriteFilePacket(r, 0x20000000, 5000); },
         bytes({1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0x13, 0x88, 0, 0, 0, 0, 0})},
        {"jump", [](std::vector<uint8_t>& r) { SDPLoader::_createJumpPacket(r, 0x20000400); },
         bytes({1, 0x0B, 0x0B, 0x20, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"read register", [](std::vector<uint8_t>& r) { SDPLoader::_create4ByteReadRegisterPacket(r, 0x401F4410); },
         bytes({1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0})},
    };
    for (const Case& c : cases) {
        // A buffer that held an earlier report is replaced, never extended.
        std::vector<uint8_t> report(40, 0xEE);
        c.build(report);
        EXPECT_EQ(report, c.expected) << c.name;
    }
}

TEST(SdpReplyWords, TakeTheLittleEndianWordAfterTheLeadingOne)
{
    std::vector<uint8_t> hid(HID_SDPLoader::REPLY_BYTES, 0);
    hid[0] = 3;
    hid[5] = 4;
    hid[6] = 0x88, hid[7] = 0x99, hid[8] = 0xAA, hid[9] = 0xBB;
    std::vector<uint8_t> hidShort(hid.begin(), hid.end() - 1);
    std::vector<uint8_t> hidLong(hid.size() + 1, 0);
    std::copy(hid.begin(), hid.end(), hidLong.begin());
    std::vector<uint8_t> uart = bytes({0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88, 0x88});
    std::vector<uint8_t> uartShort(uart.begin(), uart.end() - 1);
    std::vector<uint8_t> uartLong = bytes({0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88, 0x88, 1, 2, 3, 4});

    HID_SDPLoader hidTransport(IMX1050::VID, IMX1050::PID);
    Serial_SDPLoader uartTransport("/nonexistent");
    struct Case {
        const char* name;
        SDPLoader_Interface& transport;
        std::vector<uint8_t> reply;
        bool found;
        uint32_t word;
    } cases[] = {
        {"HID, one report 3 and one report 4", hidTransport, hid, true, 0xBBAA9988},
        {"HID, one byte short", hidTransport, hidShort, false, 0},
        {"HID, one byte over", hidTransport, hidLong, false, 0},
        {"UART, two words", uartTransport, uart, true, 0x88888888},
        {"UART, seven bytes", uartTransport, uartShort, false, 0},
        {"UART, three words", uartTransport, uartLong, true, 0x88888888},
    };
    for (const Case& c : cases) {
        // The word is OR-ed into what the value held; a miss leaves it alone.
        uint32_t value = 0x00000100;
        EXPECT_EQ(c.transport.getDataFromBuffer(c.reply, 0, value), c.found) << c.name;
        EXPECT_EQ(value, c.found ? (c.word | 0x100) : 0x100u) << c.name;
    }
}

// A transport that opens at once and tells when it is deleted.
class OpeningTransport : public SDPLoader_Interface {
public:
    explicit OpeningTransport(bool& deleted) : deleted_(deleted) {}
    ~OpeningTransport() override { deleted_ = true; }
    bool init() override { return true; }
    long writeData(const std::vector<uint8_t>& report) override { return long(report.size()); }
    long readData(std::vector<uint8_t>&, unsigned int) override { return 0; }
    bool getDataFromBuffer(const std::vector<uint8_t>&, unsigned int, uint32_t&) override { return false; }

private:
    bool& deleted_;
};

TEST(SdpLoaderSetup, KeepsItsFirstTransportAndDeletesItAtTheEnd)
{
    bool firstDeleted = false;
    Serial_SDPLoader second("/nonexistent");
    {
        SDPLoader loader;
        EXPECT_EQ(loader.init(), SDPLoader::NO_TRANSPORT);
        EXPECT_EQ(loader.writeLoader({1, 2, 3}, LOAD_ADDRESS), SDPLoader::NO_ANSWER);
        EXPECT_FALSE(loader.setLoader(nullptr));
        EXPECT_TRUE(loader.setLoader(new OpeningTransport(firstDeleted)));
        EXPECT_FALSE(loader.setLoader(&second));
        // The first transport is still the one in use: it opens, the second would not.
        EXPECT_EQ(loader.init(), SDPLoader::SUCCESS);
        EXPECT_FALSE(firstDeleted);
    }
    EXPECT_TRUE(firstDeleted);
}

TEST(SdpLoaderSetup, SerialPortsThatAreNoTerminalsDoNotOpen)
{
    for (const char* path : {"/nonexistent/port", "/dev/null"}) {
        // The descriptor that the port's open gets is free again afterwards.
        int next = open("/dev/null", O_RDWR | O_CLOEXEC);
        ASSERT_GE(next, 0);
        close(next);
        SDPLoader loader;
        loader.setLoader(new Serial_SDPLoader(path));
        EXPECT_EQ(loader.init(), SDPLoader::OPEN_FAILED) << path;
        EXPECT_LT(fcntl(next, F_GETFD), 0) << path;
    }
}

TEST(SdpLoaderSetup, HidOpensOnlyTheBootRomsIds)
{
    SdpBootRom rom(Wire::Hid);
    sim::HidrawCarrier carrier;
    {
        SDPLoader loader;
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
        EXPECT_EQ(loader.init(), SDPLoader::OPEN_FAILED) << "no HID device at all";
    }
    carrier.plug({0x1FC9, 0x0135, "other product", SdpBootRom::hidReportDescriptor()}, rom);
    SDPLoader loader;
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    EXPECT_EQ(loader.init(), SDPLoader::OPEN_FAILED) << "another product id";
}

// A boot ROM behind one of the two carriers, and a client whose transport
// leads to it. The client goes first at the end, while the ROM still answers.
struct Rig {
    explicit Rig(Wire wire) : wire(wire), rom(wire)
    {
        if (wire == Wire::Uart) {
            pty = std::make_unique<sim::PtyCarrier>(rom, sim::PtyCarrier::Framing::Raw);
            loader.setLoader(new Serial_SDPLoader(pty->path().c_str()));
        } else {
            hid = std::make_unique<sim::HidrawCarrier>();
            // The boot ROM's own ids, so that a wrong id in the client shows.
            hid->plug({0x1FC9, 0x0130, "SE Blank RT Family", SdpBootRom::hidReportDescriptor()}, rom);
            loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
        }
    }

    std::vector<uint16_t> commandTypes() const
    {
        std::vector<uint16_t> types;
        for (const SdpBootRom::Command& c : rom.commands()) types.push_back(c.type);
        return types;
    }

    Wire wire;
    SdpBootRom rom;
    std::unique_ptr<sim::PtyCarrier> pty;
    std::unique_ptr<sim::HidrawCarrier> hid;
    SDPLoader loader;
};

class SdpOverWire : public ::testing::TestWithParam<Wire> {
protected:
    void SetUp() override
    {
        rig = std::make_unique<Rig>(GetParam());
        ASSERT_EQ(rig->loader.init(), SDPLoader::SUCCESS);
    }
    void TearDown() override { rig.reset(); }

    std::unique_ptr<Rig> rig;
};

TEST_P(SdpOverWire, WritesTheImageIntoMemoryAndStartsIt)
{
    std::vector<uint8_t> image = makeImage(3000);
    ASSERT_EQ(rig->loader.writeLoader(image, LOAD_ADDRESS), SDPLoader::SUCCESS);
    EXPECT_EQ(rig->rom.memory(LOAD_ADDRESS, image.size()), image);
    EXPECT_FALSE(rig->rom.jumpAddress());

    rig->loader.startLoader(START_ADDRESS);
    ASSERT_TRUE(rig->rom.jumpAddress());
    EXPECT_EQ(*rig->rom.jumpAddress(), START_ADDRESS);

    std::vector<SdpBootRom::Command> commands = rig->rom.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].type, SdpBootRom::ERROR_STATUS);
    EXPECT_EQ(commands[1].type, SdpBootRom::WRITE_FILE);
    EXPECT_EQ(commands[1].address, LOAD_ADDRESS);
    EXPECT_EQ(commands[1].format, 0x20);
    EXPECT_EQ(commands[1].count, 3000u);
    EXPECT_EQ(commands[2].type, SdpBootRom::JUMP_ADDRESS);
    if (GetParam() == Wire::Hid) {
        EXPECT_EQ(rig->rom.dataReports(), (std::vector<size_t>{1025, 1025, 953}));
    }
}

TEST_P(SdpOverWire, SecondInitKeepsTheOpenTransport)
{
    ASSERT_EQ(rig->loader.init(), SDPLoader::SUCCESS);
    std::vector<uint8_t> image = makeImage(100);
    EXPECT_EQ(rig->loader.writeLoader(image, LOAD_ADDRESS), SDPLoader::SUCCESS);
    EXPECT_EQ(rig->rom.memory(LOAD_ADDRESS, image.size()), image);
}

TEST_P(SdpOverWire, SplitsImagesIntoReportsOfAtMost1024Bytes)
{
    struct Case {
        size_t size;
        std::vector<size_t> hidReports;
    } cases[] = {{0, {}}, {1024, {1025}}, {1025, {1025, 2}}};
    uint32_t address = LOAD_ADDRESS;
    size_t reportsBefore = 0;
    for (const Case& c : cases) {
        std::vector<uint8_t> image = makeImage(c.size);
        ASSERT_EQ(rig->loader.writeLoader(image, address), SDPLoader::SUCCESS) << c.size;
        EXPECT_EQ(rig->rom.memory(address, image.size()), image) << c.size;
        SdpBootRom::Command last = rig->rom.commands().back();
        EXPECT_EQ(last.type, SdpBootRom::WRITE_FILE);
        EXPECT_EQ(last.count, c.size);
        if (GetParam() == Wire::Hid) {
            std::vector<size_t> reports = rig->rom.dataReports();
            EXPECT_EQ(std::vector<size_t>(reports.begin() + long(reportsBefore), reports.end()), c.hidReports)
                << c.size;
            reportsBefore = reports.size();
        }
        address += 0x1000;
    }
}

TEST_P(SdpOverWire, AnswerToTheFifthStatusRequestIsInTime)
{
    rig->rom.ignore(SdpBootRom::ERROR_STATUS, 4);
    EXPECT_EQ(rig->loader.writeLoader(makeImage(100), LOAD_ADDRESS), SDPLoader::SUCCESS);
    std::vector<uint16_t> expected(5, SdpBootRom::ERROR_STATUS);
    expected.push_back(SdpBootRom::WRITE_FILE);
    EXPECT_EQ(rig->commandTypes(), expected);
}


TEST_P(SdpOverWire, FiveUnansweredStatusRequestsSendNoImage)
{
    rig->rom.ignore(SdpBootRom::ERROR_STATUS, 5);
    EXPECT_EQ(rig->loader.writeLoader(makeImage(100), LOAD_ADDRESS), SDPLoader::NO_ANSWER);
    EXPECT_EQ(rig->commandTypes(), std::vector<uint16_t>(5, SdpBootRom::ERROR_STATUS));
    EXPECT_EQ(rig->rom.imageBytes(), 0u);
}

TEST_P(SdpOverWire, SilentRomIsNotThere)
{
    rig->rom.setSilent(true);
    uint64_t fingerprint = 0;
    EXPECT_EQ(rig->loader.getFingerprint(fingerprint), SDPLoader::NO_ANSWER);
    EXPECT_EQ(fingerprint, 0u);
    // A jump has no answer to wait for.
    rig->loader.startLoader(START_ADDRESS);
    EXPECT_EQ(rig->rom.jumpAddress(), std::optional<uint32_t>(START_ADDRESS));
}

TEST_P(SdpOverWire, ShortWordsAreNoAnswer)
{
    rig->rom.setShortReplies(true);
    EXPECT_EQ(rig->loader.writeLoader(makeImage(100), LOAD_ADDRESS), SDPLoader::NO_ANSWER);
}

TEST_P(SdpOverWire, ImageWithoutCompletionStatusFails)
{
    rig->rom.setCompleteWord(0x12345678);
    EXPECT_EQ(rig->loader.writeLoader(makeImage(2000), LOAD_ADDRESS), SDPLoader::NOT_COMPLETED);
    EXPECT_EQ(rig->rom.imageBytes(), 2000u);
}

TEST_P(SdpOverWire, WordFromTheRomDuringTheImageAbortsIt)
{
    // Large enough that a UART client is still sending when the word comes back.
    const size_t size = 64 * 1024;
    rig->rom.interruptImageAfter(MAX_WRITE_BYTES);
    EXPECT_EQ(rig->loader.writeLoader(makeImage(size), LOAD_ADDRESS), SDPLoader::TRANSFER_ABORTED);
    EXPECT_LT(rig->rom.imageBytes(), size);
    if (GetParam() == Wire::Hid) {
        EXPECT_EQ(rig->rom.dataReports(), std::vector<size_t>{1025});
    }
}

TEST_P(SdpOverWire, SecurityAndErrorWordsAreNotJudged)
{
    // A closed chip and a pending error status still take the image.
    rig->rom.setHabWord(0x12343412);
    rig->rom.setStatusWord(0x33333333);
    std::vector<uint8_t> image = makeImage(1500);
    EXPECT_EQ(rig->loader.writeLoader(image, LOAD_ADDRESS), SDPLoader::SUCCESS);
    EXPECT_EQ(rig->rom.memory(LOAD_ADDRESS, image.size()), image);
}

TEST_P(SdpOverWire, FingerprintJoinsTheTwoFuseWords)
{
    rig->rom.setWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, 0x89ABCDEF);
    rig->rom.setWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, 0x01234567);
    uint64_t fingerprint = 0;
    ASSERT_EQ(rig->loader.getFingerprint(fingerprint), SDPLoader::SUCCESS);
    EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
    std::vector<SdpBootRom::Command> commands = rig->rom.commands();
    ASSERT_EQ(commands.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(commands[i].type, SdpBootRom::READ_REGISTER);
        EXPECT_EQ(commands[i].format, 0x20);
        EXPECT_EQ(commands[i].count, 4u);
    }
    EXPECT_EQ(commands[1].address, 0x401F4410u);
    EXPECT_EQ(commands[2].address, 0x401F4420u);
}

TEST_P(SdpOverWire, UnansweredRegisterReadGivesNoFingerprint)
{
    rig->rom.ignore(SdpBootRom::READ_REGISTER, 1);
    uint64_t fingerprint = 0;
    EXPECT_EQ(rig->loader.getFingerprint(fingerprint), SDPLoader::NO_REGISTER_VALUE);
    EXPECT_EQ(fingerprint, 0u);
}

std::string wireName(const ::testing::TestParamInfo<Wire>& wire)
{
    return wire.param == Wire::Uart ? "Uart" : "Hid";
}

INSTANTIATE_TEST_SUITE_P(Wires, SdpOverWire, ::testing::Values(Wire::Uart, Wire::Hid), wireName);

TEST(SdpOverUart, WritesGiveUpOnALineThatHungUp)
{
    Rig rig(Wire::Uart);
    ASSERT_EQ(rig.loader.init(), SDPLoader::SUCCESS);
    rig.pty->hangUp();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.loader.writeLoader(makeImage(4096), LOAD_ADDRESS), SDPLoader::NO_ANSWER);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A ROM answering status requests late, over either wire: the liveness test
// waits for it rather than asking again and again (over HID a reply holding
// two answers is no answer), and any answers still owed are drained before
// the image goes out.
TEST(SdpLateStatus, AnswersAreAwaitedAndDrainedBeforeTheImage)
{
    struct Case {
        Wire wire;
        int delayMs;
    } cases[] = {{Wire::Uart, 150}, {Wire::Uart, 400}, {Wire::Hid, 150}, {Wire::Hid, 400}};
    for (const Case& c : cases) {
        const std::string name = std::string(c.wire == Wire::Uart ? "UART" : "HID") + ", " +
                                 std::to_string(c.delayMs) + " ms late";
        Rig rig(c.wire);
        ASSERT_EQ(rig.loader.init(), SDPLoader::SUCCESS) << name;
        rig.rom.setStatusDelay(c.delayMs);
        std::vector<uint8_t> image = makeImage(3000);
        ASSERT_EQ(rig.loader.writeLoader(image, LOAD_ADDRESS), SDPLoader::SUCCESS) << name;
        EXPECT_EQ(rig.rom.memory(LOAD_ADDRESS, image.size()), image) << name;
        // The one status request was answered; no second one was needed.
        EXPECT_EQ(rig.commandTypes(), (std::vector<uint16_t>{SdpBootRom::ERROR_STATUS, SdpBootRom::WRITE_FILE}))
            << name;
    }
}

// Stray bytes left on the line before the client (a probe for another boot
// ROM) sit in the ROM's command assembly; a ROM that drops a half-received
// command after an idle time has dropped them by the end of the line's
// settling time, one that keeps it has not. Realigned, both take the image.
TEST(SdpOverUart, RealignedAfterStrayBytes)
{
    struct Case {
        int idleDropMs;
        size_t stray;
    } cases[] = {{-1, 0}, {-1, 1}, {-1, 3}, {-1, 8}, {-1, 15}, {-1, 21}, {200, 1}, {200, 3}};
    for (const Case& c : cases) {
        SdpBootRom rom(Wire::Uart);
        rom.setIdleDrop(c.idleDropMs);
        sim::PtyCarrier pty(rom, sim::PtyCarrier::Framing::Raw);
        {
            // The stray bytes: "?", line ends, then whatever.
            const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
            ASSERT_GE(fd, 0);
            struct termios raw;
            ASSERT_EQ(tcgetattr(fd, &raw), 0);
            cfmakeraw(&raw);
            ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
            std::vector<uint8_t> stray(c.stray, 'x');
            const char probe[] = "?\r\n";
            std::copy(probe, probe + std::min(c.stray, sizeof probe - 1), stray.begin());
            ASSERT_EQ(write(fd, stray.data(), stray.size()), ssize_t(stray.size()));
            tcdrain(fd);
            close(fd);
        }
        Serial_SDPLoader* serial = new Serial_SDPLoader(pty.path().c_str());
        SDPLoader loader;
        loader.setLoader(serial);
        ASSERT_EQ(loader.init(), SDPLoader::SUCCESS);
        const std::string name = std::to_string(c.stray) + " stray bytes, idle drop " + std::to_string(c.idleDropMs);
        EXPECT_TRUE(serial->realign()) << name;
        std::vector<uint8_t> image = makeImage(2000);
        EXPECT_EQ(loader.writeLoader(image, LOAD_ADDRESS), SDPLoader::SUCCESS) << name;
        EXPECT_EQ(rom.memory(LOAD_ADDRESS, image.size()), image) << name;
        EXPECT_EQ(rom.droppedBytes(), c.idleDropMs < 0 ? 0 : c.stray % 16) << name;
    }
}

TEST(SdpOverUart, RealigningASilentLineFails)
{
    Rig rig(Wire::Uart);
    rig.rom.setSilent(true);
    Serial_SDPLoader other(rig.pty->path().c_str());
    ASSERT_TRUE(other.init());
    EXPECT_FALSE(other.realign());
}

TEST(SdpOverUart, PortOpenedAsDescriptorZeroIsUsedAndClosed)
{
    int savedInput = dup(0);
    ASSERT_GE(savedInput, 0);
    {
        Rig rig(Wire::Uart);
        close(0);
        EXPECT_EQ(rig.loader.init(), SDPLoader::SUCCESS);
        EXPECT_EQ(isatty(0), 1);
        std::vector<uint8_t> image = makeImage(300);
        EXPECT_EQ(rig.loader.writeLoader(image, LOAD_ADDRESS), SDPLoader::SUCCESS);
        EXPECT_EQ(rig.rom.memory(LOAD_ADDRESS, image.size()), image);
    }
    bool closed = fcntl(0, F_GETFD) < 0;
    dup2(savedInput, 0);
    close(savedInput);
    EXPECT_TRUE(closed);
}

} // namespace
