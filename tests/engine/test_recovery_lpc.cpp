// test-labels: integration threaded
// test-run-serial
// The chip fingerprint and the LPC17xx recovery against the simulated boot
// ROM behind a pseudo-terminal: which road is taken, the identifier's word
// order, and the flash as the firmware file's blocks leave it.
#include "engine/BirdFile.h"
#include "engine/Updater.h"
#include "recovery/NXPSerialClass.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/checked_lpc_isp_rom.h"
#include "tests/sim/pty_carrier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

using enginetest::RecordingDisplay;

namespace {

using Rom = sim::CheckedLpcIspRom;
using Bytes = std::vector<uint8_t>;

std::string tempDir()
{
    char name[] = "/tmp/recovery-lpc-XXXXXX";
    return mkdtemp(name);
}

class LpcTest : public ::testing::Test {
protected:
    std::string dir = tempDir();
    Rom rom;
    sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
    RecordingDisplay display;
    std::string port = carrier.path();

    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    BirdFile file(sim::BirdWriter& bird)
    {
        const std::string path = dir + "/firmware.bird";
        bird.write(path);
        return BirdFile(path.c_str());
    }
    bool recover(sim::BirdWriter& bird, unsigned baudRate = 115200)
    {
        BirdFile firmware = file(bird);
        rom.setSynchronised();
        return _recover_firmware_lpc(display, firmware, port, baudRate);
    }
    Bytes flash(uint32_t address, size_t n) const
    {
        const Bytes all = rom.flash();
        return Bytes(all.begin() + address, all.begin() + address + n);
    }
    // A recovery that finds the chip an LPC, writes the image into its flash,
    // starts it, and never sends it an i.MX byte.
    void expectRecoveredAsLpc(Updater& updater, const std::string& path, const Bytes& image)
    {
        ASSERT_TRUE(updater.Recover_Firmware(port, 0, 115200, 0, path, false));
        EXPECT_EQ(updater.recoveryChip, 2);
        EXPECT_EQ(flash(0, image.size()), image);
        EXPECT_TRUE(rom.counters().started);
        const Bytes received = rom.received();
        EXPECT_EQ(std::count(received.begin(), received.end(), 0x05), 0);
    }
    bool sawCommand(const std::string& start) const
    {
        for (const std::string& c : rom.commands())
            if (c.rfind(start, 0) == 0) return true;
        return false;
    }
};

TEST_F(LpcTest, FingerprintOfAnLpcChipIsItsSerialNumberInReplyOrder)
{
    Updater updater("http://127.0.0.1:1", dir.c_str(), display);
    Fingerprint print{};
    ASSERT_TRUE(updater.Get_Fingerprint(print, port, kDefaultSerialNumber, "", 115200, true));
    EXPECT_EQ(updater.recoveryChip, 2);
    const Rom::Identity identity;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(print.words[i], identity.serial[i]) << i;
    EXPECT_TRUE(rom.synchronised());
}

// A chip synchronised by an earlier run gives "?" back as its echo at most:
// it is an LPC17xx in step, a second fingerprint as much as the first, its
// echo is switched back on, and no byte of the i.MX road reaches it.
TEST_F(LpcTest, ChipSynchronisedBeforeIsAnLpcInStep)
{
    for (bool echoOff : {false, true}) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        chip.setSynchronised();
        if (echoOff) {
            NXPSerialClass earlier;
            ASSERT_EQ(earlier.Connect(line.path().c_str(), 115200), aErrNone);
            ASSERT_EQ(earlier.SetEcho(false), aErrNone);
            ASSERT_FALSE(chip.echo());
        }
        Updater updater("http://127.0.0.1:1", dir.c_str(), display);
        for (int run = 0; run < 2; ++run) {
            Fingerprint print{};
            ASSERT_TRUE(updater.Get_Fingerprint(print, line.path(), kDefaultSerialNumber, "", 115200, true))
                << echoOff << run;
            EXPECT_EQ(updater.recoveryChip, 2);
            const Rom::Identity identity;
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(print.words[i], identity.serial[i]) << echoOff << run << i;
        }
        EXPECT_TRUE(chip.echo());
        const Bytes received = chip.received();
        EXPECT_EQ(std::count(received.begin(), received.end(), 0x05), 0) << echoOff;
    }
}

