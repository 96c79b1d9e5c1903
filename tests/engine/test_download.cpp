// test-labels: integration netns threaded
// Downloading a build into the store: the checks before the server is asked,
// the file and settings a download leaves, the spinner turned while the
// worker fetches, and every failure of the fetch leaving nothing behind.
#include "engine/Updater.h"
#include "engine/KeyValueStore.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/private_network.h"
#include "tests/sim/update_server_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using enginetest::RecordingDisplay;

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

constexpr uint32_t kSerial = 0x40F5849A;
const std::string kFolder = "40F5849A";

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/download_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        storeDir = root + "/updater";
        bird = sim::BirdWriter().identity(1234, "2.15.3", kSerial, "Korvel").firmware(0, sim::randomBytes(4096)).file();
        server.addBuild(kSerial, 1200, sim::BirdWriter().identity(1200, "2.15.1", kSerial, "Korvel").file());
        server.addBuild(kSerial, 1234, bird);
    }
    void TearDown() override { fs::remove_all(root); }

    unsigned download(const std::string& build, bool override = false)
    {
        Updater updater(server.url().c_str(), storeDir.c_str(), display);
        return updater.Download_Firmware(kSerial, build, override, false);
    }
    std::string device(const std::string& file) const { return storeDir + "/" + kFolder + "/" + file; }
    static std::vector<uint8_t> bytes(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    // The query strings of one operation.
    std::vector<std::string> asked(const std::string& op) const
    {
        std::vector<std::string> out;
        for (const std::string& q : server.queries())
            if (q.find("op=" + op + "&") != std::string::npos) out.push_back(q);
        return out;
    }

    sim::UpdateServer server;
    RecordingDisplay display;
    std::string root;
    std::string storeDir;
    std::vector<uint8_t> bird;
};

TEST_F(DownloadTest, LatestBuildIsStoredAndRecorded)
{
    EXPECT_EQ(download(""), 1234u);
    EXPECT_EQ(display.lines(), (std::vector<std::string>{"info Retrieving build 1234",
                                                         "info Validating build 1234 with server",
                                                         "info Build 1234 is valid"}));
    EXPECT_EQ(bytes(device("1234.bird")), bird);
    KeyValueStore settings(device(".settings").c_str());
    EXPECT_STREQ(settings["LATEST_DOWNLOAD"], "1234.bird");
    ASSERT_NE(settings["LAST_DOWNLOAD_DATE"], nullptr);
    EXPECT_EQ(std::string(settings["LAST_DOWNLOAD_DATE"]).size(), 24u);
    EXPECT_NE(settings["CREATED_TIME"], nullptr);
    EXPECT_NE(settings["UPDATED_TIME"], nullptr);
    EXPECT_EQ(asked("bird"), (std::vector<std::string>{"bld=1234&fw=A&no_cal=false&op=bird&sn=40F5849A&"}));
    ASSERT_FALSE(display.calls.empty());
    EXPECT_EQ(display.calls.back(), "spinner off Downloading");
    EXPECT_EQ(display.count("spinner off Downloading"), 1u);
    EXPECT_GE(display.count("spinner on Downloading"), 1u);
}

// Read as the update reads it: blanks around the number do not matter.
TEST_F(DownloadTest, LatestBuildSentWithBlanksIsTheSameBuild)
{
    server.setFaults(R"({"qu": {"lines": [" 1234 ", "A"]}})");
    EXPECT_EQ(download(""), 1234u);
    EXPECT_EQ(bytes(device("1234.bird")), bird);
}

TEST_F(DownloadTest, GivenBuildIsRequestedInDecimalWithTheCalibrationFlag)
{
    ASSERT_EQ(download("1234"), 1234u);
    EXPECT_EQ(download("01200"), 1200u);
    EXPECT_EQ(asked("bird").back(), "bld=1200&fw=A&no_cal=false&op=bird&sn=40F5849A&");
    KeyValueStore settings(device(".settings").c_str());
    EXPECT_STREQ(settings["LATEST_DOWNLOAD"], "1200.bird");
    EXPECT_TRUE(fs::exists(device("1234.bird")));

    Updater updater(server.url().c_str(), storeDir.c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(kSerial, "1234", false, true), 1234u);
    EXPECT_EQ(asked("bird").back(), "bld=1234&fw=A&no_cal=true&op=bird&sn=40F5849A&");
}

// Each refusal comes before the server is asked anything.
TEST_F(DownloadTest, BadArgumentsAreRefusedWithoutServerContact)
{
    struct Case {
        std::string build;
        uint32_t serial;
        std::string message;
    } cases[] = {
        {"abc", kSerial, "error Build number 'abc' must be an number"},
        {"-5", kSerial, "error Build number '-5' must be an number"},
        // A number past 32 bits would otherwise wrap to another build.
        {"4294968530", kSerial, "error Build number '4294968530' must be an number"},
        {"99999999999999999999999", kSerial, "error Build number '99999999999999999999999' must be an number"},
        {"1234", 0, "error Serial Number must be non-zero"},
    };
    for (const Case& c : cases) {
        display.calls.clear();
        Updater updater(server.url().c_str(), storeDir.c_str(), display);
        EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u) << c.build;
        EXPECT_EQ(display.calls, std::vector<std::string>{c.message});
    }
    EXPECT_TRUE(server.queries().empty());
    EXPECT_FALSE(fs::exists(storeDir));
}

