// Files: opening modes and their limits, reads and writes with their counts,
// seeking, lines, formatted writes, removal, and failures to reach the disk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/aFile.h"

namespace {

class File : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string make(const std::string& name, const std::string& data) const
    {
        std::ofstream(path(name), std::ios::binary) << data;
        return path(name);
    }
    static std::string contents(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir;
};

TEST_F(File, OpenRefusesBadArgumentsAndDirectories)
{
    std::string existing = make("f", "data");
    std::string tooLong(aFILE_MAX_PATH + 1, 'a');
    std::string missing = path("missing"), missingDir = path("no/dir");
    struct Case {
        const char* path;
        uint32_t mode;
    } cases[] = {
        {existing.c_str(), 3}, {existing.c_str(), 7}, {"", aFileModeRead}, {NULL, aFileModeRead},
        {tooLong.c_str(), aFileModeRead}, {dir.c_str(), aFileModeRead}, {dir.c_str(), aFileModeWrite},
        {missing.c_str(), aFileModeRead}, {missingDir.c_str(), aFileModeWrite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path ? c.path : "(null)").substr(0, 60) + " mode " + std::to_string(c.mode));
        EXPECT_EQ(aFile_Open(c.path, c.mode), nullptr);
    }
    EXPECT_EQ(contents(existing), "data");
}

TEST_F(File, PathsOfUpTo4096CharactersAreTaken)
{
    // Such a path is handed to the system, which answers for itself; one
    // character more is refused before.
    std::string limit(aFILE_MAX_PATH, 'a');
    std::string over(aFILE_MAX_PATH + 1, 'a');
    EXPECT_EQ(aFile_Delete(limit.c_str()), aErrIO);
    EXPECT_EQ(aFile_Delete(over.c_str()), aErrFileNameLength);
    EXPECT_FALSE(aFile_Exists(over.c_str()));
}