// A recovery that failed part way leaves the chip synchronised, unlocked
// and without echo; the next recovery finds it in step and writes it whole.
TEST_F(LpcTest, RecoveryAfterAFailedOne)
{
    const Bytes image = sim::randomBytes(9000, 12);
    sim::BirdWriter bird;
    bird.firmware(0x0, image);
    const std::string path = dir + "/again.bird";
    bird.write(path);
    Rom::Faults faults;
    faults.returnCodes['C'] = 9;
    rom.setFaults(faults);
    Updater updater("http://127.0.0.1:1", dir.c_str(), display);
    ASSERT_FALSE(updater.Recover_Firmware(port, 0, 115200, 0, path, false));
    ASSERT_FALSE(rom.echo());
    ASSERT_TRUE(rom.unlocked());

    rom.setFaults(Rom::Faults());
    expectRecoveredAsLpc(updater, path, image);
}

// Leaves the chip in the middle of a write of count bytes to the staging RAM,
// as a run stopped there would: the write's first lines data lines of 45
// bytes, each block of twenty but the last one acknowledged, then the raw
// tail (part of a line, say).
void leaveMidWrite(const std::string& port, bool echoOff, uint32_t count, size_t lines, const std::string& tail)
{
    NXPSerialClass earlier;
    ASSERT_EQ(earlier.Connect(port.c_str(), 115200), aErrNone);
    if (echoOff) {
        ASSERT_EQ(earlier.SetEcho(false), aErrNone);
    }
    const Bytes data = sim::randomBytes(count, 77);
    char text[80];
    snprintf(text, sizeof text, "W %u %u\r\n", NXPSerialClass::WRITE_ADDRESS, count);
    earlier.Send(text, earlier.echo);
    size_t length = 0;
    ASSERT_EQ(earlier.GetLine(text, 64, &length, 100), aErrNone);
    ASSERT_STREQ(text, "0\r\n");
    size_t at = 0;
    size_t checkpoint = 0;
    for (size_t i = 1; i <= lines; ++i) {
        at += NXPSerialClass::uuencode(text, data.data() + at, count - at);
        earlier.Send(text, earlier.echo);
        earlier.Send("\r\n", earlier.echo);
        if (i % 20 != 0 || i == lines) continue;
        snprintf(text, sizeof text, "%u\r\n", NXPSerialClass::sum(data.data() + checkpoint, at - checkpoint));
        earlier.Send(text, earlier.echo);
        ASSERT_EQ(earlier.GetLine(text, 64, &length, 1000), aErrNone);
        ASSERT_STREQ(text, "OK\r\n");
        checkpoint = at;
    }
    if (!tail.empty()) earlier.Send(tail.c_str(), false);
}

