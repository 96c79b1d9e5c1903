// test-labels: integration netns
// The updater program's command sequence and exit codes, run as a program:
// what it prints before any command, the parameters it refuses, the storage
// directory it makes, and the download and build lists against the
// update-server stand-in, alone and in the order the commands run in.
#include "recovery/NXPSerialClass.h"
#include "tests/cli/updater_run.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/checked_lpc_isp_rom.h"
#include "tests/sim/private_network.h"
#include "tests/sim/pty_carrier.h"
#include "tests/sim/quiet_listener.h"
#include "tests/sim/update_server_fixture.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using clitest::hasLine;
using clitest::Outcome;

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

const std::string kVersionLine = "Updater (Version: 2.12.4 May 26 2026)";
const std::string kShortUsageLine = "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]";
const std::string kFullUsageLine = "  Parameters to commands:";

constexpr uint32_t kSerial = 0x40F5849A;

// A scratch directory that is the program's -i directory unless a test
// gives its own (the last -i counts), so that no run touches the home directory.
class SequenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sequence_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    Outcome run(const std::vector<std::string>& args)
    {
        std::vector<std::string> words{"-i", root};
        words.insert(words.end(), args.begin(), args.end());
        return clitest::runUpdater(words, root);
    }
    // The folder of a device in the store of "-i root".
    std::string deviceFolder(const char* serial) const { return root + "/updater/" + serial; }

    std::string root;
};

// Two builds of kSerial on the server, 1234 being the latest.
class ServerSequenceTest : public SequenceTest {
protected:
    void SetUp() override
    {
        SequenceTest::SetUp();
        server.addBuild(kSerial, 1200,
                        sim::BirdWriter()
                            .identity(1200, "2.15.1", kSerial, "Korvel")
                            .firmware(0, sim::randomBytes(4096, 2))
                            .file());
        server.addBuild(kSerial, 1234,
                        sim::BirdWriter()
                            .identity(1234, "2.15.3", kSerial, "Korvel")
                            .firmware(0, sim::randomBytes(4096))
                            .file());
    }
    Outcome runWithServer(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-u", server.url()});
        return run(args);
    }
    // The query strings of one server operation.
    std::vector<std::string> asked(const std::string& op) const
    {
        std::vector<std::string> out;
        for (const std::string& q : server.queries())
            if (q.find("op=" + op + "&") != std::string::npos) out.push_back(q);
        return out;
    }

    sim::UpdateServer server;
};

TEST_F(SequenceTest, NoArgumentsPrintTheVersionAndTheShortUsage)
{
    const Outcome r = run({});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kVersionLine + "\n");
    EXPECT_TRUE(hasLine(r.err, kShortUsageLine)) << r.err;
    EXPECT_FALSE(hasLine(r.err, kFullUsageLine)) << r.err;
}

TEST_F(SequenceTest, InfoAlonePrintsOnlyTheVersionLine)
{
    const Outcome r = run({"-I"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kVersionLine + "\n");
    EXPECT_EQ(r.err, "");
    // The store was prepared for the commands, although none ran.
    EXPECT_TRUE(fs::is_directory(root + "/updater"));
}

TEST_F(SequenceTest, HelpPrintsTheFullUsageWhateverCommandIsGiven)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-h"}, {"--help", "-D"}, {"-H", "-B"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_EQ(r.out, kVersionLine + "\n") << args[0];
        EXPECT_TRUE(hasLine(r.err, kFullUsageLine)) << r.err;
        EXPECT_FALSE(fs::exists(root + "/updater")) << "help made the store";
    }
}

