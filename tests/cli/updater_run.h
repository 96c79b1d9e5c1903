// Runs the built updater program as an operator would, with standard output
// and standard error captured apart, for the exit code and both texts.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sim/tsan_suppressions.h"

extern char** environ;

namespace clitest {

struct Outcome {
    int code = -1; // exit code; -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The environment of the program: this process's, and under the thread
// sanitizer also the suppressions of the tests' own list, which the program
// is built without (written into scratch).
inline std::vector<std::string> childEnvironment([[maybe_unused]] const std::string& scratch)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
#if defined(__SANITIZE_THREAD__)
    const std::string file = scratch + "/tsan-suppressions";
    std::ofstream(file) << sim::tsanSuppressionText();
    const auto options = std::find_if(env.begin(), env.end(),
                                      [](const std::string& v) { return v.rfind("TSAN_OPTIONS=", 0) == 0; });
    if (options != env.end()) *options += ":suppressions=" + file;
    else env.push_back("TSAN_OPTIONS=suppressions=" + file);
#endif
    return env;
}

// How a run is made besides its arguments.
struct RunOptions {
    // Words that come before the program (a program given by its full path
    // and its arguments, which runs the updater with the rest), such as
    // {"/usr/bin/env", "-u", "HOME"}.
    std::vector<std::string> launcher;
    // The program is killed when it has not ended after this many seconds,
    // and the run's code is -1; 0 waits for it however long it takes.
    int limitSeconds = 0;
    // The updater to run, when not the one built here.
    std::string program;
};

// Waits for the child, killing it after the limit (0: none); its status.
inline int waitForChild(pid_t pid, int limitSeconds)
{
    int status = 0;
    const int fd = limitSeconds > 0 ? int(syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (fd >= 0) {
        pollfd ended{fd, POLLIN, 0};
        int ready;
        while ((ready = poll(&ended, 1, limitSeconds * 1000)) < 0 && errno == EINTR) {
        }
        if (ready == 0) kill(pid, SIGKILL);
        close(fd);
    }
    waitpid(pid, &status, 0);
    return status;
}

// The updater with these arguments; the captured texts are kept in scratch
// (a directory) until the next run.
inline Outcome runUpdater(const std::vector<std::string>& args, const std::string& scratch,
                          const RunOptions& options = {})
{
    std::vector<std::string> words = options.launcher;
    words.push_back(options.program.empty() ? std::string(TESS_UPDATER_PATH) : options.program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    const std::string outPath = scratch + "/stdout", errPath = scratch + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> env = childEnvironment(scratch);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    Outcome run;
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return run;
    const int status = waitForChild(pid, options.limitSeconds);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

// Whether the text holds the line.
inline bool hasLine(const std::string& text, const std::string& line)
{
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);)
        if (l == line) return true;
    return false;
}

} // namespace clitest