// A chip that an earlier run left writing to RAM, wherever in the write it
// stopped: the fingerprint gives it the rest of the write, finds it at its
// command prompt with its echo on, and reads its identifier; its flash and
// the RAM outside the write are as they were, and no byte of the i.MX road
// reaches it. Checksum lines that are no number are refused by some ROMs and
// read as 0 by others.
TEST_F(LpcTest, ChipLeftWritingToRamIsBroughtBackToItsPrompt)
{
    struct Case {
        uint32_t count;
        size_t lines;
        const char* tail;
        bool echoOff;
        bool lenient;
    } cases[] = {
        {1024, 0, "", true, false},      // right after the command's return code
        {1024, 7, "", true, false},      // within the first block
        {1024, 20, "", true, false},     // the first block's checksum due
        {1024, 20, "12", true, false},   // half of that checksum sent
        {1024, 23, "M`", true, true},    // in the middle of a line of the second block
        {256, 5, "", true, false},       // only the short last line missing
        {256, 6, "", false, false},      // all bytes sent, the checksum not
        {256, 3, "", false, true},
        {2048, 41, "", true, false},     // a line into the third block
        {4096, 2, "", true, true},
    };
    const Rom::Identity identity;
    for (const Case& c : cases) {
        const std::string name = std::to_string(c.count) + " bytes, " + std::to_string(c.lines) + " lines, tail \"" +
                                 c.tail + "\", echo " + (c.echoOff ? "off" : "on") +
                                 (c.lenient ? ", lenient" : "");
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        Rom::Faults faults;
        faults.lenientChecksum = c.lenient;
        chip.setFaults(faults);
        chip.setSynchronised();
        leaveMidWrite(line.path(), c.echoOff, c.count, c.lines, c.tail);
        ASSERT_TRUE(chip.writingRam()) << name;
        const Bytes ramBefore = chip.ram();

        Updater updater("http://127.0.0.1:1", dir.c_str(), display);
        for (int run = 0; run < 2; ++run) {
            Fingerprint print{};
            ASSERT_TRUE(updater.Get_Fingerprint(print, line.path(), kDefaultSerialNumber, "", 115200, true))
                << name << " run " << run;
            EXPECT_EQ(updater.recoveryChip, 2) << name;
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(print.words[i], identity.serial[i]) << name << " word " << i;
        }
        EXPECT_FALSE(chip.writingRam()) << name;
        EXPECT_TRUE(chip.echo()) << name;
        const Bytes received = chip.received();
        EXPECT_EQ(std::count(received.begin(), received.end(), 0x05), 0) << name;
        const Bytes flash = chip.flash();
        size_t changed = 0;
        for (uint32_t a = 0; a < flash.size(); ++a)
            changed += flash[a] != Rom::initialFlash(a);
        EXPECT_EQ(changed, 0u) << name;
        const Bytes ram = chip.ram();
        const size_t from = NXPSerialClass::WRITE_ADDRESS - Rom::kRamStart;
        EXPECT_TRUE(std::equal(ram.begin(), ram.begin() + from, ramBefore.begin())) << name;
        EXPECT_TRUE(std::equal(ram.begin() + from + c.count, ram.end(), ramBefore.begin() + from + c.count)) << name;
        // Nothing the chip took as a command could touch its flash, rate or run.
        for (const std::string& command : chip.commands())
            EXPECT_EQ(std::string("UPECGBI").find(command[0]), std::string::npos) << name << ": " << command;
    }
}

// A chip writing to RAM that never acknowledges a block is known as an
// LPC17xx all the same: the fingerprint fails without the i.MX road.
TEST_F(LpcTest, ChipWritingToRamThatDoesNotComeBackIsNoImx)
{
    rom.setSynchronised();
    leaveMidWrite(port, true, 1024, 3, "");
    Rom::Faults faults;
    faults.checksumAnswer = "BUSY\r\n";
    rom.setFaults(faults);
    Updater updater("http://127.0.0.1:1", dir.c_str(), display);
    Fingerprint print{};
    EXPECT_FALSE(updater.Get_Fingerprint(print, port, 1234, "missing.bird", 115200, false));
    EXPECT_EQ(updater.recoveryChip, 2);
    EXPECT_TRUE(rom.writingRam());
    const Bytes received = rom.received();
    EXPECT_EQ(std::count(received.begin(), received.end(), 0x05), 0);
}

// A chip that answered the synchronisation as an LPC17xx but whose "N" is
// refused or short is no i.MX: the fingerprint fails with its reason, and
// nothing after "N" reaches the chip, though the i.MX road had a live
// loader to send.
TEST_F(LpcTest, LpcWithoutItsSerialNumberIsNoImx)
{
    const std::string loader = dir + "/loader.bird";
    sim::BirdWriter().loader(0x20000000, sim::randomBytes(2048, 14)).write(loader);
    const std::string param = std::string(" [") + std::to_string(aErrParam) + ", " + aError_GetErrorText(aErrParam) + "]";
    const std::string silent =
        std::string(" [") + std::to_string(aErrNotReady) + ", " + aError_GetErrorText(aErrNotReady) + "]";
    struct Case {
        int code;
        int lines;
        std::string why;
    } cases[] = {{1, 4, param}, {0, 3, silent}, {0, 0, silent}};
    for (const Case& c : cases) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        Rom::Faults faults;
        if (c.code != 0) faults.returnCodes['N'] = c.code;
        faults.identityLines = c.lines;
        chip.setFaults(faults);
        RecordingDisplay shown;
        Updater updater("http://127.0.0.1:1", dir.c_str(), shown);
        Fingerprint print{};
        EXPECT_FALSE(updater.Get_Fingerprint(print, line.path(), 1234, loader, 115200, false)) << c.lines;
        EXPECT_EQ(updater.recoveryChip, 2) << c.lines;
        EXPECT_EQ(shown.lines(),
                  std::vector<std::string>{"error LPC17xx chip answered the synchronisation but gave no serial number" +
                                           c.why});
        EXPECT_EQ(chip.commands(), std::vector<std::string>{"N"}) << c.lines;
        const Bytes received = chip.received();
        const std::string tail = "N\r\n";
        ASSERT_GE(received.size(), tail.size());
        EXPECT_EQ(std::string(received.end() - long(tail.size()), received.end()), tail) << c.lines;
    }
}

