// test-labels: integration netns threaded
// The update server's replies. Whatever body a server answers with, a query
// succeeds only for status 200 and a first line that begins with "ok", and
// what it hands back is what the reply's lines say: the latest build and
// family, the firmware text without line ends, build-list entries with
// 32-bit build numbers, and the recovery serial and build as sent. The
// server is a thread of the target on the loop-back interface.
#include "engine/UpdateServerRequest.h"
#include "tests/fuzz/support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// Answers every request with the current status and body.
class Server {
public:
    Server()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        FUZZ_CHECK(listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   listen(listener_, 16) == 0 &&
                   getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u";
        thread_ = std::thread([this] { serve(); });
        thread_.detach();
    }

    const std::string& url() const { return url_; }
    void set(int status, std::string body)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        body_ = std::move(body);
    }

private:
    void serve()
    {
        for (;;) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = recv(client, buffer, sizeof buffer, 0);
                // libFuzzer's timer (SIGALRM) may cut a call short.
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                request.append(buffer, size_t(n));
            }
            std::string reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                reply = "HTTP/1.1 " + std::to_string(status_) + " Reply\r\nContent-Length: " +
                        std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
            }
            for (size_t sent = 0; sent < reply.size();) {
                const ssize_t n = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                sent += size_t(n);
            }
            close(client);
        }
    }

    int listener_ = -1;
    std::string url_;
    std::thread thread_;
    std::mutex mutex_;
    int status_ = 200;
    std::string body_;
};

// The reply's non-empty lines.
std::vector<std::string> lines(const std::string& body)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= body.size()) {
        const size_t end = std::min(body.find('\n', start), body.size());
        if (end > start) out.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool fits32(const std::string& text)
{
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    return end != text.c_str() && errno == 0 && value <= UINT32_MAX;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Server server;
    fuzz::Input input(data, size);
    const int status = input.byte() == 0xFF ? 404 : 200;
    const fuzz::Bytes bytes = input.rest();
    const std::string body(bytes.begin(), bytes.end());
    server.set(status, body);
    const char* url = server.url().c_str();
    const std::vector<std::string> sent = lines(body);
    const bool ok = status == 200 && !sent.empty() && sent[0].compare(0, 2, "ok") == 0;

    FUZZ_CHECK(UpdateServerRequest::ping(url) == ok);

    std::string latest = "none", family = "none";
    if (UpdateServerRequest::QueryBuild(0x12345678, latest, family, url)) {
        FUZZ_CHECK(ok);
        FUZZ_CHECK(latest == (sent.size() > 1 ? sent[1] : "none"));
        FUZZ_CHECK(family.find_first_of("\r\n") == std::string::npos);
    }

    std::string firmware = "none";
    if (UpdateServerRequest::GetBuild(0x12345678, "family", "1234", firmware, url)) {
        FUZZ_CHECK(ok);
        FUZZ_CHECK(firmware.find_first_of("\r\n") == std::string::npos);
        if (sent.size() > 1) FUZZ_CHECK(sent[1].find(firmware) != std::string::npos);
    } else {
        FUZZ_CHECK(!ok);
    }

    std::map<std::string, std::string> builds{{"old", "entry"}};
    if (UpdateServerRequest::GetBuildList(0x12345678, builds, url)) {
        FUZZ_CHECK(ok);
        for (const auto& [build, version] : builds) {
            FUZZ_CHECK(!build.empty() && build.find_first_of(";\r\n") == std::string::npos);
            FUZZ_CHECK(version.find_first_of(";\r\n") == std::string::npos);
            const size_t first = build.find_first_not_of(" \t\v\f");
            if (first != std::string::npos && (isdigit(static_cast<unsigned char>(build[first])) ||
                                               build[first] == '+'))
                FUZZ_CHECK(fits32(build));
        }
        UpdateServerRequest::SortBuildsByVersion(builds);
    } else {
        FUZZ_CHECK(builds.empty());
    }

    const unsigned fingerprint[4] = {1, 2, 3, 4};
    unsigned serial = 7, build = 9;
    if (UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, url)) {
        FUZZ_CHECK(ok);
        if (sent.size() > 1) FUZZ_CHECK(serial == std::strtoull(sent[1].c_str(), nullptr, 16));
        else FUZZ_CHECK(serial == 7);
        if (sent.size() > 2) FUZZ_CHECK(build == std::strtoull(sent[2].c_str(), nullptr, 0));
        else FUZZ_CHECK(build == 9);
    } else {
        FUZZ_CHECK(serial == 7 && build == 9);
    }
    return 0;
}
