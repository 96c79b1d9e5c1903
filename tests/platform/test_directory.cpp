// Directories: path building, creation with parents, listing, tree removal
// (symbolic links included), and the working, program and home directories.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/aDirectory.h"

namespace fs = std::filesystem;

namespace {

struct BuildCase {
    size_t size;
    const char* first;
    const char* second;  // NULL ends the list early
    const char* third;
    aErr result;
    const char* text;
};

TEST(BuildPath, JoinsWithOneSeparatorWhereNeeded)
{
    const BuildCase cases[] = {
        {64, "/a", "b", NULL, aErrNone, "/a/b"},
        {64, "/a/", "b", NULL, aErrNone, "/a/b"},
        {64, "/a", "/b", NULL, aErrNone, "/a/b"},
        {64, "/a/", "/b", NULL, aErrNone, "/a//b"},
        {64, "a", "b", "c.txt", aErrNone, "a/b/c.txt"},
        {64, "only", NULL, NULL, aErrNone, "only"},
        {64, "", "b", NULL, aErrNone, "b"},              // an empty start stays relative
        {8, "/abc", "d", NULL, aErrNone, "/abc/d"},
        {8, "/abc", "de", NULL, aErrOverrun, "/abc/"},   // shorter than the room after the separator
        {8, "/abc", "d", "e", aErrOverrun, "/abc/d"},
        {5, "abc", NULL, NULL, aErrNone, "abc"},
        {5, "abcd", NULL, NULL, aErrOverrun, ""},        // shorter than size - 1
        {1, "", NULL, NULL, aErrOverrun, ""},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " + " + (c.second ? c.second : "") + " + " + (c.third ? c.third : "") +
                     " in " + std::to_string(c.size));
        std::vector<char> buffer(c.size + 1, '#');
        EXPECT_EQ(aDirectory_BuildPath(buffer.data(), c.size, c.first, c.second, c.third, (const char*)NULL),
                  c.result);
        EXPECT_STREQ(buffer.data(), c.text);
        EXPECT_EQ(buffer[c.size], '#');
    }
    char joined[16];
    EXPECT_EQ(aDirectory_JoinPath(joined, sizeof joined, "dir", "name"), aErrNone);
    EXPECT_STREQ(joined, "dir/name");
}

TEST(BuildPath, AtMostTenComponents)
{
    char buffer[64] = "old";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                   (const char*)NULL),
              aErrNone);
    EXPECT_STREQ(buffer, "1/2/3/4/5/6/7/8/9/10");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                   (const char*)NULL),
              aErrParam);
    EXPECT_STREQ(buffer, "");
}

TEST(BuildPath, BadBuffersAreNeverWritten)
{
    EXPECT_EQ(aDirectory_BuildPath(NULL, 16, "a", "b", (const char*)NULL), aErrParam);
    char untouched[4] = "xyz";
    EXPECT_EQ(aDirectory_BuildPath(untouched, 0, "a", (const char*)NULL), aErrParam);
    EXPECT_STREQ(untouched, "xyz");
    EXPECT_EQ(aDirectory_BuildPath(untouched, sizeof untouched, NULL, (const char*)NULL), aErrParam);

    // A component that lives in the buffer is kept as it was.
    char buffer[32] = "base/dir";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", (const char*)NULL), aErrParam);
    EXPECT_STREQ(buffer, "base/dir");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer + 5, (const char*)NULL), aErrParam);
    EXPECT_STREQ(buffer, "base/dir");
}

class Directory : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/directory-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        if (!cwd.empty()) {
            EXPECT_EQ(chdir(cwd.c_str()), 0);
        }
        fs::remove_all(dir);
    }
    void enter()
    {
        cwd = fs::current_path();
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void file(const std::string& name, const std::string& data = "x") const
    {
        std::ofstream(path(name), std::ios::binary) << data;
    }

    std::string dir;
    std::string cwd;
};