// A recovery whose link failed in the middle of a write (here: the chip's
// acknowledgement came garbled) leaves the chip writing to RAM; the next
// recovery brings it back and writes the flash whole.
TEST_F(LpcTest, RecoveryAfterOneStoppedInTheMiddleOfAWrite)
{
    const Bytes image = sim::randomBytes(9000, 13);
    sim::BirdWriter bird;
    bird.firmware(0x0, image);
    const std::string path = dir + "/midwrite.bird";
    bird.write(path);
    Rom::Faults faults;
    faults.checksumAnswer = "0K\r\n";
    rom.setFaults(faults);
    Updater updater("http://127.0.0.1:1", dir.c_str(), display);
    ASSERT_FALSE(updater.Recover_Firmware(port, 0, 115200, 0, path, false));
    ASSERT_TRUE(rom.writingRam());

    rom.setFaults(Rom::Faults());
    expectRecoveredAsLpc(updater, path, image);
}

// Without an LPC answer the i.MX road is taken, and ends before the chip is
// written to when the live loader's file cannot be had.
TEST_F(LpcTest, WithoutAnLpcAnswerTheImxRoadIsTaken)
{
    struct Case {
        const char* port;
        unsigned serial;
        const char* file;
        const char* shown;
    } cases[] = {
        {"/nonexistent/tty", 1234, "missing.bird", nullptr},
        {"USB", 1234, "missing.bird", nullptr},
        {"/nonexistent/tty", 0, "given.bird", "error Add serial number or remove the bird filename to use a default recovery image."},
        {"/nonexistent/tty", kDefaultSerialNumber, "given.bird", "error Add serial number or remove the bird filename to use a default recovery image."},
    };
    for (const Case& c : cases) {
        RecordingDisplay shown;
        Updater updater("http://127.0.0.1:1", dir.c_str(), shown);
        Fingerprint print{};
        EXPECT_FALSE(updater.Get_Fingerprint(print, c.port, c.serial, c.file, 115200, false)) << c.port;
        EXPECT_EQ(updater.recoveryChip, 1) << c.port;
        EXPECT_EQ(shown.lines(), c.shown ? std::vector<std::string>{c.shown} : std::vector<std::string>{})
            << c.port << " " << c.serial;
    }
}

// Three firmware blocks, the third only an address word and four bytes,
// which closes the image: the two before it are written in chunks of 4096
// bytes and a shorter last one, copied to flash in pieces that end within
// its last page; the blocks from the third on are not.
TEST_F(LpcTest, RecoveryWritesTheBlocksBeforeTheClosingOne)
{
    const Bytes first = sim::randomBytes(5000, 3);
    const Bytes second = sim::randomBytes(1804, 4);
    sim::BirdWriter bird;
    bird.firmware(0x0, first).firmware(0x10000, second).firmware(0x20000, {1, 2, 3, 4}).firmware(0x30000,
                                                                                              sim::randomBytes(64, 5));
    ASSERT_TRUE(recover(bird));

    EXPECT_EQ(flash(0, first.size()), first);
    EXPECT_EQ(flash(0x10000, second.size()), second);
    // What lies beyond the data stays erased.
    EXPECT_EQ(flash(first.size(), 0x2000 - first.size()), Bytes(0x2000 - first.size(), 0xFF));
    EXPECT_EQ(flash(0x10000 + second.size(), 4096 - second.size()), Bytes(4096 - second.size(), 0xFF));
    EXPECT_EQ(flash(0x20000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(flash(0x30000, 64), Bytes(64, 0xFF));

    const std::vector<std::string> lines = display.lines();
    const std::vector<std::string> messages = [&] {
        std::vector<std::string> out;
        for (const std::string& l : lines)
            if (l.rfind("info ", 0) == 0 || l.rfind("error ", 0) == 0) out.push_back(l);
        return out;
    }();
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "info Transferring firmware block 1 of 2, 5000 bytes",
                            "info Transferring firmware block 2 of 2, 1804 bytes",
                            "info Transferred 2 blocks, 6804 total bytes",
                            "info Rebooting Device",
                        }));
    EXPECT_EQ(display.count("bar 1.000000 -"), 2u);
    EXPECT_TRUE(sawCommand("C 0 268439552 4096"));     // the first chunk
    EXPECT_TRUE(sawCommand("C 4096 268439552 1024"));  // 904 bytes: four pages
    EXPECT_FALSE(sawCommand("C 4096 268439552 4096"));
    EXPECT_TRUE(sawCommand("C 65536 268439552 1024")); // 1804 bytes: eight pages
    EXPECT_TRUE(sawCommand("C 66560 268440576 1024"));
    EXPECT_TRUE(rom.counters().started);
    EXPECT_EQ(rom.counters().startAddress, 0u);
    EXPECT_TRUE(rom.echo());
}

