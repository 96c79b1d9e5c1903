// test-labels: integration netns
// The update-server client against the stand-in server over HTTP and HTTPS:
// the exact query strings, the reading of good replies, every kind of bad
// reply turned into a false result with its reason in the debug log, and the
// waits on a server that has gone silent.
#include "engine/Base64.h"
#include "engine/HTTPRequest.h"
#include "engine/Log.h"
#include "engine/UpdateServerRequest.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/private_network.h"
#include "tests/sim/quiet_listener.h"
#include "tests/sim/update_server_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

// The server-communication trace of the debug log while it lives.
class Trace {
public:
    Trace() : file_(tmpfile())
    {
        Log::SetOutput(file_);
        Log::ActivatePackage(DEBUG_ServerComm);
    }
    ~Trace()
    {
        Log::DeactivatePackage(DEBUG_ServerComm);
        Log::SetOutput(nullptr);
        fclose(file_);
    }
    std::string text() const
    {
        fflush(file_);
        std::string all;
        rewind(file_);
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, file_)) > 0;) all.append(chunk, n);
        return all;
    }

private:
    FILE* file_;
};

size_t count(const std::string& text, const std::string& piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

std::string decoded(const std::string& text)
{
    size_t length = 0;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
    if (!bytes) return "(not base64)";
    std::string result(reinterpret_cast<const char*>(bytes), length);
    free(bytes);
    return result;
}

const unsigned SERIAL = 0x40F5849A;
const uint32_t FINGERPRINT[4] = {1, 2, 3, 0xDEADBEEF};

// A server that knows one device with two builds, and one chip identifier.
struct Served {
    explicit Served(sim::UpdateServer::Scheme scheme = sim::UpdateServer::Scheme::Http,
                    const std::string& certNames = "IP:127.0.0.1,DNS:localhost")
        : server(scheme, certNames)
    {
        server.addBuild(SERIAL, 7, build7);
        server.addBuild(SERIAL, 12, sim::sampleBird(SERIAL, 12, "Korvel", "2.10.4").file());
        server.setFamily(SERIAL, "B");
        server.addRecovery(FINGERPRINT, 0x1234ABCD, 12);
    }
    std::string url() const { return server.url(); }
    const char* c_url() const { return urlText.c_str(); }

    std::vector<uint8_t> build7 = sim::sampleBird(SERIAL, 7, "Korvel", "2.9.0").file();
    sim::UpdateServer server;
    std::string urlText = server.url();
};

class Queries : public ::testing::TestWithParam<sim::UpdateServer::Scheme> {};

TEST_P(Queries, AnswersEveryQueryAndSendsExactQueryStrings)
{
    Served s(GetParam());
    const char* url = s.c_url();

    EXPECT_TRUE(UpdateServerRequest::ping(url));

    std::string latest, family;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, url));
    EXPECT_EQ(latest, "12");
    EXPECT_EQ(family, "B");

    std::string data = "stale";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "B", "7", data, url, false));
    EXPECT_EQ(decoded(data), std::string(s.build7.begin(), s.build7.end()));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "B", "12", data, url, true));

    std::map<std::string, std::string> builds = {{"stale", "1.0.0"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, url));
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"12", "2.10.4"}, {"7", "2.9.0"}}));

    unsigned serial = 0, build = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, url));
    EXPECT_EQ(serial, 0x1234ABCDu);
    EXPECT_EQ(build, 12u);

    EXPECT_EQ(s.server.queries(), (std::vector<std::string>{
                                      "op=hi&rv=2&",
                                      "op=qu&sn=40F5849A&",
                                      "bld=7&fw=B&no_cal=false&op=bird&sn=40F5849A&",
                                      "bld=12&fw=B&no_cal=true&op=bird&sn=40F5849A&",
                                      "op=builds&sn=40F5849A&",
                                      "brief=true&fp=00000001%2000000002%2000000003%20DEADBEEF&op=fix&",
                                  }));
    EXPECT_EQ(s.server.requestLines().front(), "GET /cgi/u?op=hi&rv=2& HTTP/1.1");

    // The certificate names localhost as well as the address.
    EXPECT_TRUE(UpdateServerRequest::ping(s.server.url("localhost").c_str()));
}

