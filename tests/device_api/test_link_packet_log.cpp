// test-labels: integration netns threaded
// The packet-log file of a Link and a Module to the simulated device (TCP on
// 127.0.0.1 of the test's own network namespace): its lines, its logger
// thread across disable, reconnection and teardown.
#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/aLinkTable.h"
#include "common/aPacketLog.h"
#include "device_api/Link.h"
#include "device_api/Module.h"
#include "tests/device_api/tcp_device.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;
using Clock = std::chrono::steady_clock;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x06;
const std::string kStartLine("6 < START\0\r\n", 12);

class LogFile {
public:
    explicit LogFile(const char* name)
        : path_(std::string(TESS_BINARY_DIR) + "/" + name + "." + std::to_string(getpid()) + ".log")
    {
        std::remove(path_.c_str());
    }
    ~LogFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }
    // The file but for lines of force route on: the writer may still be
    // sending it when a test enables the log just after connecting.
    std::string contents() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::string text = all.str();
        const std::string forceRouteOn = "3 > 0xAF 0x1 0x1 \r\n";
        for (size_t at = text.find(forceRouteOn); at != std::string::npos; at = text.find(forceRouteOn, at))
            text.erase(at, forceRouteOn.size());
        return text;
    }
    // Waits until the file holds the text.
    ::testing::AssertionResult holds(const std::string& text, int timeoutMs = 3000) const
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (contents().find(text) == std::string::npos) {
            if (Clock::now() > deadline)
                return ::testing::AssertionFailure() << "no \"" << text << "\" in \"" << contents() << "\"";
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return ::testing::AssertionSuccess();
    }

private:
    std::string path_;
};

class PacketLogFile : public apitest::TcpDevice {
protected:
    PacketLogFile() : TcpDevice(kModule) {}
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, link.setConfig(unshared()));
        ASSERT_EQ(aErrNone, link.connect());
    }
    aLinkId linkId() const
    {
        aLinkEntry* entry = sLookupEntryByIdentifier(apitest::kSerial, TCPIP);
        return entry ? entry->id : 0;
    }
    void send(uint8_t command, std::vector<uint8_t> data)
    {
        ASSERT_EQ(aErrNone, link.sendPacket(kModule, command, static_cast<uint8_t>(data.size()), data.data()));
    }

    LogFile file{"packets"};
    Link link{spec(), "logged"};
};

TEST_F(PacketLogFile, OneLinePerPacketAfterTheStartMarker)
{
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    send(0x49, {0x20, 0x01});
    ASSERT_TRUE(file.holds("5 > 0x6 0x3 0x49 0x20 0x1 \r\n"));
    // The echo may be recorded coming back before it is recorded going out.
    send(sim::kEchoCommand, {0xAB});
    ASSERT_TRUE(file.holds("4 < 0x6 0x2 0x17 0xAB \r\n"));
    ASSERT_TRUE(file.holds("4 > 0x6 0x2 0x17 0xAB \r\n"));
    EXPECT_EQ(file.contents().rfind(kStartLine + "5 > 0x6 0x3 0x49 0x20 0x1 \r\n", 0), 0u);
    EXPECT_EQ(file.contents().size(), kStartLine.size() + std::string("5 > 0x6 0x3 0x49 0x20 0x1 \r\n").size()
                                          + 2 * std::string("4 > 0x6 0x2 0x17 0xAB \r\n").size());
}

TEST_F(PacketLogFile, DisabledLoggerKeepsRecordsForTheNextEnable)
{
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds(kStartLine));
    ASSERT_EQ(aErrNone, link.disablePacketLog());
    send(0x30, {1});
    ASSERT_TRUE(received(sim::Packet{kModule, {0x30, 1}}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(file.contents(), kStartLine);

    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds(kStartLine + "4 > 0x6 0x2 0x30 0x1 \r\n" + kStartLine));
}

// A marker longer than the logger's usual buffer, then a packet: neither stays
// stuck in the ring.
TEST_F(PacketLogFile, LongMarkersAreWrittenWhole)
{
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    std::string marker(100, 'x');
    ASSERT_EQ(aErrNone, aLink_PacketDebug_Write(linkId(), 3, static_cast<int32_t>(marker.size()),
                                                reinterpret_cast<const uint8_t*>(marker.data())));
    send(0x30, {2});
    ASSERT_TRUE(file.holds("100 < " + marker + "\r\n4 > 0x6 0x2 0x30 0x2 \r\n"));
}

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// Whether the process holds the file open.
bool isOpen(const char* path)
{
    char wanted[PATH_MAX];
    if (!realpath(path, wanted)) return false;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return false;
    bool found = false;
    while (dirent* fd = readdir(fds)) {
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + fd->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        found = found || std::strcmp(target, wanted) == 0;
    }
    closedir(fds);
    return found;
}