// A short block near a sector's end: its copy, rounded up, reaches into the
// next sector, which is prepared with it; a length that is no multiple of 4
// is written whole.
TEST_F(LpcTest, RoundedCopyAcrossASectorEnd)
{
    const Bytes data = sim::randomBytes(301, 6);
    sim::BirdWriter bird;
    bird.firmware(0xF00, data);
    ASSERT_TRUE(recover(bird));
    EXPECT_EQ(flash(0xF00, data.size()), data);
    EXPECT_EQ(flash(0xF00 + data.size(), 512 - data.size()), Bytes(512 - data.size(), 0xFF));
    EXPECT_TRUE(sawCommand("P 0 1"));
}

// Short blocks each followed by one starting on the page after their last:
// every block lands on erased flash, and the pages of one chunk go out in
// the largest copies that fit them.
TEST_F(LpcTest, ShortBlocksPackedPageAfterPage)
{
    struct Piece {
        uint32_t address;
        size_t length;
    } pieces[] = {{0x0, 1300}, {0x600, 700}, {0x900, 256}, {0xA00, 1}, {0xB00, 2600}, {0x1800, 4100}};
    sim::BirdWriter bird;
    std::vector<Bytes> data;
    for (const Piece& p : pieces) {
        data.push_back(sim::randomBytes(p.length, unsigned(p.address + 20)));
        bird.firmware(p.address, data.back());
    }
    ASSERT_TRUE(recover(bird));
    for (size_t i = 0; i < data.size(); ++i)
        EXPECT_EQ(flash(pieces[i].address, data[i].size()), data[i]) << i;
    EXPECT_TRUE(sawCommand("C 0 268439552 1024"));
    EXPECT_TRUE(sawCommand("C 1024 268440576 512"));
    EXPECT_TRUE(sawCommand("C 2816 268439552 1024"));  // 2600 bytes: 1024, 1024, 512, 256
    EXPECT_TRUE(sawCommand("C 5376 268442112 256"));
}

TEST_F(LpcTest, ARateOtherThanTheSynchronisedOneIsAgreedWithTheChip)
{
    const Bytes data = sim::randomBytes(1024, 9);
    sim::BirdWriter bird;
    bird.firmware(0x8000, data);
    ASSERT_TRUE(recover(bird, 57600));
    EXPECT_EQ(rom.commands().front(), "B 57600 1");
    EXPECT_EQ(flash(0x8000, data.size()), data);
}

TEST_F(LpcTest, EchoNotRestoredIsAnErrorAndTheChipIsNotStarted)
{
    Rom::Faults faults;
    faults.returnCodes['A'] = 19;
    rom.setFaults(faults);
    sim::BirdWriter bird;
    bird.firmware(0x0, sim::randomBytes(256, 10));
    EXPECT_FALSE(recover(bird));
    EXPECT_EQ(display.lines().back(), "error Recovery Error transfering data to device ==> [" +
                                          std::to_string(aErrParam) + ", " + aError_GetErrorText(aErrParam) + "]");
    EXPECT_FALSE(rom.counters().started);
}