INSTANTIATE_TEST_SUITE_P(UpdateServer, Queries,
                         ::testing::Values(sim::UpdateServer::Scheme::Http, sim::UpdateServer::Scheme::Https),
                         [](const auto& param) {
                             return param.param == sim::UpdateServer::Scheme::Http ? "Http" : "Https";
                         });

TEST(UpdateServerHttps, CertificateForAnotherHostIsRefused)
{
    Served s(sim::UpdateServer::Scheme::Https, "DNS:updates.example");
    Trace trace;
    std::string latest = "keep", family = "keep";
    EXPECT_FALSE(UpdateServerRequest::ping(s.c_url()));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, s.c_url()));
    EXPECT_EQ(latest, "keep");
    EXPECT_TRUE(s.server.requestLines().empty());
    EXPECT_NE(trace.text().find("QueryBuild ==> [SSL peer certificate or SSH remote key was not OK]"),
              std::string::npos)
        << trace.text();
}

// Runs all five queries; each must fail and leave its outputs as documented.
void expectEveryQueryFails(const char* url, const HTTPTimeLimits& limits = HTTPTimeLimits())
{
    EXPECT_FALSE(UpdateServerRequest::ping(url, limits));
    std::string latest = "keep", family = "keep";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, url, limits));
    EXPECT_EQ(latest, "keep");
    EXPECT_EQ(family, "keep");
    std::string data = "keep";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(SERIAL, "B", "7", data, url, false, limits));
    EXPECT_EQ(data, "keep");
    std::map<std::string, std::string> builds = {{"1", "1.0.0"}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(SERIAL, builds, url, limits));
    EXPECT_TRUE(builds.empty());
    unsigned serial = 5, build = 6;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, url, limits));
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(build, 6u);
}

TEST(UpdateServerFaults, EveryQueryFailsOnABadReplyAndTracesWhy)
{
    Served s;
    const std::string goodQuery = s.url() + "?op=hi&rv=2&";
    const struct {
        std::string fault;
        std::string queryBuildTrace; // what QueryBuild leaves in the trace
        std::string pingTrace;
    } cases[] = {
        {R"({"status": 404})", "QueryBuild ==> [404] [fault 404", "PING ==> [404]"},
        {R"({"status": 500})", "QueryBuild ==> [500]", "PING ==> [500]"},
        // Redirects are not followed, even to a good answer.
        {R"({"status": 302, "location": ")" + goodQuery + R"("})", "QueryBuild ==> [302] [moved",
         "PING ==> [302]"},
        {R"({"body": ""})", "ServerCommClass: QueryBuild failed [" + s.url() + "?op=qu&sn=40F5849A&]",
         "ServerCommClass: ping failed"},
        {R"({"body": "\n\n"})", "ServerCommClass: QueryBuild failed", "ServerCommClass: ping failed"},
        {R"({"first": "OK"})", "ServerCommClass: QueryBuild failed", "ServerCommClass: ping failed"},
        {R"({"first": " ok"})", "ServerCommClass: QueryBuild failed", "ServerCommClass: ping failed"},
        {R"({"first": "error"})", "ServerCommClass: QueryBuild failed", "ServerCommClass: ping failed"},
        {R"({"cut": true})", "QueryBuild ==> [Transferred a partial file]", "ping ==> [Transferred a partial file]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        s.server.setFaults(R"({"*": )" + c.fault + "}");
        Trace trace;
        expectEveryQueryFails(s.c_url());
        EXPECT_NE(trace.text().find(c.queryBuildTrace), std::string::npos) << trace.text();
        EXPECT_NE(trace.text().find(c.pingTrace), std::string::npos) << trace.text();
    }
}

TEST(UpdateServerFaults, NoServerIsATransportFailure)
{
    std::string url;
    {
        sim::UpdateServer gone;
        url = gone.url();
    }
    EXPECT_THROW(HTTPRequest::GET(url.c_str(), {{"op", "hi"}}), std::runtime_error);
    Trace trace;
    expectEveryQueryFails(url.c_str());
    EXPECT_NE(trace.text().find("QueryBuild ==> [Couldn't connect to server]"), std::string::npos) << trace.text();
}

TEST(UpdateServerReplies, LinesAreReadAsTheServerWritesThem)
{
    Served s;
    const char* url = s.c_url();
    auto answer = [&](const char* op, const std::string& body) {
        s.server.setFaults(std::string("{\"") + op + "\": {\"body\": \"" + body + "\"}}");
    };

    std::string latest, family;
    answer("qu", R"(ok\n12345\r\nabc\r\n)");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, url));
    EXPECT_EQ(latest, "12345\r");
    EXPECT_EQ(family, "abc");
    answer("qu", R"(\n\nokay\n\n77\n\n\nF)");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, url));
    EXPECT_EQ(latest, "77");
    EXPECT_EQ(family, "F");
    answer("qu", R"(ok\n)");
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, url));
    EXPECT_EQ(latest, "77");
    EXPECT_EQ(family, "F");

    std::map<std::string, std::string> builds;
    answer("builds", R"(ok\n1234;2.10.4\n\n12;1.0.0\nab\n5678\n1234;9.9.9\n)");
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, url));
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1234", "2.10.4"}, {"12", "1.0.0"}, {"5678", ""}}));

    std::string data = "keep";
    answer("bird", R"(ok\n)");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "B", "7", data, url, false));
    EXPECT_EQ(data, "");

    unsigned serial = 0, build = 0;
    answer("fix", R"(ok\n40F5849A\n010\n)");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, url));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 8u);
    answer("fix", R"(ok\n0x2181F0EE\n0x10\n)");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, url));
    EXPECT_EQ(serial, 0x2181F0EEu);
    EXPECT_EQ(build, 16u);
    answer("fix", R"(ok\nFFFFFFFF\n)");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, url));
    EXPECT_EQ(serial, 0xFFFFFFFFu);
    EXPECT_EQ(build, 16u);
}