TEST_F(File, ExistsOnlyForFiles)
{
    EXPECT_TRUE(aFile_Exists(make("f", "").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.c_str()));
    EXPECT_FALSE(aFile_Exists(path("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(NULL));
}

TEST_F(File, ReadCountsAndTheEnd)
{
    aFile* file = aFile_Open(make("f", "0123456789").c_str(), aFileModeRead);
    ASSERT_NE(file, nullptr);
    char buffer[16];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(file, buffer, 0, &count), aErrNone);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(aFile_Seek(file, 6, aFileSeekStart), aErrNone);
    EXPECT_EQ(aFile_Read(file, buffer, 10, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(aFile_Read(file, buffer, 10, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(file, buffer, 10, NULL), aErrEOF);
    EXPECT_EQ(aFile_Read(file, NULL, 10, &count), aErrParam);
    EXPECT_EQ(aFile_Write(file, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Printf(file, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrMode);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
}

TEST_F(File, WriteTruncatesAndCannotRead)
{
    std::string name = make("f", "old contents");
    aFile* file = aFile_Open(name.c_str(), aFileModeWrite);
    ASSERT_NE(file, nullptr);
    size_t count = 0;
    EXPECT_EQ(aFile_Write(file, "new", 3, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(aFile_Printf(file, "-%d-%s", 42, "x"), aErrNone);
    EXPECT_EQ(aFile_Write(file, NULL, 3, &count), aErrParam);
    char buffer[4];
    uint64_t length = 9;
    EXPECT_EQ(aFile_Read(file, buffer, 1, &count), aErrMode);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrMode);
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(contents(name), "new-42-x");
}

TEST_F(File, AppendStartsAtTheEndAndAlwaysAppends)
{
    std::string name = make("f", "12345");
    aFile* file = aFile_Open(name.c_str(), aFileModeAppend);
    ASSERT_NE(file, nullptr);
    int64_t position = -1;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 5);
    char buffer[16];
    size_t count = 0;
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF);
    ASSERT_EQ(aFile_Seek(file, 0, aFileSeekStart), aErrNone);
    EXPECT_EQ(aFile_Read(file, buffer, 2, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "12");
    ASSERT_EQ(aFile_Seek(file, 1, aFileSeekStart), aErrNone);
    EXPECT_EQ(aFile_Write(file, "67", 2, &count), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(contents(name), "1234567");

    aFile* created = aFile_Open(path("new").c_str(), aFileModeAppend);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(aFile_Close(&created), aErrNone);
    EXPECT_TRUE(aFile_Exists(path("new").c_str()));
}

TEST_F(File, SeekStaysInsideTheFile)
{
    aFile* file = aFile_Open(make("f", std::string(100, 'x')).c_str(), aFileModeRead);
    ASSERT_NE(file, nullptr);
    int64_t position = -1;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 0);
    struct Case {
        int64_t offset;
        int origin;
        aErr result;
        int64_t position;
    } cases[] = {
        {-1, aFileSeekEnd, aErrNone, 99},   {1, aFileSeekEnd, aErrRange, 99},
        {-1, aFileSeekStart, aErrRange, 99}, {-9, aFileSeekCurrent, aErrNone, 90},
        {10, aFileSeekCurrent, aErrNone, 100}, {1, aFileSeekCurrent, aErrRange, 100},
        {INT64_MAX, aFileSeekCurrent, aErrRange, 100}, {INT64_MIN, aFileSeekEnd, aErrRange, 100},
        {7, 9, aErrNone, 7},                // an unknown origin counts from the start
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " from " + std::to_string(c.origin));
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result);
        EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
        EXPECT_EQ(position, c.position);
    }
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 7);
    EXPECT_EQ(aFile_GetSize(file, NULL), aErrParam);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(File, LinesLongerThanTheBufferComeInPieces)
{
    aFile* file = aFile_Open(make("f", "abcdef\nABCDEFGH\n").c_str(), aFileModeRead);
    ASSERT_NE(file, nullptr);
    char buffer[8];
    uint64_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_STREQ(buffer, "abcdef\n");
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrOverrun);
    EXPECT_STREQ(buffer, "ABCDEFG");
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_STREQ(buffer, "H\n");
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrEOF);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(File, LastLineWithoutNewlineAndBuffersWithoutRoom)
{
    aFile* file = aFile_Open(make("f", "end").c_str(), aFileModeRead);
    ASSERT_NE(file, nullptr);
    char buffer[8] = "xxxxxxx";
    uint64_t length = 9;
    // A buffer of one byte holds no character: nothing is read from the file.
    EXPECT_EQ(aFile_ReadLine(file, buffer, 1, &length), aErrParam);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(aFile_ReadLine(file, NULL, 8, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_STREQ(buffer, "end");
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(File, CloseClearsTheHandleAndRefusesForeignRecords)
{
    std::vector<uint64_t> foreign(8, 0);
    aFile* bogus = (aFile*)foreign.data();
    EXPECT_EQ(aFile_Close(&bogus), aErrParam);
    EXPECT_EQ(bogus, nullptr);
    aFile* none = NULL;
    EXPECT_EQ(aFile_Close(&none), aErrParam);
    EXPECT_EQ(aFile_Close(NULL), aErrParam);

    aFile* other = (aFile*)foreign.data();
    char byte;
    int64_t position;
    uint64_t size;
    EXPECT_EQ(aFile_Read(other, &byte, 1, NULL), aErrParam);
    EXPECT_EQ(aFile_Write(other, &byte, 1, NULL), aErrParam);
    EXPECT_EQ(aFile_Seek(other, 0, aFileSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetPosition(other, &position), aErrParam);
    EXPECT_EQ(aFile_GetSize(other, &size), aErrParam);
    EXPECT_EQ(aFile_Printf(other, "x"), aErrParam);
}

// A full disk must not pass for success: a write that the device refuses is
// an error, at once when unbuffered, at the close when buffered.
TEST_F(File, DataThatCannotBeWrittenIsReported)
{
    aFile* buffered = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(buffered, nullptr);
    EXPECT_EQ(aFile_Write(buffered, "abc", 3, NULL), aErrNone);
    EXPECT_EQ(aFile_Close(&buffered), aErrIO);
    EXPECT_EQ(buffered, nullptr);

    aFile* direct = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(direct, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(direct), aErrNone);
    size_t count = 99;
    EXPECT_EQ(aFile_Write(direct, "abc", 3, &count), aErrIO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Printf(direct, "%s", "abc"), aErrIO);
    EXPECT_EQ(aFile_Close(&direct), aErrNone);
}

TEST_F(File, DeleteRemovesFilesOnly)
{
    std::string name = make("f", "x");
    EXPECT_EQ(aFile_Delete(name.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(name.c_str()));
    EXPECT_EQ(aFile_Delete(name.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(NULL), aErrParam);
    EXPECT_EQ(aFile_Delete(dir.c_str()), aErrIO);
    EXPECT_TRUE(std::filesystem::is_directory(dir));
}

} // namespace
