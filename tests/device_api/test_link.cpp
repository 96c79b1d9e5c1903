// test-labels: integration netns threaded
// The Link object: its configuration, name and specifier, connecting from a
// stored specifier over TCP (127.0.0.1 of the test's own network namespace),
// what "connected" means, reconnecting, and sharing another Link's link.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/aDebug.h"
#include "common/aLinkTable.h"
#include "device_api/Link.h"
#include "tests/device_api/tcp_device.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::echoes;
using apitest::kSerial;
using apitest::unshared;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

TEST(LinkObject, ConfigurationNameAndSpecifierWithoutALink)
{
    aVorneConfig defaults;
    EXPECT_EQ(1, defaults.enabled);
    EXPECT_EQ(1, defaults.fallback);
    EXPECT_EQ(1, defaults.localOnly);
    EXPECT_EQ(0, defaults.tcpPort);
    const uint8_t loopback[] = {0x7F, 0x00, 0x00, 0x01};
    EXPECT_EQ(0, std::memcmp(&defaults.ipAddress, loopback, 4));

    std::string longName(1500, 'n');
    longName[1024] = 'X';
    Link link(longName.c_str());
    EXPECT_EQ(std::string(1024, 'n'), link.getName());
    EXPECT_EQ(nullptr, Link(nullptr).getName());

    aVorneConfig config;
    EXPECT_EQ(aErrParam, link.getConfig(nullptr));
    config.tcpPort = 77;
    EXPECT_EQ(aErrNone, link.setConfig(config));
    aVorneConfig back;
    EXPECT_EQ(aErrNone, link.getConfig(&back));
    EXPECT_EQ(77, back.tcpPort);

    linkSpec spec{};
    EXPECT_EQ(aErrNotFound, link.getLinkSpecifier(&spec));
    EXPECT_EQ(aErrConfiguration, link.connect());
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(kLinkStatusFault, link.getStatus());
    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_EQ(aErrNone, link.reset());

    spec.type = SERIAL;
    spec.serialNumber = 9;
    std::strcpy(spec.portName, "/dev/null-port");
    EXPECT_EQ(aErrNone, link.setLinkSpecifier(spec));
    linkSpec stored{};
    EXPECT_EQ(aErrNone, link.getLinkSpecifier(&stored));
    EXPECT_EQ(0, std::memcmp(&spec, &stored, sizeof spec));
    Link built(spec, "built");
    EXPECT_EQ(aErrNone, built.getLinkSpecifier(&stored));
    EXPECT_EQ(0, std::memcmp(&spec, &stored, sizeof spec));
}

TEST(LinkObject, SpecifiersThatMakeNoLink)
{
    struct Case {
        linkType type;
        uint8_t enabled;
        aErr expected;
        bool terminated = true; // the port name ends within its field
    } cases[] = {
        {INVALID, 0, aErrMode},
        {static_cast<linkType>(9), 0, aErrMode},
        {AVORNE, 0, aErrConfiguration},
        {AVORNE_TCPIP, 0, aErrConfiguration},
        {SERIAL, 0, aErrConnection}, // the port does not open
        {SERIAL, 0, aErrFileNameLength, false}, // never read past the field
    };
    for (const Case& c : cases) {
        linkSpec spec{};
        spec.type = c.type;
        spec.serialNumber = kSerial;
        spec.baudRate = 115200;
        std::strcpy(spec.portName, "/nonexistent/tty");
        if (!c.terminated) std::memset(spec.portName, '/', sizeof spec.portName);
        Link link(spec, "link");
        aVorneConfig config = unshared();
        config.enabled = c.enabled;
        ASSERT_EQ(aErrNone, link.setConfig(config));
        EXPECT_EQ(c.expected, link.connect()) << c.type;
        EXPECT_EQ(kLinkStatusFault, link.getStatus()) << c.type;
    }
}

// SERIAL never falls back, and nothing else is tried when a fallback finds nothing.
TEST(LinkObject, DiscoveryFallsBackOnceToTheOtherKindOfLink)
{
    struct Case {
        linkType type;
        uint8_t fallback;
        const char* line; // the debug line expected, or null
    } cases[] = {
        {TCPIP, 1, "Executing Fallback - old type: 2 - new type: 4\n"},
        {TCPIP, 0, nullptr},
        {SERIAL, 1, nullptr},
    };
    aTessalineDebuggingEnable = true;
    aTessalineDebuggingLevel = aDEBUG_LINKS;
    for (const Case& c : cases) {
        Link link("link");
        aVorneConfig config = unshared();
        config.fallback = c.fallback;
        ASSERT_EQ(aErrNone, link.setConfig(config));
        ::testing::internal::CaptureStdout();
        // With only loop-back TCP/IP discovery finds nothing, nor does the
        // link-sharing kind, and serial ports are not discovered.
        aErr result = link.discoverAndConnect(c.type, kSerial, 0);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(aErrNotFound, result) << c.type;
        EXPECT_EQ(c.line ? std::string(c.line) : std::string(), out) << c.type;
    }
    aTessalineDebuggingEnable = false;
    aTessalineDebuggingLevel = 0;
}

