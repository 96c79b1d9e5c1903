#include "engine/HTTPRequest.h"

#include "engine/Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
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

// Gives up on a server that has sent nothing, header or body, for the
// silence time. The clock starts when the request has gone out (reaching the
// server has a bound of its own) and starts again with every byte received,
// so a slow trickle never expires, however long the whole transfer takes.
// libcurl calls it at least about once a second, also while nothing comes.
struct SilenceWatch {
    CURL* curl;
    std::chrono::steady_clock::duration limit;
    std::chrono::steady_clock::time_point lastByte{};
    curl_off_t received = -1;
    bool expired = false;
};

int _watch_silence(void* watchData, curl_off_t, curl_off_t bodyBytes, curl_off_t, curl_off_t)
{
    auto* watch = static_cast<SilenceWatch*>(watchData);
    const auto now = std::chrono::steady_clock::now();
    // The time from the start until the request went out: 0 before then,
    // and taken as gone out when libcurl cannot tell.
    curl_off_t sentAfter = 0;
    if (curl_easy_getinfo(watch->curl, CURLINFO_PRETRANSFER_TIME_T, &sentAfter) != CURLE_OK) sentAfter = 1;
    long headerBytes = 0;
    if (curl_easy_getinfo(watch->curl, CURLINFO_HEADER_SIZE, &headerBytes) != CURLE_OK) headerBytes = 0;
    const curl_off_t received = bodyBytes + headerBytes;
    if (sentAfter == 0 || received != watch->received) {
        watch->received = received;
        watch->lastByte = now;
        return 0;
    }
    if (now - watch->lastByte < watch->limit) return 0;
    watch->expired = true;
    return 1;
}

// libcurl calls it through exactly this type.
static_assert(std::is_same_v<decltype(&_watch_silence), curl_xferinfo_callback>,
              "the progress callback's type is libcurl's");

CURLcode _set_time_limits(CURL* curl, const HTTPTimeLimits& limits, SilenceWatch& watch)
{
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(limits.connect.count()));
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, _watch_silence);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &watch);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
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

HTTPResponse HTTPRequest::GET(const char* baseUrl, const std::map<std::string, std::string>& parameters,
                              const HTTPTimeLimits& limits)
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
    SilenceWatch watch{curl, limits.silence};
    if (rc == CURLE_OK) rc = _set_time_limits(curl, limits, watch);
    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
        rc = curl_easy_perform(curl);
    }
    if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    // A silent server is told as libcurl tells one it could not reach in time.
    if (rc == CURLE_ABORTED_BY_CALLBACK && watch.expired) rc = CURLE_OPERATION_TIMEDOUT;
    if (rc == CURLE_OPERATION_TIMEDOUT) throw HTTPTimeout(url, curl_easy_strerror(rc));
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}
