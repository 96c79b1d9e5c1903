// The local store on disk: the root and device folders it makes, finding a
// device's folder by its name, listing its builds, and writing and reading
// firmware files in it.
#include "engine/Log.h"
#include "engine/UpdaterStore.h"
#include "tests/engine/file_size_limit.h"
#include "tests/sim/bird_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class UpdaterStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater_store_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::string read(const std::string& path)
    {
        std::ostringstream all;
        all << std::ifstream(path, std::ios::binary).rdbuf();
        return all.str();
    }
    static void touch(const std::string& path, const std::string& content = "x")
    {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string failure(const std::string& root)
    {
        try {
            UpdaterStore store(root.c_str());
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(no exception)";
    }

    std::string dir;
};

TEST(BuildPathTest, JoinsComponentsAsGiven)
{
    EXPECT_EQ(BuildPath("a", "b", ".settings", nullptr), "a/b/.settings");
    EXPECT_EQ(BuildPath("/root/", "0000ABCD", nullptr), "/root//0000ABCD");
    EXPECT_EQ(BuildPath("a", nullptr), "a");
    EXPECT_EQ(BuildPath("", "b", nullptr), "/b");
}

TEST_F(UpdaterStoreTest, RootAndDeviceFoldersAreMadeOnDemand)
{
    const std::string root = dir + "/home/.zentrova/updater";
    UpdaterStore store(root.c_str());
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(fs::status(root).permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_EQ(store.BasePath(), root);

    const UpdaterStoreItem device = store.AddDevice(0x12ABu);
    EXPECT_EQ(device.dir, root);
    EXPECT_EQ(device.name, "000012AB");
    EXPECT_EQ(device.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(device.IsValid());
    EXPECT_TRUE(fs::is_directory(root + "/000012AB"));
    EXPECT_EQ(fs::status(root + "/000012AB").permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_EQ(device.attributes.path, root + "/000012AB/.settings");
    const std::string settings = read(root + "/000012AB/.settings");
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u) << settings;
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;

    // A second store and a second add find everything in place.
    UpdaterStore again(root.c_str());
    EXPECT_EQ(again.AddDevice("000012AB").attributes.GetString("CREATED_TIME"),
              device.attributes.GetString("CREATED_TIME"));
    EXPECT_FALSE(UpdaterStoreItem().IsValid());
    EXPECT_EQ(UpdaterStoreItem().type, STORE_ITEM_NONE);
}

TEST_F(UpdaterStoreTest, RootOrDeviceThatIsAFileIsRefused)
{
    touch(dir + "/plain");
    EXPECT_EQ(failure(dir + "/plain"), "UpdaterStore: " + dir + "/plain exists and is a file");
    EXPECT_EQ(failure(dir + "/plain/updater"), "UpdaterStore: Could not create directory " + dir +
                                                   "/plain/updater error " + std::to_string(aErrPermission));
    EXPECT_EQ(failure(""), "UpdaterStore: Could not create directory  error " + std::to_string(aErrPermission));

    UpdaterStore store(dir.c_str());
    touch(dir + "/0000ABCD");
    EXPECT_THROW(store.AddDevice(0xABCDu), std::runtime_error);
}

TEST_F(UpdaterStoreTest, FindDeviceComparesNamesNotPaths)
{
    // The root's own path holds the serial number that is looked for.
    const std::string root = dir + "/0000ABCD-backup";
    UpdaterStore store(root.c_str());
    store.AddDevice(0x11111111u);
    touch(root + "/0000ABCD.bird");
    touch(root + "/X0000ABCD");

    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0xABCDu, &item));
    EXPECT_FALSE(item.IsValid());
    EXPECT_FALSE(store.FindDevice("0000abcd"));

    UpdaterStoreItem added = store.AddDevice(0xABCDu);
    added.attributes.Add("LATEST_DOWNLOAD", "1234.bird");
    added.attributes.Save();
    ASSERT_TRUE(store.FindDevice(0xABCDu, &item));
    EXPECT_EQ(item.dir, root);
    EXPECT_EQ(item.name, "0000ABCD");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.attributes.GetString("LATEST_DOWNLOAD"), "1234.bird");
    EXPECT_TRUE(store.FindDevice("11111111"));

    // A root that went away finds nothing.
    fs::remove_all(root);
    EXPECT_FALSE(store.FindDevice(0xABCDu));
}

TEST_F(UpdaterStoreTest, FindingADeviceCreatesItsMissingSettings)
{
    UpdaterStore store(dir.c_str());
    fs::create_directory(dir + "/2181F0EE");
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x2181F0EEu, &item));
    EXPECT_TRUE(fs::exists(dir + "/2181F0EE/.settings"));
    EXPECT_TRUE(store.FindDevice(0x2181F0EEu));
}

