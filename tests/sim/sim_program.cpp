#include "tests/sim/sim_program.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <system_error>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {

SimProgram::SimProgram(const std::string& path, const std::vector<std::string>& args)
{
    int in[2], out[2];
    // Commands go through a socket so that a write to an ended program fails
    // with EPIPE instead of raising SIGPIPE.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    if (pipe2(out, O_CLOEXEC) != 0) {
        int error = errno;
        close(in[0]);
        close(in[1]);
        throw std::system_error(error, std::generic_category(), "pipe");
    }
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    int error = errno;
    close(in[0]);
    close(out[1]);
    if (pid_ < 0) {
        close(in[1]);
        close(out[0]);
        throw std::system_error(error, std::generic_category(), "fork");
    }
    commands_ = in[1];
    output_ = fdopen(out[0], "r");
}

SimProgram::~SimProgram()
{
    if (commands_ >= 0) close(commands_);
    if (status_ < 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (output_) fclose(output_);
}

uint16_t SimProgram::port()
{
    std::string first = line();
    return first == "<end>" ? 0 : static_cast<uint16_t>(std::stoul(first));
}

std::string SimProgram::line()
{
    std::string text;
    for (int c; (c = fgetc(output_)) != EOF && c != '\n';) text += static_cast<char>(c);
    return text.empty() && feof(output_) ? "<end>" : text;
}

std::vector<std::string> SimProgram::run(const std::string& command)
{
    std::string text = command + "\n";
    size_t at = 0;
    while (at < text.size()) {
        ssize_t n = send(commands_, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return {"<end>"};
        at += static_cast<size_t>(n);
    }
    std::vector<std::string> lines;
    do lines.push_back(line());
    while (lines.back() != "ok" && lines.back().rfind("error", 0) != 0 && lines.back() != "<end>");
    return lines;
}

void SimProgram::signal(int number)
{
    if (status_ < 0) kill(pid_, number);
}

int SimProgram::exitStatus()
{
    if (status_ >= 0) return status_;
    if (commands_ >= 0) close(commands_);
    commands_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

} // namespace sim
