// test-labels: integration netns
// test-run-serial
// The updater program's recovery of an LPC17xx and its fingerprint command,
// run as an operator runs them against the simulated boot ROM behind a
// pseudo-terminal: the exit code, what stderr says, and the chip's flash,
// for firmware files whose blocks share pages, overlap or leave the flash,
// for every step the chip refuses, and for a chip that gives no serial number.
#include "common/aError.h"
#include "tests/cli/updater_run.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/checked_lpc_isp_rom.h"
#include "tests/sim/private_network.h"
#include "tests/sim/pty_carrier.h"
#include "tests/sim/update_server_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using clitest::hasLine;
using clitest::Outcome;
using Bytes = std::vector<uint8_t>;
using Rom = sim::CheckedLpcIspRom;

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

std::string codeText(aErr err)
{
    return " [" + std::to_string(err) + ", " + aError_GetErrorText(err) + "]";
}

// A fresh boot ROM per test, and a scratch directory for the store and the
// firmware file; no update server answers.
class RecoverCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/recover_command.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    Outcome run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-i", root, "-u", "http://127.0.0.1:1/cgi/u"});
        return clitest::runUpdater(args, root);
    }
    Outcome recover(const sim::BirdWriter& bird)
    {
        const std::string path = root + "/firmware.bird";
        bird.write(path);
        return run({"-U", "-t", "RECOVER", "-s", carrier.path(), "-f", path});
    }
    Bytes flash(uint32_t address, size_t n) const
    {
        const Bytes all = rom.flash();
        return Bytes(all.begin() + address, all.begin() + address + long(n));
    }

    std::string root;
    Rom rom;
    sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
};

// Blocks that share pages, the same block twice and a page inside a later
// block: each page is programmed once after the erase (the stand-in checks
// it) and the flash holds every block's bytes.
TEST_F(RecoverCommand, BlocksThatSharePagesAreAllInFlash)
{
    const Bytes a = sim::randomBytes(300, 50);
    const Bytes b = sim::randomBytes(256, 51);
    const Bytes c = sim::randomBytes(512, 52);
    const Bytes d = sim::randomBytes(512, 53);
    sim::BirdWriter bird;
    bird.firmware(0x0, a)
        .firmware(0x12C, b)
        .firmware(0x2000, c)
        .firmware(0x2000, c)
        .firmware(0x4100, Bytes(d.begin() + 256, d.end()))
        .firmware(0x4000, d);
    const Outcome r = recover(bird);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(hasLine(r.out, "Transferred 6 blocks, 2348 total bytes")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Rebooting Device")) << r.out;
    EXPECT_EQ(flash(0x0, a.size()), a);
    EXPECT_EQ(flash(0x12C, b.size()), b);
    EXPECT_EQ(flash(0x2000, c.size()), c);
    EXPECT_EQ(flash(0x4000, d.size()), d);
    EXPECT_EQ(flash(0x22C, 0xD4), Bytes(0xD4, 0xFF));
    EXPECT_TRUE(rom.counters().started);
}

// Blocks that give one byte two values, or that reach outside the 512 KB
// flash, are refused before the chip hears anything but the fingerprint's
// "N": exit 1, the reason on stderr, the flash as it was.
TEST_F(RecoverCommand, UnwritableBlocksAreRefusedBeforeTheChipIsTouched)
{
    const Bytes page = sim::randomBytes(512, 60);
    Bytes other = sim::randomBytes(512, 61);
    other[0] = uint8_t(page[0x100] ^ 1);
    Bytes again = page;
    again[0] ^= 1;
    struct Case {
        const char* name;
        sim::BirdWriter bird;
        std::string shown;
    } cases[] = {
        {"overlapping", sim::BirdWriter().firmware(0x0, Bytes(page.begin(), page.begin() + 300)).firmware(0x100, other),
         "Firmware blocks 1 and 2 of 2 give flash address 0x00000100 different bytes"},
        {"the same address twice", sim::BirdWriter().firmware(0x2000, page).firmware(0x2000, again),
         "Firmware blocks 1 and 2 of 2 give flash address 0x00002000 different bytes"},
        {"a page inside a later block", sim::BirdWriter().firmware(0x4100, Bytes(other.begin(), other.begin() + 256))
                                            .firmware(0x4000, page),
         "Firmware blocks 1 and 2 of 2 give flash address 0x00004100 different bytes"},
        {"past the flash", sim::BirdWriter().firmware(0x0, page).firmware(0x80000, page),
         "Firmware block 2 of 2 (512 bytes at 0x00080000) lies outside the chip's 512 KB flash"},
        {"across the flash's end", sim::BirdWriter().firmware(0x0, page).firmware(0x7FF00, page),
         "Firmware block 2 of 2 (512 bytes at 0x0007FF00) lies outside the chip's 512 KB flash"},
        {"in RAM", sim::BirdWriter().firmware(0x10000000, page),
         "Firmware block 1 of 1 (512 bytes at 0x10000000) lies outside the chip's 512 KB flash"},
    };
    for (const Case& c : cases) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        const Bytes before = chip.flash();
        const std::string path = root + "/firmware.bird";
        c.bird.write(path);
        const Outcome r = run({"-U", "-t", "RECOVER", "-s", line.path(), "-f", path});
        EXPECT_EQ(r.code, 1) << c.name << r.out;
        EXPECT_TRUE(hasLine(r.err, c.shown)) << c.name << ": " << r.err;
        EXPECT_FALSE(hasLine(r.out, "Rebooting Device")) << c.name;
        EXPECT_EQ(chip.commands(), std::vector<std::string>{"N"}) << c.name;
        EXPECT_EQ(chip.flash(), before) << c.name;
        EXPECT_FALSE(chip.counters().started) << c.name;
    }
}

