// test-labels: integration netns threaded
// The Module object over TCP to the simulated device (127.0.0.1 of the test's
// own network namespace): learning the module address after a direct
// connection, reconnecting, joining a routing device's link, module
// information (command 0x49) and the echo test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "common/aLinkTable.h"
#include "device_api/Module.h"
#include "tests/device_api/tcp_device.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::kBuild;
using apitest::kSerial;
using apitest::unshared;
using sim::Packet;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

size_t addressQueries(const sim::DeviceModel& device)
{
    std::vector<Packet> packets = device.records().packets;
    return static_cast<size_t>(
        std::count(packets.begin(), packets.end(), Packet{sim::kAddressQuery, {}}));
}

// The device answers at 0x06; the Module starts out sending to 0x02.
class ModuleAt6 : public apitest::TcpDevice {
protected:
    ModuleAt6() : TcpDevice(0x06) {}
    void SetUp() override { ASSERT_EQ(aErrNone, module.setConfig(unshared())); }

    Module module{0x02, 0};
};

TEST_F(ModuleAt6, DirectConnectionLearnsTheModuleAddress)
{
    ASSERT_EQ(aErrNone, module.connectFromSpec(spec()));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(kLinkStatusRunning, module.getStatus());
    EXPECT_EQ(0x06, module.getModuleAddress());
    EXPECT_EQ(1u, addressQueries(device));
    EXPECT_EQ(aErrBusy, module.connectFromSpec(spec()));

    // Reconnecting needs the link given back first; it learns the address again.
    module.setModuleAddress(0x02);
    EXPECT_EQ(aErrConnection, module.reconnect());
    EXPECT_EQ(aErrNone, module.disconnect());
    EXPECT_FALSE(module.isConnected());
    ASSERT_EQ(aErrNone, module.reconnect());
    EXPECT_TRUE(carrier.waitForConnections(2, 2000));
    EXPECT_EQ(0x06, module.getModuleAddress());
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aErrNone, module.debug(bytes, sizeof bytes));
}

TEST_F(ModuleAt6, WithoutAutoNetworkingTheAddressStays)
{
    Module manual(0x04, false, 0);
    ASSERT_EQ(aErrNone, manual.setConfig(unshared()));
    size_t before = addressQueries(device);
    ASSERT_EQ(aErrNone, manual.connectFromSpec(spec()));
    EXPECT_EQ(0x04, manual.getModuleAddress());
    EXPECT_EQ(before, addressQueries(device));
}

// Four queries of a second each, 5 ms apart; the link stays up.
TEST_F(ModuleAt6, UnansweredAddressQueriesFailTheConnectButKeepTheLink)
{
    device.setAddressHandler(sim::kAddressQuery, [](sim::DeviceModel&, const Packet&) {});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNotReady, module.connectFromSpec(spec()));
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed.count(), 4 * 1000 - 20);
    EXPECT_LT(elapsed.count(), 6000);
    EXPECT_EQ(4u, addressQueries(device));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(0x02, module.getModuleAddress());
}

TEST(UnconnectedModule, RefusesWhatNeedsAConnection)
{
    Module module(0x02, 0);
    uint32_t build = 0;
    uint8_t count = 7;
    const uint8_t byte = 1;
    EXPECT_EQ(aErrParam, module.connect(USB, 0));
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(kLinkStatusFault, module.getStatus());
    EXPECT_EQ(aErrParam, module.getBuild(nullptr));
    EXPECT_EQ(aErrConnection, module.getBuild(&build));
    EXPECT_EQ(aErrConnection, module.hasUEI(3, 1, 0, 0x40));
    EXPECT_EQ(aErrConnection, module.classQuantity(3, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(aErrParam, module.subClassQuantity(3, 0, nullptr));
    EXPECT_EQ(aErrParam, module.entityGroup(3, 0, nullptr));
    EXPECT_EQ(aErrConnection, module.debug(&byte, 1));
    linkSpec spec{};
    EXPECT_EQ(aErrNotFound, module.getLinkSpecifier(&spec));
    EXPECT_EQ(aErrParam, module.getConfig(nullptr));
    EXPECT_EQ(aErrConfiguration, module.reconnect());
    EXPECT_EQ(aErrNone, module.disconnect());
}

class ConnectedModule : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, module.setConfig(unshared()));
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec()));
    }

    Module module{0x02, 0};
};