TEST_F(UpdaterStoreTest, LocalBuildsAreEveryEntryNotBeginningWithADot)
{
    UpdaterStore store(dir.c_str());
    const std::string folder = dir + "/40F5849A";
    store.AddDevice(0x40F5849Au);
    touch(folder + "/1234.bird");
    touch(folder + "/notes.txt");
    touch(folder + "/.hidden");
    fs::create_directory(folder + "/old");

    std::vector<UpdaterStoreItem> items(1);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849Au, items));
    ASSERT_EQ(items.size(), 4u);
    EXPECT_FALSE(items[0].IsValid()); // what the list held stays
    std::set<std::string> names;
    for (size_t i = 1; i < items.size(); ++i) {
        names.insert(items[i].name);
        EXPECT_EQ(items[i].dir, folder);
        EXPECT_EQ(items[i].type, items[i].name == "old" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE) << items[i].name;
    }
    EXPECT_EQ(names, (std::set<std::string>{"1234.bird", "notes.txt", "old"}));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x12345678u, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, WriteFileWritesExactlyTheBytes)
{
    UpdaterStore store(dir.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const sim::Bytes bytes = sim::randomBytes(5000);
    EXPECT_EQ(device.WriteFile("1234.bird", bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(device.WriteFile("1234.bird", bytes.data(), 10), aErrNone);
    EXPECT_EQ(read(dir + "/40F5849A/1234.bird"), std::string(bytes.begin(), bytes.begin() + 10));

    EXPECT_EQ(device.WriteFile("5.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(fs::exists(dir + "/40F5849A/5.bird"));
    UpdaterStoreItem gone(dir.c_str(), "missing", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("5.bird", bytes.data(), 10), aErrNotFound);

    // Bytes that cannot be written out are a failure, not a stored file.
    UpdaterStoreItem full;
    full.dir = "/dev";
    full.name = ".";
    EXPECT_EQ(full.WriteFile("full", bytes.data(), bytes.size()), aErrIO);
}

TEST_F(UpdaterStoreTest, AWriteThatCannotFinishLeavesTheOldFile)
{
    UpdaterStore store(dir.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const sim::Bytes old = sim::randomBytes(100, 1), fresh = sim::randomBytes(50000, 2);
    ASSERT_EQ(device.WriteFile("1234.bird", old.data(), old.size()), aErrNone);
    {
        FileSizeLimit diskFull(4096);
        EXPECT_EQ(device.WriteFile("1234.bird", fresh.data(), fresh.size()), aErrIO);
        EXPECT_EQ(device.WriteFile("1300.bird", fresh.data(), fresh.size()), aErrIO);
    }
    EXPECT_EQ(read(dir + "/40F5849A/1234.bird"), std::string(old.begin(), old.end()));
    EXPECT_FALSE(fs::exists(dir + "/40F5849A/1300.bird"));
    std::vector<UpdaterStoreItem> builds;
    ASSERT_TRUE(store.FindLocalBuilds(0x40F5849Au, builds));
    ASSERT_EQ(builds.size(), 1u);
    EXPECT_EQ(builds[0].name, "1234.bird");
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksTheFileFirst)
{
    UpdaterStore store(dir.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const std::string folder = dir + "/40F5849A";
    sim::sampleBird(0x40F5849A, 1234, "Korvel", "2.10.4").write(folder + "/1234.bird");
    const BirdFile bird = device.ReadBirdFile("1234.bird");
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "2.10.4");

    auto failure = [&](const char* file) -> std::string {
        try {
            device.ReadBirdFile(file);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(no exception)";
    };
    sim::writeBytes(folder + "/bad.bird", sim::damagedBird(sim::sampleBird(1, 1, "M"), sim::BirdDefect::BadSignature));
    sim::writeBytes(folder + "/cut.bird", sim::damagedBird(sim::sampleBird(1, 1, "M"), sim::BirdDefect::TruncatedBody));
    EXPECT_EQ(failure("bad.bird"), "Invalid bird " + folder + "/bad.bird");
    EXPECT_EQ(failure("none.bird"), "Invalid bird " + folder + "/none.bird");
    EXPECT_EQ(failure("cut.bird"), "Failed to load bird data");
}

TEST_F(UpdaterStoreTest, FileExistsComparesNames)
{
    UpdaterStore store(dir.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    touch(dir + "/40F5849A/1234.bird");
    EXPECT_TRUE(device.FileExists("1234.bird"));
    EXPECT_TRUE(device.FileExists(".settings"));
    EXPECT_FALSE(device.FileExists("234.bird"));
    EXPECT_FALSE(device.FileExists("1234"));
}

} // namespace
