// Runs the tessaline-sim program as a child process for black-box tests and
// benchmarks: reads the port it listens on, sends it commands on its
// standard input and collects their output lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

class SimProgram {
public:
    // Starts the program at path with the arguments; throws std::system_error
    // when it cannot be started. The child ends at the latest when the thread
    // that started it ends.
    SimProgram(const std::string& path, const std::vector<std::string>& args);
    // Stops the program (SIGTERM) unless it has ended already.
    ~SimProgram();
    SimProgram(const SimProgram&) = delete;
    SimProgram& operator=(const SimProgram&) = delete;

    // The first line the program prints: its TCP port; 0 when it ended before.
    uint16_t port();
    // The next output line without its newline; "<end>" once output ended.
    std::string line();
    // Sends one command; returns its output lines up to and including the
    // closing "ok" or "error ..." line (or "<end>" when the program ended).
    std::vector<std::string> run(const std::string& command);
    // Sends the signal to the program.
    void signal(int number);
    // Closes the program's input and waits for it to end: its exit code, or
    // 128 + the signal number that ended it.
    int exitStatus();

private:
    pid_t pid_ = -1;
    int commands_ = -1;
    FILE* output_ = nullptr;
    int status_ = -1;
};

} // namespace sim