TEST(UpdateServerReplies, CrLfLineEndsAreReadLikeLineFeeds)
{
    Served s;
    const char* url = s.c_url();
    s.server.setFaults(R"({"*": {"crlf": true}})");

    EXPECT_TRUE(UpdateServerRequest::ping(url));
    std::string latest, family;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, latest, family, url));
    EXPECT_EQ(std::strtoul(latest.c_str(), nullptr, 10), 12u);
    EXPECT_EQ(family, "B");
    std::string data;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "B", "7", data, url, false));
    EXPECT_EQ(decoded(data), std::string(s.build7.begin(), s.build7.end()));
    std::map<std::string, std::string> builds;
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, url));
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"12", "2.10.4"}, {"7", "2.9.0"}}));
    unsigned serial = 0, build = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, url));
    EXPECT_EQ(serial, 0x1234ABCDu);
    EXPECT_EQ(build, 12u);
}

TEST(UpdateServerReplies, DamagedFirmwareTextDoesNotDecode)
{
    Served s;
    for (const char* fault : {R"({"truncate": 1})", R"({"truncate": 3})", R"({"corrupt": true})"}) {
        SCOPED_TRACE(fault);
        s.server.setFaults(std::string(R"({"bird": )") + fault + "}");
        std::string data;
        ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "B", "7", data, s.c_url(), false));
        EXPECT_FALSE(data.empty());
        EXPECT_EQ(decoded(data), "(not base64)");
    }
}

// A build number or serial number that does not fit in 32 bits fails the
// query that carries it; the largest 32-bit ones pass. (A build list leaves
// such an entry out: below.)
TEST(UpdateServerReplies, NumbersOutsideThirtyTwoBitsFailTheQuery)
{
    Served s;
    const struct {
        const char* op;
        const char* lines; // the reply's lines after "ok"
        bool answered;
    } cases[] = {
        {"qu", R"(["4294967295", "B"])", true},
        {"qu", R"(["none", "B"])", true}, // no number: the caller reads it as no build
        {"qu", R"(["4294967296", "B"])", false},
        {"qu", R"(["99999999999999999999999", "B"])", false},
        {"qu", R"(["-1", "B"])", false},
        {"qu", R"([" +", "B"])", false},
        {"fix", R"(["FFFFFFFF", "4294967295"])", true},
        {"fix", R"(["1FFFFFFFF", "5"])", false},
        {"fix", R"(["40F5849A", "4294967296"])", false},
        {"fix", R"(["40F5849A", "0x100000000"])", false},
        {"fix", R"(["-1", "5"])", false},
        {"fix", R"(["40F5849A", "-7"])", false},
        {"fix", R"(["serial", "5"])", false},
        {"fix", R"(["40F5849A", "latest"])", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + c.lines);
        s.server.setFaults(std::string(R"({")") + c.op + R"(": {"lines": )" + c.lines + "}}");
        const std::string op = c.op;
        if (op == "qu") {
            std::string latest = "keep", family = "keep";
            EXPECT_EQ(UpdateServerRequest::QueryBuild(SERIAL, latest, family, s.c_url()), c.answered);
            if (!c.answered) {
                EXPECT_EQ(latest, "keep");
                EXPECT_EQ(family, "keep");
            }
        } else {
            unsigned serial = 5, build = 6;
            EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &serial, &build, s.c_url()), c.answered);
            EXPECT_EQ(serial, c.answered ? 0xFFFFFFFFu : 5u);
            EXPECT_EQ(build, c.answered ? 0xFFFFFFFFu : 6u);
        }
    }
}