// A disconnect stops the logger and closes its file; a new connection's
// enable logs the new link.
TEST_F(PacketLogFile, LoggerFollowsTheLinkAcrossAReconnection)
{
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds(kStartLine));
    EXPECT_TRUE(isOpen(file.path()));
    ASSERT_EQ(aErrNone, link.disconnect());
    EXPECT_FALSE(isOpen(file.path()));
    double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpuSeconds() - before, 0.15) << "the logger spins without a log";

    EXPECT_EQ(aErrConfiguration, link.enablePacketLog(file.path()));
    EXPECT_EQ(aErrConfiguration, link.disablePacketLog());
    ASSERT_EQ(aErrNone, link.connect());
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    send(0x30, {3});
    ASSERT_TRUE(file.holds(kStartLine + kStartLine + "4 > 0x6 0x2 0x30 0x3 \r\n"));
}

// A reset makes the link's packet log afresh: logging goes on into the file.
TEST_F(PacketLogFile, LoggingGoesOnAfterAReset)
{
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds(kStartLine));
    ASSERT_EQ(aErrNone, link.reset());
    ASSERT_TRUE(carrier.waitForConnections(2, 2000));
    send(0x30, {6});
    EXPECT_TRUE(file.holds("4 > 0x6 0x2 0x30 0x6 \r\n"));
}

// The records of one link go to one file: while one Link on it logs, another
// can neither log it to a file of its own nor stop the first.
TEST_F(PacketLogFile, OneLinkIsLoggedToOneFile)
{
    Link sharer(spec(), "sharer");
    ASSERT_EQ(aErrNone, sharer.setConfig(unshared()));
    ASSERT_EQ(aErrNone, sharer.connectThroughLinkModule(link));
    LogFile second{"second"};
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    EXPECT_EQ(aErrBusy, sharer.enablePacketLog(second.path()));
    EXPECT_EQ(aErrBusy, sharer.disablePacketLog());
    std::string lines = kStartLine;
    for (uint8_t i = 0; i < 6; i++) {
        send(0x30, {i});
        lines += "4 > 0x6 0x2 0x30 0x" + std::to_string(i) + " \r\n";
    }
    EXPECT_TRUE(file.holds(lines));
    EXPECT_EQ(std::string(), second.contents());

    // Once the first stops, the other may log.
    ASSERT_EQ(aErrNone, link.disablePacketLog());
    ASSERT_EQ(aErrNone, sharer.enablePacketLog(second.path()));
    EXPECT_TRUE(second.holds(kStartLine));
}

TEST_F(PacketLogFile, FileThatCannotBeOpenedIsReported)
{
    EXPECT_EQ(aErrIO, link.enablePacketLog("/nonexistent-folder/packets.log"));
    // The ring is made and records; a later enable with a good path logs them.
    send(0x30, {4});
    ASSERT_TRUE(received(sim::Packet{kModule, {0x30, 4}}));
    ASSERT_EQ(aErrNone, link.enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds("4 > 0x6 0x2 0x30 0x4 \r\n" + kStartLine));
}

// The logger goes with its Link, running or not.
TEST_F(PacketLogFile, LinkGoesWithItsLoggerRunning)
{
    auto other = std::make_unique<Link>(spec(), "second");
    ASSERT_EQ(aErrNone, other->setConfig(unshared()));
    ASSERT_EQ(aErrNone, other->connect());
    ASSERT_EQ(aErrNone, other->enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds(kStartLine));
    other.reset();
    send(0x30, {5}); // the shared link lives on, without a logger
    ASSERT_TRUE(received(sim::Packet{kModule, {0x30, 5}}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(file.contents(), kStartLine);
}

TEST_F(PacketLogFile, ModulePassesTheCallsToItsLink)
{
    Module module(kModule, 0);
    EXPECT_EQ(aErrConfiguration, module.enablePacketLog(file.path()));
    EXPECT_EQ(aErrConfiguration, module.disablePacketLog());
    ASSERT_EQ(aErrNone, module.setConfig(unshared()));
    ASSERT_EQ(aErrNone, module.connectFromSpec(spec()));
    ASSERT_EQ(aErrNone, module.enablePacketLog(file.path()));
    ASSERT_TRUE(file.holds(kStartLine));
    EXPECT_EQ(aErrNone, module.disablePacketLog());
}

} // namespace