TEST_F(ConnectedModule, ConfigurationIsFixedWhileConnected)
{
    aVorneConfig config;
    EXPECT_EQ(aErrNone, module.getConfig(&config));
    EXPECT_EQ(0, config.enabled);
    EXPECT_EQ(aErrMode, module.setConfig(unshared()));
    linkSpec stored{};
    EXPECT_EQ(aErrNone, module.getLinkSpecifier(&stored));
    EXPECT_EQ(TCPIP, stored.type);
    EXPECT_EQ(carrier.port(), stored.tcpPort);
}

TEST_F(ConnectedModule, ModuleInformation)
{
    entities.setValue(3, 0, 1, sim::UeiType::Byte, {2});
    entities.setOption(3, 0, 11, sim::UeiType::None, {}, [](const sim::UeiRequest&) { return sim::UeiAnswer::none(); });
    entities.setValue(8, 0, 1, sim::UeiType::Byte, {0});
    entities.setValue(8, 1, 1, sim::UeiType::Byte, {0});
    info.setSubClassQuantity(8, 1, 5);
    info.setEntityGroup(8, 1, 9);

    uint32_t build = 0;
    EXPECT_EQ(aErrNone, module.getBuild(&build));
    EXPECT_EQ(kBuild, build);
    EXPECT_TRUE(received(Packet{0x02, {0x49, 0xFF}}));

    struct Case {
        uint8_t command, option, index, flags;
        aErr expected;
    } cases[] = {
        {3, 1, 0, 0x40, aErrNone},         {3, 1, 0, 0x00, aErrNone},
        {3, 11, 0, 0x80, aErrNone},        {3, 11, 0, 0x40, aErrPermission},
        {3, 12, 0, 0x40, aErrInvalidOption}, {4, 1, 0, 0x40, aErrInvalidEntity},
        {3, 1, 0, 0xC0, aErrParam},        {3, 1, 0, 0x01, aErrParam},
        {3, 1, 0, 0x60, aErrParam},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, module.hasUEI(c.command, c.option, c.index, c.flags))
            << int(c.option) << " " << int(c.flags);
    EXPECT_TRUE(received(Packet{0x02, {0x49, 1, 3, 11, 0, 0x80}}));
    // Refused flags send nothing: six questions went out.
    std::vector<Packet> packets = device.records().packets;
    EXPECT_EQ(6, std::count_if(packets.begin(), packets.end(),
                               [](const Packet& p) { return p.data.size() > 1 && p.data[0] == 0x49 && p.data[1] == 1; }));

    uint8_t count = 0;
    EXPECT_EQ(aErrNone, module.classQuantity(8, &count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(aErrNone, module.classQuantity(3, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(aErrNone, module.subClassQuantity(8, 1, &count));
    EXPECT_EQ(5, count);
    uint8_t group = 0;
    EXPECT_EQ(aErrNone, module.entityGroup(8, 1, &group));
    EXPECT_EQ(9, group);
}

// A reply to the question asked that is cut short or too long is refused.
TEST_F(ConnectedModule, RepliesThatDoNotFitTheQuestion)
{
    uint32_t build = 0;
    uint8_t count = 0;
    struct Case {
        std::vector<uint8_t> reply;
        std::function<aErr()> ask;
        aErr expected;
    } cases[] = {
        {{0x49, 0xFF, 0, 0, 1}, [&] { return module.getBuild(&build); }, aErrSize},
        {{0x49, 4, 8}, [&] { return module.classQuantity(8, &count); }, aErrUnknown},
        {{0x49, 5, 8, 1, 3, 3}, [&] { return module.subClassQuantity(8, 1, &count); }, aErrUnknown},
        {{0x49, 6, 8, 1}, [&] { return module.entityGroup(8, 1, &count); }, aErrUnknown},
        {{0x49, 1, 8, 1, 0}, [&] { return module.hasUEI(8, 1, 0, 0x40); }, aErrUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        device.setCommandHandler(0x49, [reply = c.reply](sim::DeviceModel& d, const Packet&) { d.answer(Packet{0x02, reply}); });
        EXPECT_EQ(c.expected, c.ask());
    }
}

// A routing device (0x02) and the module behind it (0x0A) on one link: the
// router's late answer to the same question, and the module's answer to
// another question, reach the link before the module's answer; neither
// answers the question.
TEST_F(ConnectedModule, OnlyTheAddressedModulesReplyToTheQuestionAnswersIt)
{
    struct Answer {
        std::vector<uint8_t> question, router, module;
    };
    const std::vector<Answer> answers = {
        {{0x49, 0xFF}, {0x49, 0xFF, 2, 2, 2, 2}, {0x49, 0xFF, 0x0A, 0x0A, 0x0A, 0x0A}},
        {{0x49, 1, 95, 10, 0, 0x80}, {0x49, 1, 95, 10, 0, 0}, {0x49, 1, 95, 10, 0, 21}},
        {{0x49, 4, 8}, {0x49, 4, 8, 2}, {0x49, 4, 8, 6}},
        {{0x49, 5, 8, 1}, {0x49, 5, 8, 1, 3}, {0x49, 5, 8, 1, 7}},
        {{0x49, 6, 8, 1}, {0x49, 6, 8, 1, 4}, {0x49, 6, 8, 1, 9}},
        // The module spoils its echo; the router's whole echo is not its.
        {{23, 1, 2, 3}, {23, 1, 2, 3}, {23, 1, 2, 0}},
    };
    device.setAddressHandler(0x0A, [&answers](sim::DeviceModel& d, const Packet& request) {
        for (const Answer& a : answers) {
            if (a.question != request.data) continue;
            d.send(Packet{0x02, a.router});
            d.send(Packet{0x0A, {0x49, 4, 95, 1}});
            d.answer(Packet{0x0A, a.module});
        }
    });
    Module behind(0x0A, 0);
    ASSERT_EQ(aErrNone, behind.connectThroughLinkModule(&module));

    uint32_t build = 0;
    EXPECT_EQ(aErrNone, behind.getBuild(&build));
    EXPECT_EQ(0x0A0A0A0Au, build);
    EXPECT_EQ(21, behind.hasUEI(95, 10, 0, 0x80));
    uint8_t count = 0;
    EXPECT_EQ(aErrNone, behind.classQuantity(8, &count));
    EXPECT_EQ(6, count);
    EXPECT_EQ(aErrNone, behind.subClassQuantity(8, 1, &count));
    EXPECT_EQ(7, count);
    EXPECT_EQ(aErrNone, behind.entityGroup(8, 1, &count));
    EXPECT_EQ(9, count);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aErrIO, behind.debug(bytes, sizeof bytes));

    // The router's own answers are still its own.
    EXPECT_EQ(aErrNone, module.getBuild(&build));
    EXPECT_EQ(kBuild, build);
}

// Answers that an earlier question gave up on are still queued when the
// next question goes out; they never answer it.
TEST_F(ConnectedModule, LeftoverAnswersAreNotTakenForTheNextQuestion)
{
    device.send(Packet{0x02, {0x49, 0xFF, 0x0A, 0x0B, 0x0C, 0x0D}});
    device.send(Packet{0x02, {23, 0x55}});
    // Once a later packet has arrived, the leftovers are queued.
    device.send(Packet{0x02, {0x77}});
    const uint8_t marker[] = {0x77};
    uint8_t length = 1;
    uint8_t buffer[aPACKET_MAX_DATA];
    ASSERT_EQ(aErrNone, module.getLink()->receivePacket(0x02, marker, &length, buffer));
    info.setSubClassQuantity(8, 1, 5);
    uint8_t count = 0;
    ASSERT_EQ(aErrNone, module.subClassQuantity(8, 1, &count));
    EXPECT_EQ(5, count);
    uint32_t build = 0;
    EXPECT_EQ(aErrNone, module.getBuild(&build));
    EXPECT_EQ(kBuild, build);
    const uint8_t bytes[] = {0xA0, 0xA1};
    EXPECT_EQ(aErrNone, module.debug(bytes, 2));
}

TEST_F(ConnectedModule, EchoComesBackWhole)
{
    uint8_t bytes[28];
    for (uint8_t i = 0; i < sizeof bytes; i++) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(aErrNone, module.debug(bytes, 27));
    std::vector<uint8_t> expected{23};
    expected.insert(expected.end(), bytes, bytes + 27);
    EXPECT_TRUE(received(Packet{0x02, expected}));
    EXPECT_EQ(aErrNone, module.debug(bytes, 0));

    size_t before = device.records().packets.size();
    EXPECT_EQ(aErrParam, module.debug(bytes, 28));
    EXPECT_EQ(before, device.records().packets.size());

    device.setCommandHandler(23, [](sim::DeviceModel& d, const Packet& request) {
        Packet changed = request;
        changed.data.back() ^= 1;
        d.answer(changed);
    });
    EXPECT_EQ(aErrIO, module.debug(bytes, 4));
    device.setCommandHandler(23, [](sim::DeviceModel& d, const Packet&) { d.answer(Packet{0x02, {23, 0xA0}}); });
    EXPECT_EQ(aErrIO, module.debug(bytes, 4));
}

// The routing device's link carries the module behind it: both Modules hold
// a use of one link, and the one behind sets its own address.
TEST_F(ConnectedModule, JoinsTheLinkOfARoutingDevice)
{
    size_t queries = addressQueries(device);
    {
        Module behind(0x0A, 0);
        ASSERT_EQ(aErrNone, behind.connectThroughLinkModule(&module));
        EXPECT_TRUE(behind.isConnected());
        EXPECT_EQ(0x0A, behind.getModuleAddress());
        EXPECT_EQ(queries, addressQueries(device));
        EXPECT_EQ(2, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
        linkSpec joined{};
        ASSERT_EQ(aErrNone, behind.getLinkSpecifier(&joined));
        EXPECT_EQ(TCPIP, joined.type);
        EXPECT_EQ(kSerial, joined.serialNumber);
        aVorneConfig config;
        ASSERT_EQ(aErrNone, behind.getConfig(&config));
        EXPECT_EQ(0, config.enabled);

        // Already connected: nothing changes.
        EXPECT_EQ(aErrNone, behind.connectThroughLinkModule(&module));
        EXPECT_EQ(2, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
        // Disconnected, it reconnects directly, without learning an address.
        EXPECT_EQ(aErrNone, behind.disconnect());
        ASSERT_EQ(aErrNone, behind.reconnect());
        EXPECT_EQ(0x0A, behind.getModuleAddress());
        EXPECT_EQ(queries, addressQueries(device));
    }
    EXPECT_EQ(1, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
    const uint8_t byte = 7;
    EXPECT_EQ(aErrNone, module.debug(&byte, 1));

    // The routing device's Module may go first.
    auto router = std::make_unique<Module>(0x02, 0);
    ASSERT_EQ(aErrNone, router->setConfig(unshared()));
    ASSERT_EQ(aErrNone, module.disconnect());
    ASSERT_EQ(aErrNone, router->connectFromSpec(spec()));
    Module behind(0x02, 0);
    ASSERT_EQ(aErrNone, behind.connectThroughLinkModule(router.get()));
    router.reset();
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(aErrNone, behind.debug(&byte, 1));
}

TEST_F(ConnectedModule, JoiningAModuleWithoutSpecifierFails)
{
    Module none(0x02, 0);
    Module behind(0x04, 0);
    EXPECT_EQ(aErrNotFound, behind.connectThroughLinkModule(&none));
    EXPECT_FALSE(behind.isConnected());
}

} // namespace
