// The updater run as a program: what an operator sees first.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct RunResult {
    std::string out;
    int status = -1;
};

RunResult runUpdater(const std::string& args)
{
    RunResult result;
    std::string command = std::string(TESS_UPDATER_PATH) + " " + args + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk{};
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.out.append(chunk.data(), n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace

TEST(Program, FirstLineIsTheVersionLine)
{
    RunResult r = runUpdater("-I");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "Updater (Version: 2.12.4 May 26 2026)\n");
}