// Firmware blocks that hold their load address alone. A file of nothing else
// is refused before the chip is touched, whether named on the command line
// (the chip hears nothing at all) or served for the chip's fingerprint (it
// hears the fingerprint's "N" alone): no unlock, no prepare, no erase, the
// flash as it was. Among blocks with images they are skipped, and the erased
// flash holds exactly the others.
TEST_F(RecoverCommand, FirmwareBlocksHoldingOnlyTheirAddress)
{
    const uint32_t serial = 0x40F5849A;
    const Bytes first = sim::randomBytes(1000, 65);
    const Bytes third = sim::randomBytes(300, 66);
    const sim::BirdWriter addressesOnly =
        sim::BirdWriter().identity(1234, "2.15.3", serial, "Korvel").firmware(0x6000, {}).firmware(0x7000, {});
    const std::string refusal = "Birdfile holds no firmware, only the load addresses of its firmware blocks";
    Bytes written(Rom::kFlashSize, 0xFF);
    std::copy(first.begin(), first.end(), written.begin());
    std::copy(third.begin(), third.end(), written.begin() + 0x8000);
    struct Case {
        const char* name;
        sim::BirdWriter bird;
        bool served;  // by the update server for the fingerprint, rather than named with -f
        int code;
        std::string shown;  // a line on stderr when refused, on stdout when written
    } cases[] = {
        {"addresses only, named", addressesOnly, false, 1, refusal},
        {"addresses only, served", addressesOnly, true, 1, refusal},
        {"one among images", sim::BirdWriter().firmware(0x0, first).firmware(0x6000, {}).firmware(0x8000, third),
         false, 0, "Skipping firmware block 2 of 3 at [00006000]: it holds no firmware, only its address"},
    };
    sim::UpdateServer server;
    server.addRecovery(Rom::Identity().serial, serial, 1234);
    server.addBuild(serial, 1234, addressesOnly.file());
    for (const Case& c : cases) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        const Bytes before = chip.flash();
        std::vector<std::string> args{"-i", root + "/" + std::to_string(&c - cases), "-u", server.url(),
                                      "-U", "-t", "RECOVER", "-s", line.path()};
        if (!c.served) args.insert(args.end(), {"-f", c.bird.write(root + "/firmware.bird")});
        const Outcome r = clitest::runUpdater(args, root);
        EXPECT_EQ(r.code, c.code) << c.name << "\n" << r.out << r.err;
        const std::vector<std::string> commands = chip.commands();
        if (c.code == 0) {
            EXPECT_EQ(r.err, "") << c.name;
            EXPECT_TRUE(hasLine(r.out, c.shown)) << c.name << "\n" << r.out;
            EXPECT_TRUE(hasLine(r.out, "Transferred 2 blocks, 1300 total bytes")) << c.name << "\n" << r.out;
            EXPECT_EQ(std::count(commands.begin(), commands.end(), "E 0 29"), 1) << c.name;
            EXPECT_EQ(chip.flash(), written) << c.name;
        } else {
            EXPECT_TRUE(hasLine(r.err, c.shown)) << c.name << ": " << r.err;
            EXPECT_EQ(commands, c.served ? std::vector<std::string>{"N"} : std::vector<std::string>{}) << c.name;
            EXPECT_EQ(chip.flash(), before) << c.name;
        }
        EXPECT_EQ(chip.counters().started, c.code == 0) << c.name;
    }
}