class TcpLink : public apitest::TcpDevice {
protected:
    void SetUp() override { ASSERT_EQ(aErrNone, link.setConfig(unshared())); }

    Link link{spec(), "tcp"};
};

TEST_F(TcpLink, ConnectedLinkRefusesChangesUntilDisconnectedAndConnectsAgain)
{
    ASSERT_EQ(aErrNone, link.connect());
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(kLinkStatusRunning, link.getStatus());
    EXPECT_TRUE(echoes(link, 1));

    EXPECT_EQ(aErrMode, link.setConfig(unshared()));
    EXPECT_EQ(aErrBusy, link.setLinkSpecifier(spec()));
    EXPECT_EQ(aErrConnection, link.connect());
    EXPECT_EQ(1u, carrier.connections());

    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(kLinkStatusFault, link.getStatus());
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));

    ASSERT_EQ(aErrNone, link.connect());
    EXPECT_TRUE(carrier.waitForConnections(2, 2000));
    EXPECT_TRUE(echoes(link, 2));
}

// Connected means running: a link that is synchronising is held but not
// connected, and a second Link that finds it so gives up after 200 polls and
// gives its use back, so that it connects once the link is in step again.
TEST_F(TcpLink, ASynchronisingLinkIsNotConnected)
{
    ASSERT_EQ(aErrNone, link.connect());
    device.setAddressHandler(sim::kAddressQuery, [](sim::DeviceModel&, const sim::Packet&) {});
    device.send(sim::Packet{0x03, {}}); // an odd address puts the link out of step
    ASSERT_TRUE(received(sim::Packet{sim::kAddressQuery, {}}));
    EXPECT_EQ(kLinkStatusSyncing, link.getStatus());
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(aErrNone, link.setConfig(unshared()));

    Link second(spec(), "second");
    ASSERT_EQ(aErrNone, second.setConfig(unshared()));
    EXPECT_EQ(aErrConnection, second.connect());
    EXPECT_EQ(kLinkStatusFault, second.getStatus());
    EXPECT_EQ(1, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
    EXPECT_EQ(kLinkStatusSyncing, link.getStatus());

    // The device answers the address queries again: the link falls into step.
    device.setAddressHandler(sim::kAddressQuery, [](sim::DeviceModel& d, const sim::Packet& query) {
        if (query.data.empty()) d.answer(sim::Packet{d.config().address, {}});
    });
    for (int i = 0; i < 500 && !link.isConnected(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(link.isConnected());
    EXPECT_EQ(aErrNone, second.connect());
    EXPECT_EQ(2, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
}

TEST_F(TcpLink, ResetOpensTheConnectionAgain)
{
    ASSERT_EQ(aErrNone, link.connect());
    EXPECT_EQ(aErrNone, link.reset());
    EXPECT_TRUE(carrier.waitForConnections(2, 2000));
    EXPECT_TRUE(link.isConnected());
    EXPECT_TRUE(echoes(link, 3));
}

TEST_F(TcpLink, TwoLinksShareOneLinkAndEitherMayGoFirst)
{
    Link other("other");
    EXPECT_EQ(aErrInitialization, other.connectThroughLinkModule(link));

    ASSERT_EQ(aErrNone, link.connect());
    {
        Link joined(spec(), "joined");
        ASSERT_EQ(aErrNone, joined.setConfig(unshared()));
        ASSERT_EQ(aErrNone, joined.connectThroughLinkModule(link));
        EXPECT_TRUE(joined.isConnected());
        EXPECT_EQ(2, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
        EXPECT_EQ(1u, carrier.connections());
    }
    EXPECT_TRUE(echoes(link, 4));

    Link joined(spec(), "joined");
    ASSERT_EQ(aErrNone, joined.setConfig(unshared()));
    ASSERT_EQ(aErrNone, joined.connectThroughLinkModule(link));
    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_TRUE(joined.isConnected());
    EXPECT_TRUE(echoes(joined, 5));
}

// Joining without a specifier of one's own, or while holding a link, takes no
// use: the other Link's link must survive this Link, and no use may be lost.
TEST_F(TcpLink, AFailedJoinLeavesTheUsesAsTheyWere)
{
    ASSERT_EQ(aErrNone, link.connect());
    {
        Link bare("bare");
        EXPECT_EQ(aErrConfiguration, bare.connectThroughLinkModule(link));
        EXPECT_FALSE(bare.isConnected());
        EXPECT_EQ(kLinkStatusFault, bare.getStatus());
    }
    {
        linkSpec unknown = spec();
        unknown.type = static_cast<linkType>(12);
        Link odd(unknown, "odd");
        EXPECT_EQ(aErrMode, odd.connectThroughLinkModule(link));
    }
    {
        Link holding(spec(), "holding");
        ASSERT_EQ(aErrNone, holding.setConfig(unshared()));
        ASSERT_EQ(aErrNone, holding.connect());
        EXPECT_EQ(aErrConnection, holding.connectThroughLinkModule(link));
        EXPECT_EQ(2, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
    }
    EXPECT_EQ(1, sLookupEntryByIdentifier(kSerial, TCPIP)->useCount);
    EXPECT_TRUE(link.isConnected());
    EXPECT_TRUE(echoes(link, 6));
}

} // namespace