TEST_F(SequenceTest, ExtendedOptionWithoutHelpPrintsTheShortUsage)
{
    const Outcome r = run({"-X", "0"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(hasLine(r.err, kShortUsageLine)) << r.err;
    EXPECT_FALSE(hasLine(r.err, kFullUsageLine)) << r.err;
}

TEST_F(SequenceTest, ParameterErrorsEndWithTheShortUsageAndCodeOne)
{
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases{
        {{"-D", "-d", "XYZ"}, "Invalid serial number obtained from argument [XYZ]"},
        {{"-D", "-r", "0"}, "Invalid router serial number obtained from argument [0]"},
        {{"-D", "-t", "SERIAL"}, "Invalid transport type:[SERIAL]"},
        {{"-B", "-d", "1", "--http", "--https"},
         "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, 1) << c.error;
        EXPECT_EQ(r.out, kVersionLine + "\n") << c.error;
        EXPECT_TRUE(hasLine(r.err, c.error)) << r.err;
        EXPECT_TRUE(hasLine(r.err, kShortUsageLine)) << r.err;
        EXPECT_FALSE(hasLine(r.err, kFullUsageLine)) << r.err;
    }
}

TEST_F(SequenceTest, StorageDirectoryIsUpdaterInsideTheGivenOne)
{
    const std::string given = root + "/fw/data";
    const Outcome r = run({"-i", given, "-I"});
    EXPECT_EQ(r.code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat((given + "/updater").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(fs::exists(root + "/updater"));
}

TEST_F(SequenceTest, StorageDirectoryThatCannotBeMadeEndsWithCodeOne)
{
    const std::string file = root + "/plain";
    sim::writeBytes(file, {'x'});
    const Outcome r = run({"-i", file, "-L", "-d", "40F5849A"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(hasLine(r.err, "Could not find updater directory at " + file + "/updater")) << r.err;
    EXPECT_EQ(r.out, kVersionLine + "\n") << "a command ran after the failure";
}

// Run as a user with no home directory, without -i: the program says why it
// stops before any command.
TEST_F(SequenceTest, NoHomeDirectoryEndsWithCodeOneAndTheReason)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as a user without an account";
    uid_t homeless = 54321;
    while (getpwuid(homeless) != nullptr) ++homeless;
    const std::string id = std::to_string(homeless);
    // The program's user reads the scratch files (the sanitizers' among them)
    // and runs a copy of the program there: the build folder may lie where
    // only its owner can reach it.
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    const std::string program = root + "/updater-copy";
    fs::copy_file(TESS_UPDATER_PATH, program);
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    const Outcome r = clitest::runUpdater(
        {"-I"}, root,
        {{"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "/usr/bin/env", "-u", "HOME"}, 60,
         program});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_EQ(r.out, kVersionLine + "\n");
    EXPECT_TRUE(hasLine(r.err, "Could not find the home directory for the Zentrova directory (aErrNotFound); give "
                               "one with -i"))
        << r.err;
}

TEST_F(SequenceTest, MissingRequiredValuesEndWithCodeOne)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> errors;
        bool usage;
    };
    const std::vector<Case> cases{
        {{"-N", "-L", "-d", "40F5849A"}, {"Must specify the serial port used for connecting"}, false},
        {{"-G", "-L"}, {"-G must specify a specific device via -d", "--help for usage information"},
         false},
        {{"-G"}, {"-G must specify a specific device via -d", "--help for usage information"}, false},
        {{"-U"}, {"Must specify the specific device to be updated"}, false},
        {{"-U", "-t", "USB", "-b", "12"}, {"Must specify the specific device to be updated"}, false},
        {{"-B"}, {"Error must supply a serial number for the List Builds command"}, true},
        {{"-L"}, {"Error must supply a serial number for the List Local Builds command"}, true},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, 1) << c.errors[0];
        EXPECT_EQ(r.out, kVersionLine + "\n") << "a command ran: " << r.out;
        for (const std::string& e : c.errors)
            EXPECT_TRUE(hasLine(r.err, e)) << r.err;
        EXPECT_EQ(hasLine(r.err, kShortUsageLine), c.usage) << r.err;
    }
}

TEST_F(ServerSequenceTest, DownloadStoresTheLatestBuild)
{
    const Outcome r = runWithServer({"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "Retrieving firmware for device with serial number 40F5849A")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "No build specified")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Using Latest build")) << r.out;
    EXPECT_TRUE(fs::exists(deviceFolder("40F5849A") + "/1234.bird"));
}

TEST_F(ServerSequenceTest, DownloadOfAGivenBuild)
{
    const Outcome r = runWithServer({"-G", "-d", "40F5849A", "-b", "1200"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "Retrieving firmware build 1200")) << r.out;
    EXPECT_TRUE(fs::exists(deviceFolder("40F5849A") + "/1200.bird"));
    EXPECT_FALSE(fs::exists(deviceFolder("40F5849A") + "/1234.bird"));
}

TEST_F(ServerSequenceTest, FailedDownloadAloneEndsWithCodeOne)
{
    const Outcome r = runWithServer({"-G", "-d", "40F5849A", "-b", "999"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_FALSE(fs::exists(deviceFolder("40F5849A") + "/999.bird"));
}

// A reply that brings no good firmware file fails the download and leaves the
// stored builds and their record as they were: a stored build is not
// replaced, and no other build becomes the latest download.
TEST_F(ServerSequenceTest, DownloadThatBringsNoGoodFileKeepsTheStore)
{
    ASSERT_EQ(runWithServer({"-G", "-d", "40F5849A", "-b", "1234"}).code, 0);
    const std::string folder = deviceFolder("40F5849A");
    const std::string stored = clitest::readFile(folder + "/1234.bird");
    const std::string settings = clitest::readFile(folder + "/.settings");
    ASSERT_NE(settings.find("LATEST_DOWNLOAD"), std::string::npos) << settings;
    struct Case {
        const char* name;
        const char* faults;
        std::vector<const char*> builds;
    } cases[] = {
        {"three bytes", R"({"bird": {"lines": ["QUFB"]}})", {"1234", "1200"}},
        {"file cut short", R"({"bird": {"truncate": 4}})", {"1234", "1200"}},
        {"header alone", R"({"bird": {"lines": ["YmlyZAEB"]}})", {"1234", "1200"}},
        // Half the reply, then the connection closed.
        {"server stops part-way", R"({"bird": {"cut": true}})", {"1234", "1200"}},
    };
    for (const Case& c : cases) {
        server.setFaults(c.faults);
        for (const char* build : c.builds) {
            const Outcome r = runWithServer({"-G", "-d", "40F5849A", "-b", build});
            EXPECT_EQ(r.code, 1) << c.name << " " << build << "\n" << r.out << r.err;
            EXPECT_TRUE(hasLine(r.err, "Failed to retrieve a valid BIRD file")) << c.name << "\n" << r.err;
            EXPECT_EQ(clitest::readFile(folder + "/1234.bird"), stored) << c.name << " " << build;
            EXPECT_EQ(clitest::readFile(folder + "/.settings"), settings) << c.name << " " << build;
            std::vector<std::string> names;
            for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
            EXPECT_EQ(names.size(), 2u) << c.name << " " << build << ": " << ::testing::PrintToString(names);
        }
    }
    server.setFaults("");
    const Outcome updated = runWithServer({"-G", "-d", "40F5849A", "-b", "1200"});
    EXPECT_EQ(updated.code, 0) << updated.err;
    EXPECT_TRUE(fs::exists(folder + "/1200.bird"));
}

// A server that takes the connection and never answers: the run gives up on
// it after the program's own wait of a minute without a byte, says which
// server did not answer what, and ends with code 1. The runs go side by side.
TEST_F(SequenceTest, UpdateServerThatNeverAnswersIsGivenUp)
{
    const sim::QuietListener listener;
    const std::string url = listener.url();
    struct Case {
        std::vector<std::string> args;
        std::string asked;
        std::string error;
        std::string scratch;
        Outcome outcome;
    } cases[] = {
        // The update asks for the latest build before it looks at the store.
        {{"-U", "-d", "40F5849A"}, "QueryBuild [?op=qu&sn=40F5849A&]", "Could not find valid build for this device."},
        {{"-G", "-d", "40F5849A"}, "ping [?op=hi&rv=2&]", "Server request failed for " + url},
    };
    std::vector<std::thread> runs;
    for (Case& c : cases) {
        c.scratch = root + "/" + c.args[0];
        ASSERT_TRUE(fs::create_directory(c.scratch));
        std::vector<std::string> words{"-i", root};
        words.insert(words.end(), c.args.begin(), c.args.end());
        words.insert(words.end(), {"-u", url});
        runs.emplace_back([&c, words] { c.outcome = clitest::runUpdater(words, c.scratch, {{}, 150}); });
    }
    for (std::thread& run : runs) run.join();
    for (const Case& c : cases) {
        const Outcome& r = c.outcome;
        EXPECT_EQ(r.code, 1) << c.args[0] << "\n" << r.out << r.err;
        EXPECT_TRUE(hasLine(r.err, "Update server " + url + " did not answer in time: " + c.asked +
                                       " (Timeout was reached)"))
            << r.err;
        EXPECT_TRUE(hasLine(r.err, c.error)) << r.err;
    }
}

// A server that takes seconds to compose a reply, and sends it in pieces with
// long pauses between them, is waited for: no byte for 8 s, before the reply
// and within it, is well short of the program's wait for a silent server.
TEST_F(ServerSequenceTest, SlowServerIsWaitedFor)
{
    server.setFaults(R"({"bird": {"delay": 8, "chunks": 2}})");
    const Outcome r = runWithServer({"-G", "-d", "40F5849A", "-b", "1234"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(hasLine(r.out, "Build 1234 is valid")) << r.out;
    EXPECT_TRUE(fs::exists(deviceFolder("40F5849A") + "/1234.bird"));
}

TEST_F(ServerSequenceTest, ServerBuildsAreListed)
{
    const Outcome r = runWithServer({"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "Build List for device [40F5849A]:")) << r.out;
    EXPECT_NE(r.out.find("1234"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2.15.1"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(deviceFolder("40F5849A") + "/1234.bird")) << "listing downloaded";
}

// Entries whose build numbers the program cannot take hide nothing else.
TEST_F(ServerSequenceTest, OddBuildListEntriesHideNoOtherBuild)
{
    server.setFaults(R"({"builds": {"lines": ["99999999999;9.9.9", "-5;9.9.8", "1200;2.15.1", "1234;2.15.3"]}})");
    const Outcome listed = runWithServer({"-B", "-d", "40F5849A"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("2.15.3"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("2.15.1"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("9.9."), std::string::npos) << listed.out;

    const Outcome fetched = runWithServer({"-G", "-d", "40F5849A", "-b", "1234"});
    EXPECT_EQ(fetched.code, 0) << fetched.err;
    EXPECT_TRUE(hasLine(fetched.out, "Build 1234 is valid")) << fetched.out;
    EXPECT_TRUE(fs::exists(deviceFolder("40F5849A") + "/1234.bird"));
}

TEST_F(ServerSequenceTest, EmptyListsEndWithCodeZero)
{
    for (const char* command : {"-B", "-L"}) {
        const Outcome r = runWithServer({command, "-d", "12345678"});
        EXPECT_EQ(r.code, 0) << command << r.err;
        EXPECT_TRUE(hasLine(r.out, "No builds found for device [12345678]")) << r.out;
    }
}

TEST_F(ServerSequenceTest, DownloadRunsBeforeTheLocalList)
{
    const Outcome r = runWithServer({"-L", "-G", "-d", "40F5849A"});
    EXPECT_EQ(r.code, 0) << r.err;
    const size_t retrieving = r.out.find("Retrieving firmware for device");
    const size_t list = r.out.find("Build List for device [40F5849A]:");
    ASSERT_NE(retrieving, std::string::npos) << r.out;
    ASSERT_NE(list, std::string::npos) << r.out;
    EXPECT_LT(retrieving, list);
    EXPECT_NE(r.out.find("2.15.3", list), std::string::npos) << "the stored build is not listed: " << r.out;
}

TEST_F(ServerSequenceTest, MainCommandDecidesTheCodeAfterAFailedDownload)
{
    const Outcome r = runWithServer({"-G", "-B", "-d", "40F5849A", "-b", "999"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "Build List for device [40F5849A]:")) << r.out;
}

TEST_F(ServerSequenceTest, OnlyTheFirstMainCommandRuns)
{
    // Listing server builds goes before listing local ones; the local list
    // would print the same heading a second time.
    const Outcome r = runWithServer({"-L", "-B", "-d", "40F5849A"});
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string heading = "Build List for device [40F5849A]:";
    const size_t first = r.out.find(heading);
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(heading, first + 1), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("No builds found"), std::string::npos) << "the local list ran: " << r.out;
}

TEST_F(ServerSequenceTest, FailedFingerprintCountsOnlyWithoutACommandAfterIt)
{
    const std::string port = root + "/no-such-port";
    const Outcome alone = runWithServer({"-N", "-s", port});
    EXPECT_EQ(alone.code, 1) << alone.out;

    const Outcome listed = runWithServer({"-N", "-s", port, "-B", "-d", "40F5849A"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_TRUE(hasLine(listed.out, "Build List for device [40F5849A]:")) << listed.out;

    const Outcome downloaded = runWithServer({"-N", "-s", port, "-G", "-d", "40F5849A"});
    EXPECT_EQ(downloaded.code, 0) << downloaded.err;
    EXPECT_TRUE(fs::exists(deviceFolder("40F5849A") + "/1234.bird"));
}

TEST_F(ServerSequenceTest, UpdateWithoutAStoredBuildFails)
{
    const Outcome r = runWithServer({"-U", "-d", "40F5849A"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(hasLine(r.err, "Could not find valid build for this device.")) << r.err;
    EXPECT_FALSE(fs::exists(deviceFolder("40F5849A") + "/1234.bird")) << "an update downloaded";
}

TEST_F(ServerSequenceTest, RecoveryNeedsNoSerialNumberAndEndsWithOneWhenItFails)
{
    const Outcome r = runWithServer({"-U", "-t", "RECOVER", "-s", root + "/no-such-port"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_FALSE(hasLine(r.err, "Must specify the specific device to be updated")) << r.err;
    EXPECT_TRUE(hasLine(r.err, "Could not get Device Identifier")) << r.err;
}

// An LPC17xx recovered from the command line, with the firmware file named
// and with the build that the update server names for the chip's
// fingerprint: the flash holds the image byte for byte and the chip runs it.
TEST_F(ServerSequenceTest, RecoveryOfAnLpcChipWritesItsFlash)
{
    const uint32_t fingerprint[4] = {0x1A2B3C4D, 0xCAFEF00D, 7, 0x00D0BEEF};
    server.addRecovery(fingerprint, kSerial, 1234);
    const std::vector<uint8_t> fromFile = sim::randomBytes(6000, 31);
    const std::string path = root + "/fw.bird";
    sim::BirdWriter().firmware(0, fromFile).firmware(0x8000, {1, 2, 3, 4}).write(path);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<uint8_t> image;
    } cases[] = {
        {"named file", {"-f", path}, fromFile},
        {"server's build", {}, sim::randomBytes(4096)},
    };
    for (const Case& c : cases) {
        sim::CheckedLpcIspRom rom;
        sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
        std::vector<std::string> args{"-U", "-t", "RECOVER", "-s", carrier.path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = runWithServer(args);
        EXPECT_EQ(r.code, 0) << c.name << r.err;
        EXPECT_TRUE(hasLine(r.out, "Rebooting Device")) << c.name << r.out;
        const std::vector<uint8_t> flash = rom.flash();
        EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + long(c.image.size())), c.image) << c.name;
        EXPECT_TRUE(rom.counters().started) << c.name;
    }
}

// The latest build is stored first, so that the engine's own choice would be it.
TEST_F(ServerSequenceTest, UpdateAfterADownloadTakesTheDownloadedBuild)
{
    ASSERT_EQ(runWithServer({"-G", "-d", "40F5849A"}).code, 0);
    const Outcome r = runWithServer({"-G", "-U", "-d", "40F5849A", "-b", "1200"});
    EXPECT_EQ(r.code, 1) << "there is no device to update: " << r.out;
    const size_t stored = r.out.find("Build 1200 is valid");
    const size_t updating = r.out.find("Updating firmware with build: 1200");
    ASSERT_NE(stored, std::string::npos) << r.out;
    ASSERT_NE(updating, std::string::npos) << r.out;
    EXPECT_LT(stored, updating);
    EXPECT_TRUE(hasLine(r.err, "Failed to connect to module [40F5849A]")) << r.err;
}

// Each run meets a boot ROM fresh from reset.
TEST_F(ServerSequenceTest, FingerprintIsPrintedAndAFailedDownloadAfterItCounts)
{
    const std::string printed = "[ 1A2B3C4D CAFEF00D 00000007 00D0BEEF ]";
    {
        // The second run finds the chip synchronised by the first.
        sim::CheckedLpcIspRom rom;
        sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
        for (int again = 0; again < 2; ++again) {
            const Outcome read = runWithServer({"-N", "-s", carrier.path()});
            EXPECT_EQ(read.code, 0) << again << read.err;
            EXPECT_TRUE(hasLine(read.out, printed)) << again << read.out;
        }
    }
    sim::CheckedLpcIspRom rom;
    sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
    const Outcome failed = runWithServer({"-N", "-s", carrier.path(), "-G", "-d", "40F5849A", "-b", "999"});
    EXPECT_EQ(failed.code, 1) << failed.out;
    EXPECT_TRUE(hasLine(failed.out, printed)) << failed.out;
}

// A run that stopped in the middle of a write to the chip's RAM, with echo
// off as a recovery writes, leaves the chip taking data lines: the next -N
// finds it all the same.
TEST_F(ServerSequenceTest, FingerprintOfAChipLeftWritingToRam)
{
    sim::CheckedLpcIspRom rom;
    sim::PtyCarrier carrier{rom, sim::PtyCarrier::Framing::Raw};
    rom.setSynchronised();
    {
        NXPSerialClass earlier;
        ASSERT_EQ(earlier.Connect(carrier.path().c_str(), 115200), aErrNone);
        ASSERT_EQ(earlier.SetEcho(false), aErrNone);
        earlier.Send("W 268439552 4096\r\n", false);
        char line[64];
        size_t length = 0;
        ASSERT_EQ(earlier.GetLine(line, 32, &length, 1000), aErrNone);
        ASSERT_STREQ(line, "0\r\n");
        const std::vector<uint8_t> data = sim::randomBytes(90, 5);
        for (size_t at = 0; at < data.size();) {
            at += NXPSerialClass::uuencode(line, data.data() + at, data.size() - at);
            earlier.Send(line, false);
            earlier.Send("\r\n", false);
        }
    }
    ASSERT_TRUE(rom.writingRam());
    const Outcome read = runWithServer({"-N", "-s", carrier.path()});
    EXPECT_EQ(read.code, 0) << read.err;
    EXPECT_TRUE(hasLine(read.out, "[ 1A2B3C4D CAFEF00D 00000007 00D0BEEF ]")) << read.out;
    EXPECT_FALSE(rom.writingRam());
}

} // namespace