// Blocks that share flash pages, in any order, overlapping with equal
// bytes or starting within a page: every page is copied once after the
// erase (the stand-in fails the test otherwise) and holds every block's
// bytes, erased flash around them.
TEST_F(LpcTest, BlocksThatSharePagesAreGatheredPageByPage)
{
    const Bytes a = sim::randomBytes(300, 40);
    const Bytes b = sim::randomBytes(200, 41);
    const Bytes c = sim::randomBytes(512, 42);
    const Bytes d = sim::randomBytes(512, 43);
    const Bytes e = sim::randomBytes(700, 44);
    struct Piece {
        uint32_t address;
        Bytes data;
    } pieces[] = {
        {0x0, a},                                   // ends within page 1 ...
        {0x12C, b},                                 // ... where this one starts
        {0x2000, c},                                // the same block twice
        {0x2000, c},
        {0x4100, Bytes(d.begin() + 256, d.end())},  // a page, then the block around it
        {0x4000, d},
        {0x7004, Bytes(e.begin() + 0x100, e.begin() + 0x200)},  // a block, then one around it
        {0x6F04, e},                                            // that starts within a page
    };
    sim::BirdWriter bird;
    for (const Piece& p : pieces)
        bird.firmware(p.address, p.data);
    ASSERT_TRUE(recover(bird));
    for (size_t i = 0; i < std::size(pieces); ++i)
        EXPECT_EQ(flash(pieces[i].address, pieces[i].data.size()), pieces[i].data) << i;
    EXPECT_EQ(flash(0x1F4, 0xC), Bytes(0xC, 0xFF));
    EXPECT_EQ(flash(0x6F00, 4), Bytes(4, 0xFF));
    EXPECT_EQ(flash(0x6F04 + e.size(), 0x7200 - 0x6F04 - e.size()), Bytes(0x7200 - 0x6F04 - e.size(), 0xFF));
    EXPECT_EQ(display.count("bar 1.000000 -"), std::size(pieces));
    EXPECT_EQ(display.lines().back(), "info Rebooting Device");
}

// Files that cannot be written as they stand are refused, with the reason,
// before anything is sent to the chip: no firmware (a block without its
// address word, one closing the image at once, loader blocks only), blocks
// that give one byte two values, and blocks reaching outside the 512 KB flash.
TEST_F(LpcTest, UnwritableFilesAreRefusedBeforeTheChipIsTouched)
{
    const Bytes before = rom.flash();
    const Bytes page = sim::randomBytes(512, 7);
    Bytes other = sim::randomBytes(512, 8);
    other[0] = uint8_t(page[0x100] ^ 1);
    Bytes again = page;
    again[0x1FF] ^= 0x80;
    Bytes around = sim::randomBytes(512, 9);
    around[0x100] = uint8_t(other[0] ^ 2);
    struct Case {
        const char* name;
        sim::BirdWriter bird;
        std::string shown;
    } cases[] = {
        {"no address word", sim::BirdWriter().block(1, {0, 0}), "Birdfile holds no firmware blocks"},
        {"closed at once", sim::BirdWriter().firmware(0x0, {1, 2, 3, 4}).firmware(0x1000, page),
         "Birdfile holds no firmware blocks"},
        {"loader only", sim::BirdWriter().loader(0x20000000, page), "Birdfile holds no firmware blocks"},
        {"overlapping", sim::BirdWriter().firmware(0x0, Bytes(page.begin(), page.begin() + 300)).firmware(0x100, other),
         "Firmware blocks 1 and 2 of 2 give flash address 0x00000100 different bytes"},
        {"the same address twice", sim::BirdWriter().firmware(0x2000, page).firmware(0x2000, again),
         "Firmware blocks 1 and 2 of 2 give flash address 0x000021FF different bytes"},
        {"a page inside a later block", sim::BirdWriter().firmware(0x4100, other).firmware(0x4000, around),
         "Firmware blocks 1 and 2 of 2 give flash address 0x00004100 different bytes"},
        {"past the flash", sim::BirdWriter().firmware(0x0, page).firmware(0x80000, page),
         "Firmware block 2 of 2 (512 bytes at 0x00080000) lies outside the chip's 512 KB flash"},
        {"across the flash's end", sim::BirdWriter().firmware(0x7FF00, page).firmware(0x0, page),
         "Firmware block 1 of 2 (512 bytes at 0x0007FF00) lies outside the chip's 512 KB flash"},
        {"in RAM", sim::BirdWriter().firmware(0x0, page).firmware(0x10000000, page),
         "Firmware block 2 of 2 (512 bytes at 0x10000000) lies outside the chip's 512 KB flash"},
    };
    for (Case& c : cases) {
        display.calls.clear();
        EXPECT_FALSE(recover(c.bird)) << c.name;
        EXPECT_EQ(display.lines(), std::vector<std::string>{"error " + c.shown}) << c.name;
        EXPECT_EQ(rom.commands(), std::vector<std::string>{}) << c.name;
        EXPECT_EQ(rom.received(), Bytes{}) << c.name;
        EXPECT_EQ(rom.flash(), before) << c.name;
    }
}