// A step that the chip refuses ends the run with exit 1 and says which.
TEST_F(RecoverCommand, EveryRefusedStepIsNamedOnStderr)
{
    const std::string param = codeText(aErrParam);
    struct Case {
        std::string refused;  // a command letter, or a whole command line
        std::string shown;
    } cases[] = {
        {"U", "Recovery Error: the chip refused to unlock its flash" + param},
        {"P 0 29", "Recovery Error: the chip refused to prepare its flash for the erase" + param},
        {"E", "Recovery Error: the chip refused to erase its flash" + param},
        {"W", "Recovery Error: the chip took no write of 4096 bytes to RAM for flash address 0x00000000" + param},
        {"P 0 0", "Recovery Error: the chip refused to prepare sectors 0 to 0 for a copy" + param},
        {"C 4096 268439552 1024", "Recovery Error: the chip refused the copy of 1024 bytes to flash address 0x00001000" + param},
    };
    for (const Case& c : cases) {
        Rom chip;
        sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
        Rom::Faults faults;
        faults.refuse(c.refused);
        chip.setFaults(faults);
        const std::string path = root + "/firmware.bird";
        sim::BirdWriter().firmware(0x0, sim::randomBytes(5000, 62)).write(path);
        const Outcome r = run({"-U", "-t", "RECOVER", "-s", line.path(), "-f", path});
        EXPECT_EQ(r.code, 1) << c.refused << r.out;
        EXPECT_TRUE(hasLine(r.err, c.shown)) << c.refused << ": " << r.err;
        EXPECT_FALSE(hasLine(r.out, "Rebooting Device")) << c.refused;
        EXPECT_FALSE(chip.counters().started) << c.refused;
    }
}

// An LPC17xx that answered the synchronisation but refuses "N", or gives
// fewer than its four lines, fails both the fingerprint command and the
// recovery with its own reason; nothing after "N" reaches it, though the
// recovery names a file whose live loader the i.MX road would send.
TEST_F(RecoverCommand, LpcWithoutItsSerialNumberIsNoImx)
{
    const std::string path = root + "/loader.bird";
    sim::BirdWriter()
        .loader(0x20000000, sim::randomBytes(2048, 63))
        .firmware(0x0, sim::randomBytes(1024, 64))
        .write(path);
    struct Case {
        int code;
        int lines;
        aErr why;
    } cases[] = {{1, 4, aErrParam}, {0, 3, aErrNotReady}, {0, 0, aErrNotReady}};
    for (const Case& c : cases) {
        const std::string shown = "LPC17xx chip answered the synchronisation but gave no serial number" + codeText(c.why);
        const std::vector<std::vector<std::string>> commands = {
            {"-N"},
            {"-U", "-t", "RECOVER", "-d", "40F5849A", "-f", path},
        };
        for (const std::vector<std::string>& command : commands) {
            Rom chip;
            sim::PtyCarrier line{chip, sim::PtyCarrier::Framing::Raw};
            Rom::Faults faults;
            if (c.code != 0) faults.returnCodes['N'] = c.code;
            faults.identityLines = c.lines;
            chip.setFaults(faults);
            std::vector<std::string> args = command;
            args.insert(args.end(), {"-s", line.path()});
            const Outcome r = run(args);
            const std::string name = command[0] + " " + std::to_string(c.lines);
            EXPECT_EQ(r.code, 1) << name << r.out;
            EXPECT_TRUE(hasLine(r.err, shown)) << name << ": " << r.err;
            EXPECT_TRUE(hasLine(r.err, command[0] == "-N" ? "Got no response from chip" : "Could not get Device Identifier"))
                << name << ": " << r.err;
            EXPECT_EQ(chip.commands(), std::vector<std::string>{"N"}) << name;
            const Bytes received = chip.received();
            const std::string tail = "N\r\n";
            ASSERT_GE(received.size(), tail.size()) << name;
            EXPECT_EQ(std::string(received.end() - long(tail.size()), received.end()), tail) << name;
        }
    }
}

} // namespace
