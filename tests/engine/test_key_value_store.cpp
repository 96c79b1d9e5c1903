// The settings files of the store: what a hand-edited or program-written file
// reads as, what a save writes, when the update stamp moves, and that nothing
// the program stored is lost on the next load and save.
#include "engine/KeyValueStore.h"
#include "tests/engine/file_size_limit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

typedef std::map<std::string, std::string> Values;

class KeyValueStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/key_value_store_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/.settings";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string& content) const { std::ofstream(file, std::ios::binary) << content; }
    std::string read() const
    {
        std::ostringstream all;
        all << std::ifstream(file, std::ios::binary).rdbuf();
        return all.str();
    }

    std::string dir;
    std::string file;
};

// "Www Mmm dd hh:mm:ss yyyy", the day of the month padded with a space.
bool isTimeStamp(const std::string& text)
{
    const std::string days = "SunMonTueWedThuFriSat";
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (text.size() != 24 || days.find(text.substr(0, 3)) % 3 != 0 || months.find(text.substr(4, 3)) % 3 != 0)
        return false;
    const std::string form = "___ ___ ?9 99:99:99 9999";
    for (size_t i = 0; i < form.size(); ++i) {
        const char c = text[i];
        const bool digit = c >= '0' && c <= '9';
        if ((form[i] == '9' && !digit) || (form[i] == '?' && !digit && c != ' ') || (form[i] == ' ' && c != ' ') ||
            (form[i] == ':' && c != ':'))
            return false;
    }
    return text[8] != '0';
}

