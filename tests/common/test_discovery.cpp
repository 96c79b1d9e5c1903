// test-labels: integration netns
// Link specifiers, the IPv4 helpers and TCP/IP discovery. Every case that
// opens a socket runs in a private network of its own: the host end of a veth
// pair here, the simulated devices in a second namespace behind the other end,
// so queries leave through a real (virtual) interface and never reach any
// other network.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/aDiscovery.h"
#include "tests/common/found_devices.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/netns.h"

namespace {

// One simulated network: this process's namespace with `links` veth pairs,
// whose far ends belong to the device namespace, where the responder answers
// for the given devices.
class TcpipDiscovery : public ::testing::Test {
protected:
    void start(std::vector<sim::DiscoveryAnswer> answers, int links = 1)
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
        device_ = std::make_unique<sim::NetworkHost>();
        ASSERT_TRUE(device_->ok()) << device_->error();
        std::vector<std::string> deviceAddresses;
        for (int i = 0; i < links; ++i) {
            std::string subnet = "10.77." + std::to_string(i) + ".";
            std::string hostEnd = "th" + std::to_string(i), deviceEnd = "td" + std::to_string(i);
            ASSERT_TRUE(sim::addVethPair(hostEnd, subnet + "1/24", deviceEnd, "", &why)) << why;
            ASSERT_TRUE(device_->adopt(deviceEnd, subnet + "2/24", &why)) << why;
            ASSERT_TRUE(sim::waitUntilUp(hostEnd, &why)) << why;
            hostAddresses_.push_back(sim::ipv4((subnet + "1").c_str()));
            deviceAddresses.push_back(subnet + "2");
        }
        device_->run([&] { responder_ = std::make_unique<sim::DiscoveryResponder>(answers, deviceAddresses); });
        ASSERT_TRUE(responder_->ok()) << responder_->error();
    }

    void TearDown() override
    {
        if (device_) device_->run([&] { responder_.reset(); });
    }

    std::unique_ptr<sim::NetworkHost> device_;
    std::unique_ptr<sim::DiscoveryResponder> responder_;
    std::vector<uint32_t> hostAddresses_;
};

const uint32_t kEveryInterface = sim::ipv4("127.0.0.1");

TEST_F(TcpipDiscovery, ReplyFieldsBecomeTheLinkSpecifier)
{
    start({{2, 0x1234, 0x12345678, 5}});
    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &found, kEveryInterface), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    const linkSpec& spec = found.specs[0];
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.moduleAddress, 2u);
    EXPECT_EQ(spec.routerAddress, 2u);
    EXPECT_EQ(spec.tcpPort, 0x1234u);
    EXPECT_EQ(spec.serialNumber, 0x12345678u);
    EXPECT_EQ(spec.routerSerialNumber, 0x12345678u);
    EXPECT_EQ(spec.model, 5u);
    EXPECT_EQ(spec.ipAddress, sim::ipv4("10.77.0.2"));
    // The query is 16 bytes with 1 first.
    auto queries = responder_->queryBytes();
    ASSERT_EQ(queries.size(), 1u);
    ASSERT_EQ(queries[0].size(), 16u);
    EXPECT_EQ(queries[0][0], 1);
}

TEST_F(TcpipDiscovery, ShortRepliesNeverCarryBytesOfAnEarlierOne)
{
    // A full reply, then one that ends before the serial number (ignored),
    // then one that ends before the model (model 255).
    start({{2, 0x1111, 0xAAAA0001, 5}, {4, 0x2222, 0xAAAA0002, 6, 6}, {6, 0x3333, 0xAAAA0003, 7, 12}});
    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &found, kEveryInterface), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    EXPECT_EQ(found.specs[0].serialNumber, 0xAAAA0001u);
    EXPECT_EQ(found.specs[1].serialNumber, 0xAAAA0003u);
    EXPECT_EQ(found.specs[1].moduleAddress, 6u);
    EXPECT_EQ(found.specs[1].model, 255u);
}

TEST_F(TcpipDiscovery, EachHostAddressSendsAQueryAndEveryReplyIsReported)
{
    start({{2, 9000, 0x0BADCAFE, 4}}, 2);
    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &found, kEveryInterface), 2);
    EXPECT_EQ(responder_->queries(), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    for (const linkSpec& spec : found.specs) EXPECT_EQ(spec.serialNumber, 0x0BADCAFEu);
}

TEST_F(TcpipDiscovery, AGivenInterfaceSendsOneQueryThroughIt)
{
    start({{2, 9000, 0x0BADCAFE, 4}}, 2);
    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &found, hostAddresses_[1]), 1);
    EXPECT_EQ(responder_->queries(), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].ipAddress, sim::ipv4("10.77.1.2"));
}

// Each enumeration in a network of its own: replies to an enumeration that
// ended early may still reach the next listener on the same port.
TEST_F(TcpipDiscovery, TheCallbackEndsTheEnumeration)
{
    start({{2, 1, 0x100, 4}, {4, 2, 0x200, 4}, {6, 3, 0x300, 4}});
    FoundDevices stopAtFirst;
    stopAtFirst.stopAfter = 0;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &stopAtFirst, kEveryInterface), 1);
    EXPECT_EQ(stopAtFirst.specs.size(), 1u);
}

TEST_F(TcpipDiscovery, OnlyDevicesTheCallbackCountsAreCounted)
{
    start({{2, 1, 0x100, 4}, {4, 2, 0x200, 4}, {6, 3, 0x300, 4}});
    FoundDevices uncounted;
    uncounted.count = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &uncounted, kEveryInterface), 0);
    EXPECT_EQ(uncounted.specs.size(), 3u);
}

