// Runs the update-server stand-in (update_server.py) on 127.0.0.1 for one
// test: fills its data directory, sets the faults it answers with, and reads
// back the requests it received. Use it inside a private network namespace.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

class UpdateServer {
public:
    enum class Scheme { Http, Https };

    // Starts the server (HTTPS with a self-signed certificate naming
    // certNames, in openssl's subjectAltName form); throws std::runtime_error
    // when it does not come up.
    explicit UpdateServer(Scheme scheme = Scheme::Http,
                          const std::string& certNames = "IP:127.0.0.1,DNS:localhost");
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Base URL of the queries, "SCHEME://host:PORT/cgi/u"; host 127.0.0.1 unless given.
    std::string url(const std::string& host = "127.0.0.1") const;
    unsigned port() const { return port_; }

    // Offers the bytes of a firmware file as build `build` of the device.
    void addBuild(uint32_t serial, unsigned build, const std::vector<uint8_t>& bird);
    void setFamily(uint32_t serial, const std::string& family);
    // Answers the chip identifier with this serial number and build.
    void addRecovery(const uint32_t fingerprint[4], uint32_t serial, unsigned build);
    // The fault table, a JSON object from operation ("*" for all) to fault
    // (see update_server.py); an empty text clears it.
    void setFaults(const std::string& json);

    // The request lines received so far, in order ("GET /cgi/u?... HTTP/1.1").
    std::vector<std::string> requestLines() const;
    // The query string of each request ("" for a request without one).
    std::vector<std::string> queries() const;

private:
    std::string deviceDir(uint32_t serial) const;
    void writeFile(const std::string& path, const std::string& content) const;

    std::string dir_;
    std::string root_;
    std::string log_;
    std::string scheme_;
    pid_t pid_ = -1;
    unsigned port_ = 0;
};

} // namespace sim