TEST_F(DownloadTest, ServerRefusalsBeforeTheFetch)
{
    struct Case {
        const char* faults;
        std::string build;
        std::vector<std::string> lines;
    } cases[] = {
        {R"({"hi": {"status": 500}})", "", {"error Server request failed for " + server.url()}},
        {R"({"qu": {"first": "error"}})", "", {"error No build information for device"}},
        // Build 0 names no firmware: a result of 0 would read as a failure.
        {R"({"qu": {"lines": ["abc", "A"]}})", "", {"error No build information for device"}},
        {R"({"qu": {"lines": ["0", "A"]}})", "", {"error No build information for device"}},
        {"", "77", {"info Retrieving build 77", "info Validating build 77 with server", "error No valid build 77"}},
        {R"({"builds": {"status": 404}})", "1234",
         {"info Retrieving build 1234", "info Validating build 1234 with server", "error No valid build 1234"}},
    };
    for (const Case& c : cases) {
        server.setFaults(c.faults);
        display.calls.clear();
        EXPECT_EQ(download(c.build), 0u) << c.faults;
        EXPECT_EQ(display.calls, c.lines) << c.faults;
    }
    EXPECT_TRUE(asked("bird").empty());
}

TEST_F(DownloadTest, OverrideRequestsAnUnlistedBuild)
{
    EXPECT_EQ(download("77", true), 0u);
    EXPECT_EQ(display.lines(), (std::vector<std::string>{"info Retrieving build 77",
                                                         "info Override specified, skipping validation of build 77",
                                                         "error Download failed",
                                                         "error Failed to retrieve a valid BIRD file"}));
    EXPECT_TRUE(asked("builds").empty());
    EXPECT_EQ(asked("bird"), (std::vector<std::string>{"bld=77&fw=A&no_cal=false&op=bird&sn=40F5849A&"}));
    server.addBuild(kSerial, 77, bird);
    EXPECT_EQ(download("77", true), 77u);
}

TEST_F(DownloadTest, FirmwareReplyThatIsNoFileStoresNothing)
{
    struct Case {
        const char* faults;
        bool failedRequest;
    } cases[] = {
        {R"({"bird": {"lines": [""]}})", false},
        {R"({"bird": {"lines": []}})", false},
        {R"({"bird": {"truncate": 1}})", false},
        {R"({"bird": {"corrupt": true}})", false},
        {R"({"bird": {"status": 500}})", true},
        {R"({"bird": {"cut": true}})", true},
    };
    for (const Case& c : cases) {
        server.setFaults(c.faults);
        display.calls.clear();
        EXPECT_EQ(download("1234"), 0u) << c.faults;
        std::vector<std::string> expected{"info Retrieving build 1234", "info Validating build 1234 with server",
                                          "info Build 1234 is valid"};
        if (c.failedRequest) expected.push_back("error Download failed");
        expected.push_back("error Failed to retrieve a valid BIRD file");
        EXPECT_EQ(display.lines(), expected) << c.faults;
        EXPECT_EQ(display.count("spinner off Downloading"), 1u) << c.faults;
    }
    EXPECT_FALSE(fs::exists(device("1234.bird")));
    EXPECT_EQ(KeyValueStore(device(".settings").c_str())["LATEST_DOWNLOAD"], nullptr);
}

TEST_F(DownloadTest, SlowServerTurnsTheSpinnerEveryTenthOfASecond)
{
    server.setFaults(R"({"bird": {"delay": 1}})");
    EXPECT_EQ(download("1234"), 1234u);
    const size_t turns = display.count("spinner on Downloading");
    EXPECT_GE(turns, 8u);
    EXPECT_LE(turns, 13u);
    EXPECT_EQ(display.count("spinner off Downloading"), 1u);
    EXPECT_EQ(display.calls.back(), "spinner off Downloading");
}

TEST_F(DownloadTest, StoreThatCannotBeMadeOrWrittenFails)
{
    std::ofstream(root + "/file") << "x";
    Updater blocked(server.url().c_str(), (root + "/file").c_str(), display);
    EXPECT_EQ(blocked.Download_Firmware(kSerial, "1234", false, false), 0u);
    ASSERT_EQ(display.calls.size(), 1u);
    EXPECT_EQ(display.calls[0].rfind("error Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0), 0u)
        << display.calls[0];

    // The device's entry is a file: its firmware file cannot be written.
    fs::create_directories(storeDir);
    std::ofstream(storeDir + "/" + kFolder) << "x";
    display.calls.clear();
    EXPECT_EQ(download("1234"), 0u);
    ASSERT_FALSE(display.lines().empty());
    EXPECT_EQ(display.lines().back().rfind("error Failed to write file with ", 0), 0u) << display.lines().back();
}

// The file is stored, but a later update without a build would not find it
// as the latest download: that is told.
TEST_F(DownloadTest, RecordThatCannotBeSavedIsReported)
{
    fs::create_directories(device(".settings"));
    EXPECT_EQ(download("1234"), 1234u);
    EXPECT_EQ(bytes(device("1234.bird")), bird);
    ASSERT_FALSE(display.lines().empty());
    EXPECT_EQ(display.lines().back(),
              "error Build 1234 was stored, but could not be recorded in " + device(".settings"));
}

} // namespace