// The count is 8 bits wide. The replies come in bursts that the callback lets
// through, since 300 at once would overflow the listener's receive buffer.
TEST_F(TcpipDiscovery, TheCountIsEightBitsWide)
{
    constexpr size_t kDevices = 300, kBurst = 50;
    std::vector<sim::DiscoveryAnswer> answers;
    for (uint32_t serial = 1; serial <= kDevices; ++serial) answers.push_back({2, 9000, serial, 4});
    start(answers);
    responder_->sendInBursts(kBurst);
    struct Tally {
        sim::DiscoveryResponder* responder;
        size_t seen;
    } tally{responder_.get(), 0};
    auto countAll = [](const linkSpec*, bool* counted, void* reference) {
        auto* t = static_cast<Tally*>(reference);
        *counted = true;
        if (++t->seen % kBurst == 0) t->responder->releaseBurst();
        return true;
    };
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, countAll, &tally, kEveryInterface), 44);
    EXPECT_EQ(tally.seen, kDevices);
}

std::atomic<bool> gSignalled{false};

// Whether the thread sits in recvfrom, as the kernel shows it.
bool inRecvfrom(long thread)
{
    std::ifstream current("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    return current >> number && number == SYS_recvfrom;
}

// A signal that interrupts the wait for replies does not end the enumeration:
// the second reply, sent only once the signal was handled, is reported too.
TEST_F(TcpipDiscovery, ASignalDoesNotEndTheWaitForReplies)
{
    start({{2, 1, 0x100, 4}, {4, 2, 0x200, 4}});
    responder_->sendInBursts(1);
    struct sigaction handler {}, previous{};
    handler.sa_handler = [](int) { gSignalled = true; }; // no SA_RESTART
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);

    struct Interrupter {
        sim::DiscoveryResponder* responder;
        pthread_t target;
        long targetId;
        std::thread thread;
        FoundDevices found;
    } interrupter{responder_.get(), pthread_self(), syscall(SYS_gettid), {}, {}};
    auto interruptAfterFirst = [](const linkSpec* spec, bool* counted, void* reference) {
        auto* self = static_cast<Interrupter*>(reference);
        FoundDevices::collect(spec, counted, &self->found);
        if (self->found.specs.size() == 1)
            self->thread = std::thread([self] {
                while (!inRecvfrom(self->targetId)) std::this_thread::yield();
                pthread_kill(self->target, SIGUSR1);
                while (!gSignalled) std::this_thread::yield();
                self->responder->releaseBurst();
            });
        return true;
    };
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, interruptAfterFirst, &interrupter, kEveryInterface), 2);
    if (interrupter.thread.joinable()) interrupter.thread.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(gSignalled);
    ASSERT_EQ(interrupter.found.specs.size(), 2u);
    EXPECT_EQ(interrupter.found.specs[1].serialNumber, 0x200u);
}

TEST_F(TcpipDiscovery, FindModuleTakesTheDeviceWithTheSerialNumber)
{
    start({{2, 1, 0, 4}, {4, 2, 0x200, 4}, {6, 3, 0x300, 21}});
    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x300, kEveryInterface);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->moduleAddress, 6u);
    EXPECT_EQ(spec->model, 21u);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
}

TEST_F(TcpipDiscovery, FindModuleOfAnAbsentSerialNumberIsNull)
{
    start({{2, 1, 0, 4}, {4, 2, 0x200, 4}});
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x999, kEveryInterface), nullptr);
}

TEST_F(TcpipDiscovery, FindFirstModulePassesOverSerialNumberZero)
{
    start({{2, 1, 0, 4}, {4, 2, 0x200, 4}, {6, 3, 0x300, 21}});
    linkSpec* spec = aDiscovery_FindFirstModule(TCPIP, kEveryInterface);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x200u);
    aLinkSpec_Destroy(&spec);
}

TEST(TcpipDiscoveryAlone, WithoutANonLoopbackAddressNothingIsSent)
{
    std::string why;
    ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, FoundDevices::collect, &found, kEveryInterface), 0);
    EXPECT_TRUE(found.specs.empty());
}

TEST(Discovery, TransportsWithoutEnumerationFindNothing)
{
    for (uint32_t type : {0u, 3u, 8u}) {
        FoundDevices found;
        EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), FoundDevices::collect, &found, kEveryInterface), 0)
            << type;
        EXPECT_TRUE(found.specs.empty());
    }
}

TEST(Discovery, InterfaceListHoldsTheHostsIPv4Addresses)
{
    std::string why;
    ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    ASSERT_TRUE(sim::addVethPair("ia0", "10.79.0.1/24", "ia1", "10.79.1.1/24", &why)) << why;
    uint32_t addresses[8] = {};
    size_t count = aDiscovery_GetIPv4Interfaces(addresses, 8);
    std::vector<uint32_t> listed(addresses, addresses + count);
    std::vector<uint32_t> expected{sim::ipv4("10.79.0.1"), sim::ipv4("10.79.1.1")};
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);

    uint32_t first = 0;
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(&first, 1), 1u);
    EXPECT_EQ(first, addresses[0]);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 8), 0u);
}

TEST(LinkSpec, CreateCopyDestroy)
{
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, SERIAL);
    EXPECT_EQ(spec->serialNumber, 0u);
    spec->baudRate = 115200;
    snprintf(spec->portName, sizeof spec->portName, "/dev/ttyS0");
    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(spec, copy, sizeof(linkSpec)), 0);
    aLinkSpec_Destroy(&spec);
    aLinkSpec_Destroy(&copy);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(Discovery, DottedInterfaceTextNeedsSixteenBytes)
{
    char text[16];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFF, text, 15), 0u);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFF, text, 16), 15u);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(sim::ipv4("10.0.0.7"), text, 16), 8u);
    EXPECT_STREQ(text, "10.0.0.7");
}

} // namespace
