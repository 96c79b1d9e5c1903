// One HTTP or HTTPS GET request to the update server: the query string is
// built from a parameter map, the reply body and status are collected.
#pragma once

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

// A request given up because the server was not reached in time, or stopped
// sending; what() is the transport's reason.
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
    // HTTPTimeout when the server was not reached or stopped sending.
    static HTTPResponse GET(const char* baseUrl, const std::map<std::string, std::string>& parameters);
};

// The libcurl write callback: appends size * count bytes to the HTTPResponse
// and returns their number.
size_t _rcv_data(char* data, size_t size, size_t count, void* response);