TEST_F(KeyValueStoreTest, ReadsLinesAsWritten)
{
    const struct {
        const char* content;
        Values values;
    } cases[] = {
        {"  KEY =  value  \n", {{"KEY", "value"}}},
        {"# KEY=comment\n\nA\nKEY=first\nKEY=second\n", {{"KEY", "second"}}},
        {"=value\n", {{"", "value"}}},
        {"  = value\n", {{"", "value"}}},
        {"a=\n=\nb\n", {{"a", ""}}},
        {"no equals sign\nK=v\n", {{"K", "v"}}},
        {"K = a = b \r\n", {{"K", "a = b"}}},
        {"\tK\v=\f v\tw \t\n", {{"K", "v\tw"}}},
        {"  #K=v\n", {{"#K", "v"}}},
        {"LATEST_DOWNLOAD=1234.bird\nLAST=x", {{"LATEST_DOWNLOAD", "1234.bird"}, {"LAST", "x"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        write(c.content);
        KeyValueStore store(file.c_str());
        EXPECT_EQ(store.values, c.values);
        EXPECT_EQ(store.path, file);
        EXPECT_FALSE(store.dirty);
        EXPECT_EQ(read(), c.content);
    }
}

TEST_F(KeyValueStoreTest, LongLinesAreKeptWithEverythingAfterThem)
{
    const std::string longValue(3000, 'p');
    write("A=1\nLONG=" + longValue + "\nZ=2\n");
    KeyValueStore store(file.c_str());
    EXPECT_EQ(store.values, (Values{{"A", "1"}, {"LONG", longValue}, {"Z", "2"}}));

    // A firmware path of the longest length a file operation takes survives a save.
    const std::string path = "/" + std::string(4095, 'f');
    store.Add("LATEST_TRANSFER", path);
    store.Save();
    KeyValueStore again(file.c_str());
    EXPECT_EQ(again.GetString("LATEST_TRANSFER"), path);
    EXPECT_EQ(again.GetString("Z"), "2");
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithBothTimeStamps)
{
    KeyValueStore store;
    store.Add("EARLIER", "kept");
    store.Load(file.c_str());
    EXPECT_EQ(store.path, file);
    EXPECT_FALSE(store.dirty);
    ASSERT_EQ(store.values.size(), 3u);
    EXPECT_TRUE(isTimeStamp(store.GetString(KeyValueStore::KEY_CREATED_TIME)));
    EXPECT_TRUE(isTimeStamp(store.GetString(KeyValueStore::KEY_UPDATED_TIME)));
    EXPECT_EQ(read(), "CREATED_TIME=" + store.GetString("CREATED_TIME") + "\nEARLIER=kept\nUPDATED_TIME=" +
                          store.GetString("UPDATED_TIME") + "\n");
}

TEST_F(KeyValueStoreTest, LoadMergesIntoWhatTheStoreHolds)
{
    write("B=file\nC=file\n");
    KeyValueStore store;
    store.Add("A", "memory");
    store.Add("B", "memory");
    store.Load(file.c_str());
    EXPECT_EQ(store.values, (Values{{"A", "memory"}, {"B", "file"}, {"C", "file"}}));
    EXPECT_FALSE(store.dirty);
}

TEST_F(KeyValueStoreTest, SaveWritesSortedLinesAndStampsOnlyChanges)
{
    write("UPDATED_TIME=before\nb=2\n");
    KeyValueStore store(file.c_str());
    store.Add("b", "2");
    EXPECT_FALSE(store.dirty);
    store.Save();
    EXPECT_EQ(read(), "UPDATED_TIME=before\nb=2\n");

    store.Add("_", "x");
    store.Add("B", "y");
    EXPECT_TRUE(store.dirty);
    store.Save();
    EXPECT_FALSE(store.dirty);
    const std::string stamp = store.GetString("UPDATED_TIME");
    EXPECT_TRUE(isTimeStamp(stamp)) << stamp;
    EXPECT_EQ(read(), "B=y\nUPDATED_TIME=" + stamp + "\n_=x\nb=2\n");

    // Saving under another name moves the store to it.
    const std::string other = dir + "/other";
    store.Save(other.c_str());
    EXPECT_EQ(store.path, other);
    EXPECT_TRUE(std::filesystem::exists(other));
}

TEST_F(KeyValueStoreTest, GettersConvertLeadingNumbersOrGiveTheDefault)
{
    write("build=1234.bird\nneg= -12x\nword=abc\nempty=\nhex=0x1F\nbarehex=ff zz\nbighex=100000000\n"
          "big=99999999999\nzero=0\ntwo=2\nreal=2.5x\npath=/tmp/1.bird\n");
    KeyValueStore store(file.c_str());
    EXPECT_EQ(store.GetInt("build", -1), 1234);
    EXPECT_EQ(store.GetInt("neg", -1), -12);
    EXPECT_EQ(store.GetInt("word", -1), 0);
    EXPECT_EQ(store.GetInt("path", -1), 0);
    EXPECT_EQ(store.GetInt("empty", -1), -1);
    EXPECT_EQ(store.GetInt("big", -1), -1);
    EXPECT_EQ(store.GetHex("hex", 7), 0x1Fu);
    EXPECT_EQ(store.GetHex("barehex", 7), 0xFFu);
    EXPECT_EQ(store.GetHex("bighex", 7), 7u);
    EXPECT_EQ(store.GetHex("word", 7), 0xABCu);
    EXPECT_FALSE(store.GetBOOL("zero", true));
    EXPECT_TRUE(store.GetBOOL("two", false));
    EXPECT_TRUE(store.GetBOOL("big", false));
    EXPECT_TRUE(store.GetBOOL("empty", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("real", 0), 2.5);
    EXPECT_EQ(store.GetString("empty", "default"), "");
    EXPECT_STREQ(store["build"], "1234.bird");
    EXPECT_FALSE(store.dirty);
}

TEST_F(KeyValueStoreTest, AbsentKeysAreWrittenEmptyOnlyAfterANumberGetter)
{
    write("K=v\n");
    KeyValueStore store(file.c_str());
    EXPECT_EQ(store.GetString("S", "default"), "default");
    EXPECT_EQ(store.GetString("S"), "");
    EXPECT_EQ(store["S"], nullptr);
    EXPECT_EQ(store.GetInt("I", 42), 42);
    EXPECT_EQ(store.GetHex("H", 42), 42u);
    EXPECT_FALSE(store.GetBOOL("B", false));
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 1.5), 1.5);
    EXPECT_FALSE(store.dirty);
    store.Save();
    EXPECT_EQ(read(), "B=\nD=\nH=\nI=\nK=v\n");
}

TEST_F(KeyValueStoreTest, SettersFormatValuesAndMarkChanges)
{
    KeyValueStore store;
    store.Add("int", -5);
    store.Add("real", 2.5);
    store.AddHex("hex", 0xABCD);
    store.Add("text", "t");
    store.Add("string", std::string("s"));
    EXPECT_EQ(store.values, (Values{{"hex", "0x0000ABCD"}, {"int", "-5"}, {"real", "2.500000"}, {"string", "s"},
                                    {"text", "t"}}));
    EXPECT_TRUE(store.dirty);

    KeyValueStore copy;
    copy.Add(KeyValueStore());
    EXPECT_FALSE(copy.dirty);
    copy.Add(store);
    EXPECT_TRUE(copy.dirty);
    EXPECT_EQ(copy.values, store.values);

    copy.dirty = false;
    copy.Add("empty", "");
    EXPECT_FALSE(copy.dirty); // an absent key counts as empty
    copy.Clear();
    EXPECT_TRUE(copy.values.empty());
    EXPECT_TRUE(copy.dirty);
}

// What a save writes reads back the same; an entry that no line can hold is
// refused by the setters and left out by a save, never written as another.
TEST_F(KeyValueStoreTest, EntriesReadBackAsStoredOrAreRefused)
{
    using namespace std::string_literals;
    const struct {
        std::string key, value;
        bool writable;
    } cases[] = {
        {"K", "v", true},
        {"K", "", true},
        {"", "v", true},
        {"K", "a = b", true},
        {"K", "v\tw #x", true},
        {"K#", "=v", true},
        {"#K", "v", false},          // read as a comment
        {"", "", false},             // the line "=" is too short to be read
        {"K\0x"s, "v", false},       // a NUL ends the text on the way out
        {"K", "v\0x"s, false},
        {"K", "v\nL=w", false},      // a second line
        {"K=", "v", false},          // the key ends at the first "="
        {" K", "v", false},          // whitespace around key and value is not kept
        {"K", "v ", false},
        {"K", "\tv", false},
        {"K", "v\r", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.key) + " = " + testing::PrintToString(c.value));
        EXPECT_EQ(c.writable, KeyValueStore::Writable(c.key, c.value));

        KeyValueStore store;
        store.Add("A", "1");
        if (c.key.find('\0') == std::string::npos) {
            EXPECT_EQ(c.writable, store.Add(c.key.c_str(), c.value));
        }
        KeyValueStore other;
        other.values[c.key] = c.value; // put in directly, past the setters
        EXPECT_EQ(c.writable, store.Add(other));
        store.values[c.key] = c.value;
        store.Save(file.c_str());
        KeyValueStore back(file.c_str());
        back.values.erase(KeyValueStore::KEY_UPDATED_TIME);
        store.values.erase(KeyValueStore::KEY_UPDATED_TIME);
        if (c.writable) {
            EXPECT_EQ(back.values, store.values);
        } else {
            EXPECT_EQ(back.values, (Values{{"A", "1"}}));
        }
    }
    // A number getter names an absent key in the next save only when a line can hold it.
    KeyValueStore store;
    EXPECT_EQ(store.GetInt("#K", 3), 3);
    EXPECT_EQ(store.GetInt(nullptr, 4), 4);
    EXPECT_TRUE(store.values.empty());
}

TEST_F(KeyValueStoreTest, UnattachedStoreSavesToTheWorkingDirectory)
{
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    KeyValueStore store;
    store.Add("K", "v");
    store.Save();
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(store.path, ".settings");
    EXPECT_EQ(read().substr(0, 4), "K=v\n");
}

TEST_F(KeyValueStoreTest, FailedSavesKeepTheChangesMarked)
{
    KeyValueStore store;
    store.Add("K", "v");
    EXPECT_FALSE(store.Save((dir + "/missing/.settings").c_str()));
    EXPECT_TRUE(store.dirty);
    EXPECT_EQ(store.GetString("K"), "v");

    // Opened, but the bytes cannot be written out.
    EXPECT_FALSE(store.Save("/dev/full"));
    EXPECT_TRUE(store.dirty);

    EXPECT_TRUE(store.Save(file.c_str()));
    EXPECT_FALSE(store.dirty);
}

TEST_F(KeyValueStoreTest, ASaveThatCannotFinishLeavesTheOldFile)
{
    write("LATEST_DOWNLOAD=1200\n");
    KeyValueStore store;
    store.Load(file.c_str());
    store.Add("LATEST_TRANSFER", std::string(4096, 'x'));
    {
        FileSizeLimit diskFull(1024);
        EXPECT_FALSE(store.Save());
    }
    EXPECT_TRUE(store.dirty);
    EXPECT_EQ(read().substr(0, 21), "LATEST_DOWNLOAD=1200\n");
    // Nothing is left beside it.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{".settings"});

    EXPECT_TRUE(store.Save());
    EXPECT_FALSE(store.dirty);
    EXPECT_NE(read().find("LATEST_TRANSFER=" + std::string(4096, 'x') + "\n"), std::string::npos);
}

} // namespace