// Every step that the chip refuses, or whose answer does not come right,
// ends the recovery with what failed on the error line; the chip is not
// started.
TEST_F(LpcTest, AFailedStepEndsTheRecoveryWithItsReason)
{
    const std::string param = std::string(" [") + std::to_string(aErrParam) + ", " + aError_GetErrorText(aErrParam) + "]";
    const std::string io = std::string(" [") + std::to_string(aErrIO) + ", " + aError_GetErrorText(aErrIO) + "]";
    struct Case {
        std::string refused;  // a command letter, or a whole command line
        std::string checksumAnswer;
        std::string shown;
    } cases[] = {
        {"U", "", "Recovery Error: the chip refused to unlock its flash" + param},
        {"P 0 29", "", "Recovery Error: the chip refused to prepare its flash for the erase" + param},
        {"E", "", "Recovery Error: the chip refused to erase its flash" + param},
        {"W", "", "Recovery Error: the chip took no write of 1024 bytes to RAM for flash address 0x00001000" + param},
        {"", "0K\r\n",
         "Recovery Error: the chip took no write of 1024 bytes to RAM for flash address 0x00001000" + io},
        {"P 1 1", "", "Recovery Error: the chip refused to prepare sectors 1 to 1 for a copy" + param},
        {"C", "", "Recovery Error: the chip refused the copy of 1024 bytes to flash address 0x00001000" + param},
    };
    for (const Case& c : cases) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        Rom::Faults faults;
        faults.refuse(c.refused);
        faults.checksumAnswer = c.checksumAnswer;
        chip.setFaults(faults);
        chip.setSynchronised();
        RecordingDisplay shown;
        sim::BirdWriter bird;
        bird.firmware(0x1000, sim::randomBytes(1000, 11));
        BirdFile firmware = file(bird);
        std::string path = line.path();
        EXPECT_FALSE(_recover_firmware_lpc(shown, firmware, path, 115200)) << c.shown;
        std::vector<std::string> errors;
        for (const std::string& l : shown.lines())
            if (l.rfind("error ", 0) == 0) errors.push_back(l);
        EXPECT_EQ(errors, std::vector<std::string>{"error " + c.shown});
        EXPECT_EQ(shown.count("info Rebooting Device"), 0u) << c.shown;
        EXPECT_FALSE(chip.counters().started) << c.shown;
    }
}

} // namespace

// The whole recovery from an unsynchronised chip: the fingerprint road
// synchronises it, the named file is written and the chip started; a file
// carrying serial offsets is refused before the flash is touched.
TEST_F(LpcTest, RecoverFirmwareFromAFile)
{
    struct Case {
        const char* name;
        bool serialOffsets;
        bool result;
        const char* message;
    };
    const Case cases[] = {
        {"plain file", false, true, "info Rebooting Device"},
        {"serial offsets", true, false, "error Updater does not support offline recovery"},
    };
    for (const Case& c : cases) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        RecordingDisplay shown;
        const Bytes image = sim::randomBytes(6000, 9);
        sim::BirdWriter bird;
        bird.firmware(0x0, image).firmware(0x8000, {1, 2, 3, 4});
        if (c.serialOffsets) bird.serialOffsets(0x400, 0x800);
        const std::string path = dir + "/recover.bird";
        bird.write(path);

        const Bytes before = chip.flash();
        Updater updater("http://127.0.0.1:1", dir.c_str(), shown);
        EXPECT_EQ(updater.Recover_Firmware(line.path(), 0, 115200, 0, path, false), c.result) << c.name;
        EXPECT_EQ(shown.count(c.message), 1u) << c.name;
        EXPECT_EQ(shown.count("error Could not get Device Identifier"), 0u) << c.name;
        const Bytes all = chip.flash();
        if (c.result)
            EXPECT_EQ(Bytes(all.begin(), all.begin() + image.size()), image) << c.name;
        else
            EXPECT_EQ(all, before) << c.name;
        EXPECT_EQ(chip.counters().started, c.result) << c.name;
    }
}