// An entry whose build number the client cannot take is left out of the
// list, and the others stay; text that is no number at all is kept as the
// server sent it.
TEST(UpdateServerReplies, BuildListEntryThatNamesNoBuildIsLeftOut)
{
    Served s;
    using Builds = std::map<std::string, std::string>;
    const struct {
        const char* lines; // the reply's lines after "ok"
        Builds expected;
    } cases[] = {
        {R"(["4294967295;2.10.4", "x;1.0.0"])", {{"4294967295", "2.10.4"}, {"x", "1.0.0"}}},
        {R"(["12;2.10.4", "4294967296;1.0.0", "99999999999999999999999;1.0.1", "1234;2.15.3"])",
         {{"12", "2.10.4"}, {"1234", "2.15.3"}}},
        {R"(["-12;2.10.4", "+;1.0.0", " -7;1.0.0", "1234;2.15.3"])", {{"1234", "2.15.3"}}},
        {R"(["-12;2.10.4"])", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        s.server.setFaults(std::string(R"({"builds": {"lines": )") + c.lines + "}}");
        Builds builds{{"stale", ""}};
        EXPECT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, s.c_url()));
        EXPECT_EQ(builds, c.expected);
    }
}

TEST(UpdateServerSlow, ASlowReplyInPiecesArrivesWhole)
{
    Served s(sim::UpdateServer::Scheme::Https);
    s.server.setFaults(R"({"bird": {"delay": 0.1, "chunks": 4}})");
    Trace trace;
    std::string data;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "B", "7", data, s.c_url(), false));
    EXPECT_EQ(decoded(data), std::string(s.build7.begin(), s.build7.end()));
    EXPECT_GE(count(trace.text(), "rcv_data called"), 4u);
}

// Limits far shorter than the program's, so that a silent server is given up
// on at once; the program's own are shown by its tests.
const HTTPTimeLimits kShortLimits{std::chrono::seconds(1), std::chrono::seconds(1)};
// Well past the short limits, and short of the program's.
constexpr auto kGivenUpWithin = std::chrono::seconds(10);

// The line that tells a server given up, whatever packages are enabled.
std::string gaveUpLine(const std::string& url, const std::string& asked)
{
    return "Update server " + url + " did not answer in time: " + asked + " (Timeout was reached)\n";
}