TEST_F(Directory, EnsureCreatesEveryMissingParent)
{
    enter();
    EXPECT_EQ(aDirectory_Ensure("a/b/c", 0755), aErrNone);
    EXPECT_TRUE(fs::is_directory(path("a/b/c")));
    EXPECT_EQ(aDirectory_Ensure("a//d/", 0755), aErrNone);
    EXPECT_TRUE(fs::is_directory(path("a/d")));
    EXPECT_EQ(aDirectory_Ensure((dir + "/x/y").c_str(), 0755), aErrNone);
    EXPECT_TRUE(fs::is_directory(path("x/y")));
    EXPECT_EQ(aDirectory_Ensure(dir.c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Ensure(NULL, 0755), aErrParam);
}

// Nothing of the path exists but the root: a child process takes the test's
// folder for its root directory and ensures /x/y there.
TEST_F(Directory, EnsureBelowABareRoot)
{
    if (geteuid() != 0) GTEST_SKIP() << "changing the root directory needs root";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool made = chroot(dir.c_str()) == 0 && chdir("/") == 0 && aDirectory_Ensure("/x/y", 0755) == aErrNone;
        _exit(made ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(fs::is_directory(path("x/y")));
}

TEST_F(Directory, EnsureCreatesWithTheModeGiven)
{
    mode_t mask = umask(022);
    EXPECT_EQ(aDirectory_Ensure(path("p/q").c_str(), 0750), aErrNone);
    umask(mask);
    struct stat status;
    for (const char* name : {"p", "p/q"}) {
        ASSERT_EQ(stat(path(name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0750u) << name;
    }
}

TEST_F(Directory, EnsureFailsWhereAFileStands)
{
    file("plain");
    EXPECT_EQ(aDirectory_Ensure(path("plain/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(path("plain").c_str(), 0755), aErrPermission);
    EXPECT_TRUE(fs::is_regular_file(path("plain")));
}

TEST_F(Directory, ExistsOnlyForDirectories)
{
    file("f");
    EXPECT_TRUE(aDirectory_Exists(dir.c_str()));
    EXPECT_FALSE(aDirectory_Exists(path("f").c_str()));
    EXPECT_FALSE(aDirectory_Exists(path("missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(NULL));
}

struct Listed {
    uint32_t size;
    uint32_t isDirectory;
};

bool collect(const aDirectoryListData* data, void* reference)
{
    (*(std::map<std::string, Listed>*)reference)[data->path] = {data->size, data->isDirectory};
    return true;
}

bool stopAtOnce(const aDirectoryListData*, void* reference)
{
    ++*(int*)reference;
    return false;
}

TEST_F(Directory, ListGivesEveryEntryWithItsFullPathSizeAndKind)
{
    file("seven", "7 bytes");
    file("empty", "");
    fs::create_directory(path("sub"));
    fs::create_symlink(path("nowhere"), path("dangling"));  // its status cannot be read
    std::map<std::string, Listed> entries;
    ASSERT_EQ(aDirectory_List(dir.c_str(), collect, &entries), aErrNone);
    EXPECT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries.count(path(".")), 1u);
    EXPECT_EQ(entries.count(path("..")), 1u);
    EXPECT_EQ(entries[path("seven")].size, 7u);
    EXPECT_EQ(entries[path("seven")].isDirectory, 0u);
    EXPECT_EQ(entries[path("empty")].size, 0u);
    EXPECT_EQ(entries[path("sub")].isDirectory, 1u);
    EXPECT_EQ(entries.count(path("dangling")), 0u);

    int calls = 0;
    EXPECT_EQ(aDirectory_List(dir.c_str(), stopAtOnce, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List(path("missing").c_str(), collect, &entries), aErrNotFound);
}

TEST_F(Directory, DeleteTreeRemovesEverythingInside)
{
    fs::create_directories(path("tree/a/b/c"));
    file("tree/top");
    file("tree/a/b/c/deep");
    fs::create_directory(path("tree/empty"));
    EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(path("tree")));
    EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_Delete(path("tree").c_str()), aErrUnknown);
}

// A link inside the tree goes, what it points to stays.
TEST_F(Directory, DeleteTreeNeverFollowsLinksOutOfTheTree)
{
    fs::create_directories(path("outside/inner"));
    file("outside/keep");
    file("outside/inner/keep");
    fs::create_directories(path("tree/sub"));
    fs::create_directory_symlink(path("outside"), path("tree/to-dir"));
    fs::create_directory_symlink(path("outside"), path("tree/sub/to-dir"));
    fs::create_symlink(path("outside/keep"), path("tree/to-file"));
    fs::create_symlink(path("nowhere"), path("tree/dangling"));
    EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("tree"))));
    EXPECT_TRUE(fs::exists(path("outside/keep")));
    EXPECT_TRUE(fs::exists(path("outside/inner/keep")));
}

TEST_F(Directory, DeleteTreeOfALinkLeavesWhatItPointsTo)
{
    fs::create_directory(path("target"));
    file("target/keep");
    fs::create_directory_symlink(path("target"), path("link"));
    EXPECT_EQ(aDirectory_DeleteTree(path("link").c_str()), aErrNotFound);
    EXPECT_TRUE(fs::exists(path("target/keep")));
    EXPECT_TRUE(fs::is_symlink(path("link")));
}

// An entry whose full path does not fit stops the removal; nothing outside
// the tree is touched and the tree is left as it is.
TEST_F(Directory, DeleteTreeStopsAtPathsThatDoNotFit)
{
    std::string deep = path("tree");
    for (int i = 0; i < 9; i++) deep += "/" + std::string(250, 'a' + i);
    fs::create_directories(deep);
    file("beside");
    EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrUnknown);
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(fs::exists(path("beside")));
}

TEST(WellKnownDirectories, WorkingDirectory)
{
    char buffer[PATH_MAX];
    ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::current_path());
    EXPECT_EQ(aDirectory_CWD(buffer, 1), aErrParam);
    EXPECT_EQ(aDirectory_CWD(NULL, sizeof buffer), aErrParam);
}

TEST(WellKnownDirectories, ExecutablePathIsCutToTheBuffer)
{
    char buffer[PATH_MAX];
    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    std::string self = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(buffer, self);
    char small[5] = "xxxx";
    ASSERT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrNone);
    EXPECT_EQ(std::string(small), self.substr(0, 4));
    EXPECT_EQ(aDirectory_ExecutableFilePath(small, 0), aErrParam);
}

TEST(WellKnownDirectories, HomeDirectoryIsAlwaysTerminated)
{
    struct passwd* entry = getpwuid(getuid());
    std::string home = entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : getenv("HOME");
    std::vector<char> buffer(home.size() + 1, '#');
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer.data(), buffer.size()), aErrNone);
    EXPECT_EQ(std::string(buffer.data()), home);

    // One byte short: an error and an empty text, never a cut directory.
    std::vector<char> small(home.size(), '#');
    EXPECT_EQ(aDirectory_GetHomeDirectory(small.data(), small.size()), aErrOverrun);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(aDirectory_GetHomeDirectory(NULL, 16), aErrParam);
}

} // namespace
