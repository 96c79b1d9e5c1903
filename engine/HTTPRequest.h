// One HTTP or HTTPS GET request to the update server: the query string is
// built from a parameter map, the reply body and status are collected.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(const char* url);

    const std::string& get_request() const { return request; }
    const std::string& get_response() const { return response; }
    long get_status() const { return status; }
    void set_status(long code) { status = code; }
    // Appends received bytes to the body.
    void process(const char* data, size_t length) { response.append(data, length); }

private:
    std::string request;
    long status = 0;
    std::string response;
};

// How long a request waits on a server that has gone quiet. A server that
// keeps sending, however slowly, is never cut off, and a whole transfer has
// no limit. The defaults are those of the program.
struct HTTPTimeLimits {
    // To reach the server, the TLS handshake included.
    std::chrono::seconds connect{30};
    // Without a byte from the server once the request is sent: the wait for
    // the first byte of the reply counts as much as a pause within it.
    std::chrono::seconds silence{60};
};

// A request given up because the server was not reached in time, or sent
// nothing for the silence time; what() is the transport's reason.
class HTTPTimeout : public std::runtime_error {
public:
    HTTPTimeout(const std::string& url, const char* reason) : std::runtime_error(reason), request(url) {}
    // The full request URL.
    const std::string& get_request() const { return request; }

private:
    std::string request;
};

class HTTPRequest {
public:
    // GET of baseUrl, then "?" and "key=value&" for every parameter in key
    // order (nothing escaped; no "?" when there are none). Any status is a
    // result; a transport failure throws std::runtime_error with its reason,
    // HTTPTimeout when the server was not reached or fell silent within limits.
    static HTTPResponse GET(const char* baseUrl, const std::map<std::string, std::string>& parameters,
                            const HTTPTimeLimits& limits = HTTPTimeLimits());
};

// The libcurl write callback: appends size * count bytes to the HTTPResponse
// and returns their number.
size_t _rcv_data(char* data, size_t size, size_t count, void* response);