TEST(UpdateServerSilence, DeadServerIsGivenUpAndTold)
{
    sim::QuietListener full(sim::QuietListener::Queue::Full);
    sim::QuietListener hung;
    Served stalled;
    stalled.server.setFaults(R"({"hi": {"stall": 30}})");
    Served mute(sim::UpdateServer::Scheme::Https);
    mute.server.setFaults(R"({"hi": {"delay": 30}})");
    const struct {
        const char* name;
        std::string url;
    } cases[] = {
        {"never reached", full.url()},
        {"connection taken, the request never answered", hung.url()},
        {"connection taken, the TLS handshake never answered", hung.url("https")},
        // What a server that ignored the limits would show instead: an
        // answer, or a reply cut short, 30 s on.
        {"half the reply, then nothing", stalled.url()},
        {"request read over TLS, then nothing", mute.url()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Trace trace;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(UpdateServerRequest::ping(c.url.c_str(), kShortLimits));
        EXPECT_LT(std::chrono::steady_clock::now() - start, kGivenUpWithin);
        EXPECT_NE(trace.text().find(gaveUpLine(c.url, "ping [?op=hi&rv=2&]")), std::string::npos) << trace.text();
    }
}

// One request path serves every query, the firmware download and the
// recovery look-up included.
TEST(UpdateServerSilence, EveryQueryGivesUpOnAServerThatReadsTheRequestAndSaysNothing)
{
    Served s;
    s.server.setFaults(R"({"*": {"delay": 30}})");
    Trace trace;
    expectEveryQueryFails(s.c_url(), kShortLimits);
    for (const char* asked : {"ping [?op=hi&rv=2&]", "QueryBuild [?op=qu&sn=40F5849A&]",
                              "GetBuild [?bld=7&fw=B&no_cal=false&op=bird&sn=40F5849A&]",
                              "GetBuildList [?op=builds&sn=40F5849A&]",
                              "GetRecoveryInfo [?brief=true&fp=00000001%2000000002%2000000003%20DEADBEEF&op=fix&]"})
        EXPECT_NE(trace.text().find(gaveUpLine(s.url(), asked)), std::string::npos) << asked << "\n" << trace.text();
}

// Silence is counted from the last byte, not averaged: a reply slower than a
// byte a second whose pauses are each shorter than the limit arrives whole,
// although the first byte and the whole transfer take longer than the limit.
TEST(UpdateServerSilence, ServerThatKeepsSendingIsNeverCutOff)
{
    Served s;
    s.server.setFaults(R"({"hi": {"body": "ok!", "delay": 1.5, "chunks": 3}})");
    const HTTPTimeLimits limits{std::chrono::seconds(1), std::chrono::seconds(3)};
    const auto start = std::chrono::steady_clock::now();
    const HTTPResponse reply = HTTPRequest::GET(s.c_url(), {{"op", "hi"}}, limits);
    EXPECT_GT(std::chrono::steady_clock::now() - start, limits.silence);
    EXPECT_EQ(reply.get_status(), 200);
    EXPECT_EQ(reply.get_response(), "ok!");
}

TEST(HTTPRequestGet, BuildsTheUrlAndReturnsAnyStatus)
{
    Served s;
    const HTTPResponse plain = HTTPRequest::GET(s.c_url(), {});
    EXPECT_EQ(plain.get_request(), s.url());
    EXPECT_EQ(plain.get_status(), 200);
    EXPECT_EQ(s.server.requestLines().back(), "GET /cgi/u HTTP/1.1");

    // Values go out unescaped, in key order, each pair closed by "&".
    const HTTPResponse odd = HTTPRequest::GET(s.c_url(), {{"z", "1"}, {"a", "x%20y"}, {"m", ""}});
    EXPECT_EQ(odd.get_request(), s.url() + "?a=x%20y&m=&z=1&");
    EXPECT_EQ(s.server.queries().back(), "a=x%20y&m=&z=1&");

    const HTTPResponse missing = HTTPRequest::GET((s.url() + "/elsewhere").c_str(), {{"op", "hi"}});
    EXPECT_EQ(missing.get_status(), 404);
    EXPECT_EQ(missing.get_response(), "not found\n");
}

TEST(HTTPRequestGet, WriteCallbackAppendsAndTracesOnlyTheChunk)
{
    Trace trace;
    HTTPResponse response("u");
    // Exactly sized chunks with no terminator after them, as libcurl hands them over.
    char* small = static_cast<char*>(malloc(3));
    memcpy(small, "abc", 3);
    EXPECT_EQ(_rcv_data(small, 1, 3, &response), 3u);
    free(small);
    std::string long_(150, 'x');
    long_[99] = 'y';
    char* big = static_cast<char*>(malloc(long_.size()));
    memcpy(big, long_.data(), long_.size());
    EXPECT_EQ(_rcv_data(big, 50, 3, &response), 150u);
    free(big);

    EXPECT_EQ(response.get_response(), "abc" + long_);
    EXPECT_NE(trace.text().find("[abc]\nrcv_data returns 3\n"), std::string::npos) << trace.text();
    EXPECT_NE(trace.text().find("[" + long_.substr(0, 100) + "]\nrcv_data returns 150\n"), std::string::npos);
}

} // namespace
