#include "tests/sim/update_server_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sim {

namespace {

const char* _python()
{
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::string _script()
{
    return (std::filesystem::path(__FILE__).parent_path() / "update_server.py").string();
}

// The first line that the server prints: its port; empty when it ended first.
std::string _read_line(int fd)
{
    std::string line;
    char c;
    ssize_t n;
    while ((n = read(fd, &c, 1)) == 1 || (n < 0 && errno == EINTR))
        if (n == 1) {
            if (c == '\n') break;
            line += c;
        }
    return line;
}

} // namespace

UpdateServer::UpdateServer(Scheme scheme, const std::string& certNames)
    : scheme_(scheme == Scheme::Https ? "https" : "http")
{
    char dirTemplate[] = "/tmp/update-server-XXXXXX";
    if (!mkdtemp(dirTemplate)) throw std::runtime_error("UpdateServer: cannot make a temporary folder");
    dir_ = dirTemplate;
    root_ = dir_ + "/root";
    log_ = dir_ + "/requests.log";
    std::filesystem::create_directory(root_);

    std::vector<std::string> args = {_python(), _script(), "--root", root_, "--log", log_};
    if (scheme == Scheme::Https) args.insert(args.end(), {"--tls", "--cert-names", certNames});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("UpdateServer: pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    const std::string portText = rc == 0 ? _read_line(out[0]) : std::string();
    close(out[0]);
    port_ = unsigned(strtoul(portText.c_str(), nullptr, 10));
    if (port_ == 0) {
        if (rc == 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("UpdateServer: the stand-in did not start");
    }
}

UpdateServer::~UpdateServer()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string UpdateServer::url(const std::string& host) const
{
    return scheme_ + "://" + host + ":" + std::to_string(port_) + "/cgi/u";
}

std::string UpdateServer::deviceDir(uint32_t serial) const
{
    char name[16];
    snprintf(name, sizeof name, "%08X", serial);
    const std::string dir = root_ + "/" + name;
    std::filesystem::create_directories(dir);
    return dir;
}

void UpdateServer::writeFile(const std::string& path, const std::string& content) const
{
    const std::string temporary = path + ".new";
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << content;
    std::filesystem::rename(temporary, path);
}

void UpdateServer::addBuild(uint32_t serial, unsigned build, const std::vector<uint8_t>& bird)
{
    writeFile(deviceDir(serial) + "/" + std::to_string(build) + ".bird", std::string(bird.begin(), bird.end()));
}

void UpdateServer::setFamily(uint32_t serial, const std::string& family)
{
    writeFile(deviceDir(serial) + "/family", family + "\n");
}

void UpdateServer::addRecovery(const uint32_t fingerprint[4], uint32_t serial, unsigned build)
{
    char line[96];
    snprintf(line, sizeof line, "%08X %08X %08X %08X %08X %u\n", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3], serial, build);
    std::ofstream(root_ + "/recovery", std::ios::app) << line;
}

void UpdateServer::setFaults(const std::string& json)
{
    writeFile(root_ + "/faults.json", json.empty() ? "{}" : json);
}

std::vector<std::string> UpdateServer::requestLines() const
{
    std::vector<std::string> lines;
    std::ifstream log(log_);
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> UpdateServer::queries() const
{
    std::vector<std::string> result;
    for (const std::string& line : requestLines()) {
        const size_t start = line.find(' ') + 1;
        const size_t end = line.rfind(' ');
        const std::string target = line.substr(start, end - start);
        const size_t mark = target.find('?');
        result.push_back(mark == std::string::npos ? std::string() : target.substr(mark + 1));
    }
    return result;
}

} // namespace sim
