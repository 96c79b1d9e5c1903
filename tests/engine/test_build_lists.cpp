// test-labels: integration netns
// The builds the update server lists for a device, the check of one build
// against that list, and the builds a device's store folder holds.
#include "engine/Updater.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/private_network.h"
#include "tests/sim/update_server_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using enginetest::RecordingDisplay;

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

constexpr uint32_t kSerial = 0x40F5849A;

class BuildListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/build_list_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }
    static sim::Bytes bird(unsigned build, const std::string& version)
    {
        return sim::BirdWriter().identity(build, version, kSerial, "Korvel").firmware(0, sim::randomBytes(512)).file();
    }

    RecordingDisplay display;
    std::string root;
};

using ServerBuilds = BuildListTest;

TEST_F(ServerBuilds, ListedWithTheirVersionsOrAnEmptyListAfterAMessage)
{
    sim::UpdateServer server;
    server.addBuild(kSerial, 1234, bird(1234, "2.10.4"));
    server.addBuild(kSerial, 987, bird(987, "2.9.0"));
    Updater updater(server.url().c_str(), root.c_str(), display);
    EXPECT_EQ(updater.Get_BuildList(kSerial), (BuildList{{"1234", "2.10.4"}, {"987", "2.9.0"}}));
    EXPECT_TRUE(display.calls.empty());

    EXPECT_TRUE(updater.Get_BuildList(0x12345678).empty());
    EXPECT_EQ(display.calls, std::vector<std::string>{"error Failed to retrieve builds for 12345678"});

    server.setFaults(R"({"hi": {"status": 503}})");
    display.calls.clear();
    EXPECT_TRUE(updater.Get_BuildList(kSerial).empty());
    EXPECT_EQ(display.calls, std::vector<std::string>{"error Server request failed for " + server.url()});
    EXPECT_EQ(server.queries().back(), "op=hi&rv=2&");
}

TEST_F(ServerBuilds, ValidBuildIsOneTheServerLists)
{
    sim::UpdateServer server;
    server.addBuild(kSerial, 1234, bird(1234, "2.10.4"));
    server.setFaults(R"({"builds": {"lines": ["1234;2.10.4", "0077;1.0.0", "x;1.0.0"]}})");
    const std::string url = server.url();
    struct Case {
        unsigned build;
        bool valid;
    } cases[] = {{1234, true}, {77, true}, {0, true} /* "x" counts as 0 */, {1235, false}, {123, false}};
    for (const Case& c : cases) EXPECT_EQ(_valid_build(kSerial, c.build, url.c_str()), c.valid) << c.build;
    server.setFaults(R"({"builds": {"status": 500}})");
    EXPECT_FALSE(_valid_build(kSerial, 1234, url.c_str()));
}

using LocalBuilds = BuildListTest;

TEST_F(LocalBuilds, EveryEntryOfTheFolderWithTheVersionOfFirmwareFiles)
{
    const std::string folder = root + "/40F5849A";
    fs::create_directories(folder + "/old");
    sim::writeBytes(folder + "/1234.bird", bird(1234, "2.10.4"));
    sim::writeBytes(folder + "/1200.bird.bak", bird(1200, "2.9.1"));
    std::ofstream(folder + "/notes.txt") << "not firmware";
    std::ofstream(folder + "/77.bird") << "not firmware either";
    // A header that promises a firmware file, and a body that is none.
    sim::Bytes spoilt = bird(1300, "2.11.0");
    spoilt.resize(12);
    sim::writeBytes(folder + "/1300.bird", spoilt);
    std::ofstream(folder + "/.hidden") << "x";

    Updater updater("http://127.0.0.1:1/cgi/u", root.c_str(), display);
    EXPECT_EQ(updater.Get_BuildListLocal(kSerial), (BuildList{{"1234", "2.10.4"},
                                                              {"1200", "2.9.1"},
                                                              {"1300", ""},
                                                              {"77", ""},
                                                              {"notes.txt", ""},
                                                              {"old", ""}}));
    EXPECT_TRUE(updater.Get_BuildListLocal(0x11111111).empty());
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(LocalBuilds, StoreThatCannotBeMadeGivesAnEmptyList)
{
    std::ofstream(root + "/file") << "x";
    Updater updater("http://127.0.0.1:1/cgi/u", (root + "/file").c_str(), display);
    EXPECT_TRUE(updater.Get_BuildListLocal(kSerial).empty());
    ASSERT_EQ(display.calls.size(), 1u);
    EXPECT_EQ(display.calls[0].rfind("error Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0), 0u);
}

} // namespace
