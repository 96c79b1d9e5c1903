#include "engine/HTTPRequest.h"

#include "engine/Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

HTTPResponse::HTTPResponse(const char* url) : request(url ? url : "") {}

// libcurl calls it through exactly this type.
static_assert(std::is_same_v<decltype(&_rcv_data), curl_write_callback>, "the write callback's type is libcurl's");

size_t _rcv_data(char* data, size_t size, size_t count, void* response)
{
    const size_t length = size * count;
    const char* bytes = data;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n", int(size), int(count),
             unsigned(reinterpret_cast<uintptr_t>(response)), int(std::min<size_t>(length, 100)), bytes);
    static_cast<HTTPResponse*>(response)->process(bytes, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", int(length));
    return length;
}

namespace {

std::string _build_url(const char* baseUrl, const std::map<std::string, std::string>& parameters)
{
    std::string url = baseUrl ? baseUrl : "";
    if (!parameters.empty()) url += "?";
    for (const auto& [key, value] : parameters) url += key + "=" + value + "&";
    return url;
}

// A server that is not reached within the connect time (the TLS handshake
// included), or that sends less than the low-speed limit for the low-speed
// time on end, is gone: replies are short texts sent at once, and a firmware
// file keeps coming, however slow the line. The whole transfer has no limit.
constexpr long kConnectSeconds = 10;
constexpr long kLowSpeedBytesPerSecond = 1;
constexpr long kLowSpeedSeconds = 5;

CURLcode _set_time_limits(CURL* curl)
{
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    return rc;
}

// Certificate-status checking is meant to be off. A TLS back end that cannot
// check it at all refuses the option even to switch it off; that is no reason
// to give up the request.
CURLcode _disable_status_check(CURL* curl)
{
    const CURLcode rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    return rc == CURLE_NOT_BUILT_IN || rc == CURLE_UNKNOWN_OPTION ? CURLE_OK : rc;
}

} // namespace

HTTPResponse HTTPRequest::GET(const char* baseUrl, const std::map<std::string, std::string>& parameters)
{
    CURL* curl = curl_easy_init();
    const std::string url = _build_url(baseUrl, parameters);
    HTTPResponse response(url.c_str());
    if (!curl) throw std::runtime_error("Could not create curl instance");

    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    if (rc == CURLE_OK) rc = _disable_status_check(curl);
    if (rc == CURLE_OK) rc = _set_time_limits(curl);
    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
        rc = curl_easy_perform(curl);
    }
    if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rc == CURLE_OPERATION_TIMEDOUT) throw HTTPTimeout(url, curl_easy_strerror(rc));
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}
