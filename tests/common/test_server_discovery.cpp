// test-labels: integration threaded netns
// Discovery of link-sharing servers, the multicast helper and the beacon
// interface lock. Every case runs in a private network of its own and refuses
// to multicast beside an interface it did not make: servers of this host are
// stand-ins holding loop-back probe slots; those of a network answer beacons
// from a second namespace behind a veth pair.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <czmq.h>
#include <future>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "common/aDiscovery.h"
#include "common/aMulticast.h"
#include "common/zBeaconInterface.h"
#include "tests/common/found_devices.h"
#include "tests/sim/netns.h"
#include "tests/sim/server_answerers.h"
#include "tests/sim/sim_program.h"

namespace {

using sim::Datagram;

const uint32_t kLoopback = sim::ipv4("127.0.0.1");
const uint32_t kGroup = sim::ipv4("224.0.0.7");

class ServerDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
        refuseForeignInterfaces();
    }

    void refuseForeignInterfaces()
    {
        std::string foreign;
        ASSERT_TRUE(sim::onlyInterfaces(created_, &foreign))
            << "refusing to multicast beside the network interface '" << foreign << "'";
    }

    // A second host behind th0 (10.77.0.1 here, 10.77.0.2 there).
    void addNetwork()
    {
        std::string why;
        network_ = std::make_unique<sim::NetworkHost>();
        ASSERT_TRUE(network_->ok()) << network_->error();
        ASSERT_TRUE(sim::addVethPair("th0", "10.77.0.1/24", "td0", "", &why)) << why;
        created_ = {"th0", "td0"};
        ASSERT_TRUE(network_->adopt("td0", "10.77.0.2/24", &why)) << why;
        ASSERT_TRUE(sim::waitUntilUp("th0", &why)) << why;
        refuseForeignInterfaces();
    }

    std::vector<std::string> created_;
    std::unique_ptr<sim::NetworkHost> network_;
};

uint8_t enumerate(FoundDevices* found, uint32_t networkInterface = kLoopback, linkType type = AVORNE)
{
    return aDiscovery_EnumerateModules(type, FoundDevices::collect, found, networkInterface);
}

bool probePortsAreFree()
{
    for (int k = 0; k < 50; ++k) {
        aMulticast* slot = aMulticast_Create(kLoopback, kGroup, static_cast<uint16_t>(9850 + k), false);
        if (!slot) return false;
        aMulticast_Destroy(&slot);
    }
    return true;
}

TEST_F(ServerDiscovery, MulticastHelperRolesAndPorts)
{
    aMulticast* receiver = aMulticast_Create(0, kGroup, 9870, false);
    aMulticast* sender = aMulticast_Create(kLoopback, kGroup, 9870, true);
    ASSERT_NE(nullptr, receiver);
    ASSERT_NE(nullptr, sender);
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(-3, aMulticast_Send(receiver, bytes, sizeof bytes));
    EXPECT_EQ(-3, aMulticast_Receive(sender, bytes, sizeof bytes));
    EXPECT_EQ(-2, aMulticast_Send(nullptr, bytes, sizeof bytes));
    EXPECT_EQ(-2, aMulticast_Receive(nullptr, bytes, sizeof bytes));
    // Address reuse is off: the port has one receiver.
    EXPECT_EQ(nullptr, aMulticast_Create(kLoopback, kGroup, 9870, false));

    EXPECT_EQ(8, aMulticast_Send(sender, bytes, sizeof bytes));
    uint8_t got[16] = {};
    EXPECT_EQ(8, aMulticast_Receive(receiver, got, sizeof got));
    EXPECT_EQ(0, std::memcmp(bytes, got, sizeof bytes));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, aMulticast_Receive(receiver, got, sizeof got)); // 1 s without a datagram
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));

    EXPECT_EQ(0, aMulticast_Destroy(&receiver));
    EXPECT_EQ(nullptr, receiver);
    EXPECT_EQ(-2, aMulticast_Destroy(&receiver));
    EXPECT_EQ(0, aMulticast_Destroy(&sender));
}

TEST_F(ServerDiscovery, NoLocalServerIsFoundAtOnce)
{
    FoundDevices found;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t networkInterface : {0u, kLoopback}) EXPECT_EQ(0, enumerate(&found, networkInterface));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(found.specs.empty());
    EXPECT_TRUE(probePortsAreFree());
}

// Every link type of the family reaches the same search; the probe word goes
// out in host byte order and the specifier comes back whole.
TEST_F(ServerDiscovery, LocalServerIsFoundByEveryLinkSharingType)
{
    const linkSpec spec = sim::networkSpec(AVORNE_USB, 0x1234ABCD, "127.0.0.1", 40123);
    sim::LocalAnswerer server({sim::bytesOf(spec)});
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(0, server.slot());
    for (linkType type : {AVORNE, AVORNE_USB, AVORNE_TCPIP, AVORNE_SERIAL}) {
        FoundDevices found;
        EXPECT_EQ(1, enumerate(&found, kLoopback, type)) << type;
        ASSERT_EQ(1u, found.specs.size());
        EXPECT_EQ(0, std::memcmp(&spec, &found.specs[0], sizeof spec));
    }
    const uint32_t word = 0xABCDDCBA;
    ASSERT_FALSE(server.received().empty());
    EXPECT_EQ(Datagram(reinterpret_cast<const uint8_t*>(&word), reinterpret_cast<const uint8_t*>(&word) + 4),
              server.received()[0]);

    linkSpec* byNumber = aDiscovery_FindModule(AVORNE, 0x1234ABCD, 0);
    ASSERT_NE(nullptr, byNumber);
    EXPECT_EQ(40123u, byNumber->tcpPort);
    aLinkSpec_Destroy(&byNumber);
}

// Specifiers of the right size that no link-sharing server announces: a link
// type of its own (5 to 7) with an address and a TCP port is all it sends.
std::vector<Datagram> notAnnounced(const char* address)
{
    std::vector<Datagram> answers;
    for (linkType type : {INVALID, USB, TCPIP, SERIAL, AVORNE, static_cast<linkType>(8)})
        answers.push_back(sim::bytesOf(sim::networkSpec(type, 0x71, address, 40400)));
    linkSpec serial = sim::networkSpec(SERIAL, 0x72, address, 40401);
    std::memset(serial.portName, 'A', sizeof serial.portName); // no end in sight
    answers.push_back(sim::bytesOf(serial));
    answers.push_back(sim::bytesOf(sim::networkSpec(AVORNE_TCPIP, 0x73, address, 0)));
    linkSpec noPort = sim::networkSpec(AVORNE_USB, 0x74, address, 1);
    noPort.tcpPort = 0x10000 + 40402;
    answers.push_back(sim::bytesOf(noPort));
    answers.push_back(sim::bytesOf(sim::networkSpec(AVORNE_SERIAL, 0x75, "0.0.0.0", 40403)));
    return answers;
}

// Answers that are no specifier of this host are passed over: a datagram longer
// or shorter than a specifier, a specifier that advertises another address, and
// one that no server announces.
TEST_F(ServerDiscovery, LocalAnswersThatAreNoSpecAreIgnored)
{
    Datagram spec = sim::bytesOf(sim::networkSpec(AVORNE_USB, 0x11, "127.0.0.1", 40001));
    Datagram longer = spec, shorter = spec;
    longer.push_back(0);
    shorter.pop_back();
    sim::LocalAnswerer tooLong({longer});
    sim::LocalAnswerer tooShort({shorter});
    sim::LocalAnswerer remote({sim::bytesOf(sim::networkSpec(AVORNE_USB, 0x12, "10.1.2.3", 40002))});
    ASSERT_TRUE(tooLong.ok() && tooShort.ok() && remote.ok());
    std::vector<std::unique_ptr<sim::LocalAnswerer>> strangers;
    for (const Datagram& answer : notAnnounced("127.0.0.1")) {
        strangers.push_back(std::make_unique<sim::LocalAnswerer>(std::vector<Datagram>{answer}));
        ASSERT_TRUE(strangers.back()->ok());
    }
    FoundDevices found;
    EXPECT_EQ(0, enumerate(&found));
    EXPECT_TRUE(found.specs.empty());
    for (const auto& stranger : strangers) EXPECT_FALSE(stranger->received().empty()); // each was probed
}

// Two servers that agree in type, serial number, address and port are one;
// another port makes another server. A port held by something else is probed
// like a slot and gives nothing.
TEST_F(ServerDiscovery, DuplicatesAreReportedOnceAndForeignSlotsGiveNothing)
{
    const linkSpec first = sim::networkSpec(AVORNE_USB, 0x21, "127.0.0.1", 40100, 0x13, 2);
    linkSpec same = first;
    same.model = 0x14; // not compared
    const linkSpec other = sim::networkSpec(AVORNE_USB, 0x21, "127.0.0.1", 40101);
    sim::LocalAnswerer a({sim::bytesOf(first)});
    sim::LocalAnswerer b({sim::bytesOf(same)});
    int unrelated = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_port = htons(9852);
    ASSERT_EQ(0, bind(unrelated, reinterpret_cast<sockaddr*>(&port), sizeof port));
    sim::LocalAnswerer c({sim::bytesOf(other)});
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    EXPECT_EQ(3, c.slot());

    FoundDevices found;
    EXPECT_EQ(2, enumerate(&found));
    ASSERT_EQ(2u, found.specs.size());
    EXPECT_EQ(40100u, found.specs[0].tcpPort);
    EXPECT_EQ(40101u, found.specs[1].tcpPort);
    close(unrelated);
}

TEST_F(ServerDiscovery, CallbackEndsTheLocalSearch)
{
    sim::LocalAnswerer a({sim::bytesOf(sim::networkSpec(AVORNE_USB, 0x31, "127.0.0.1", 40200))});
    sim::LocalAnswerer b({sim::bytesOf(sim::networkSpec(AVORNE_TCPIP, 0x32, "127.0.0.1", 40201))});
    ASSERT_TRUE(a.ok() && b.ok());
    for (bool count : {true, false}) {
        FoundDevices found;
        found.stopAfter = 0;
        found.count = count;
        EXPECT_EQ(count ? 1 : 0, enumerate(&found));
        EXPECT_EQ(1u, found.specs.size());
        EXPECT_TRUE(b.received().empty()); // the second slot is never probed
    }
}

// Another search of this host awaiting the same slot's answers keeps this
// one from none of them, whether it runs in this thread or beside it.
TEST_F(ServerDiscovery, LocalSearchesAtOnceBothFindTheServer)
{
    const linkSpec spec = sim::networkSpec(AVORNE_TCPIP, 0x0A0B0C0D, "127.0.0.1", 40124);
    sim::LocalAnswerer server({sim::bytesOf(spec)});
    ASSERT_TRUE(server.ok());
    aMulticast* otherSearch =
        aMulticast_CreateSharedReceiver(kLoopback, kGroup, static_cast<uint16_t>(9950 + server.slot()));
    ASSERT_NE(nullptr, otherSearch);
    FoundDevices found;
    EXPECT_EQ(1, enumerate(&found));
    uint8_t copy[sizeof(linkSpec) + 1];
    uint32_t source = 0;
    EXPECT_EQ(static_cast<int>(sizeof(linkSpec)), aMulticast_ReceiveFrom(otherSearch, copy, sizeof copy, &source));
    EXPECT_EQ(kLoopback, source);
    aMulticast_Destroy(&otherSearch);

    auto beside = std::async(std::launch::async, [] {
        FoundDevices mine;
        return enumerate(&mine);
    });
    FoundDevices again;
    EXPECT_EQ(1, enumerate(&again));
    EXPECT_EQ(1, beside.get());
}

// Two processes of this host searching at the same time both find the
// server: each search's answers reach that search, whichever process holds
// the slot's reply port.
TEST_F(ServerDiscovery, TwoProcessesSearchingAtOnceBothFindTheServer)
{
    const linkSpec spec = sim::networkSpec(AVORNE_TCPIP, 0x0A0B0C0F, "127.0.0.1", 40126);
    sim::LocalAnswerer server({sim::bytesOf(spec)});
    ASSERT_TRUE(server.ok());
    sim::SimProgram other(std::string(TESS_BINARY_DIR) + "/tests/tessaline-sharer", {});
    ASSERT_EQ(0, other.port()); // started, serving nothing itself
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        auto beside = std::async(std::launch::async, [&] { return other.run("search"); });
        FoundDevices mine;
        EXPECT_EQ(1, enumerate(&mine));
        EXPECT_EQ((std::vector<std::string>{"found 1", "ok"}), beside.get());
    }
}

// A datagram to a slot's reply port that does not come from 127.0.0.1 is no
// local server's answer, whatever it holds.
TEST_F(ServerDiscovery, AnswerFromAnotherAddressIsNoLocalServer)
{
    std::string why;
    ASSERT_TRUE(sim::addVethPair("ts0", "10.81.0.1/24", "ts1", "10.81.0.2/24", &why)) << why;
    created_ = {"ts0", "ts1"};
    refuseForeignInterfaces();
    const uint32_t foreign = sim::ipv4("10.81.0.1");
    // A poser on slot 0: holds the probe port and answers from the foreign
    // address, through loop-back.
    aMulticast* slot = aMulticast_Create(kLoopback, kGroup, 9850, false);
    ASSERT_NE(nullptr, slot);
    int poser = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(poser, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = foreign;
    ASSERT_EQ(0, bind(poser, reinterpret_cast<sockaddr*>(&from), sizeof from));
    in_addr loopback{};
    loopback.s_addr = kLoopback;
    ASSERT_EQ(0, setsockopt(poser, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback));
    const linkSpec spec = sim::networkSpec(AVORNE_TCPIP, 0x0A0B0C0E, "127.0.0.1", 40125);
    auto pose = [&] {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9950);
        to.sin_addr.s_addr = kGroup;
        return sendto(poser, &spec, sizeof spec, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    {
        // The posed answer does arrive, from the foreign address.
        aMulticast* listener = aMulticast_CreateSharedReceiver(kLoopback, kGroup, 9950);
        ASSERT_NE(nullptr, listener);
        ASSERT_EQ(static_cast<ssize_t>(sizeof spec), pose());
        uint8_t got[sizeof spec];
        uint32_t source = 0;
        EXPECT_EQ(static_cast<int>(sizeof spec), aMulticast_ReceiveFrom(listener, got, sizeof got, &source));
        EXPECT_EQ(foreign, source);
        aMulticast_Destroy(&listener);
    }
    std::thread answerer([&] {
        uint8_t probe[8];
        if (aMulticast_Receive(slot, probe, sizeof probe) == 4) pose();
    });
    FoundDevices found;
    EXPECT_EQ(0, enumerate(&found));
    answerer.join();
    EXPECT_TRUE(found.specs.empty());
    close(poser);
    aMulticast_Destroy(&slot);
}

TEST_F(ServerDiscovery, BeaconInterfaceTexts)
{
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {{"10.77.0.1", true}, {"", true}, {"*", true}, {"eth0", false}, {"10.77.0", false},
                 {"10.77.0.1 ", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.valid, zBeaconInterface_setAndLock(c.text)) << c.text;
        if (c.valid) {
            EXPECT_EQ(c.text, zBeaconInterface_get());
            zBeaconInterface_unlock();
        }
    }
    // After a refusal the lock is free for another thread, and the interface
    // is as it was.
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.9"));
    zBeaconInterface_unlock();
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock("lo"));
    EXPECT_EQ("10.77.0.9", zBeaconInterface_get());
    auto other = std::async(std::launch::async, [] {
        bool locked = zBeaconInterface_setAndLock("*");
        if (locked) zBeaconInterface_unlock();
        return locked;
    });
    ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(2)));
    EXPECT_TRUE(other.get());

    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.9"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.77.0.1"));
    EXPECT_EQ("10.77.0.1", zBeaconInterface_get());
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ("10.77.0.9", zBeaconInterface_get());
    EXPECT_EQ("10.77.0.9", zBeaconInterface_getBackup());
}

// A search on a network interface finds the server that answers its beacon,
// once however often it publishes, and passes over beacons that are no specifier
// or one that no server announces (a serial port, a plain TCP/IP device);
// the library's beacon interface is put back afterwards.
TEST_F(ServerDiscovery, BeaconSearchFindsTheServersOfTheNetwork)
{
    addNetwork();
    const linkSpec spec = sim::networkSpec(AVORNE_TCPIP, 0x4455AA00, "10.77.0.2", 45000, 0x13, 4);
    std::unique_ptr<sim::BeaconAnswerer> server;
    network_->run([&] {
        std::vector<Datagram> answers = notAnnounced("10.77.0.2");
        answers.push_back(sim::bytesOf(spec));
        answers.push_back(Datagram(100, 7));
        server = std::make_unique<sim::BeaconAnswerer>("10.77.0.255", answers);
    });
    ASSERT_TRUE(server->ok());
    zsys_set_interface("");

    FoundDevices found;
    EXPECT_EQ(1, enumerate(&found, sim::ipv4("10.77.0.1"), AVORNE_TCPIP));
    ASSERT_EQ(1u, found.specs.size());
    EXPECT_EQ(0, std::memcmp(&spec, &found.specs[0], sizeof spec));
    EXPECT_GE(server->searches(), 1);
    EXPECT_STREQ("", zsys_interface());
    network_->run([&] { server.reset(); });
}

// The whole beacon search holds the beacon interface lock, so that a server
// starting meanwhile cannot move the interface under it; a callback that
// answers false ends the search at that specifier.
TEST_F(ServerDiscovery, BeaconSearchHoldsTheInterfaceLockAndEndsWhenAsked)
{
    addNetwork();
    std::unique_ptr<sim::BeaconAnswerer> server;
    network_->run([&] {
        server = std::make_unique<sim::BeaconAnswerer>(
            "10.77.0.255", std::vector<Datagram>{sim::bytesOf(sim::networkSpec(AVORNE_USB, 0x61, "10.77.0.2", 45001)),
                                                 sim::bytesOf(sim::networkSpec(AVORNE_USB, 0x62, "10.77.0.2", 45002))});
    });
    ASSERT_TRUE(server->ok());

    FoundDevices found;
    found.stopAfter = 0;
    auto search = std::async(std::launch::async, [&] { return enumerate(&found, sim::ipv4("10.77.0.1")); });
    // The search's beacon was heard: it runs, and holds the lock until it has
    // its specifier. The lock orders the callback's work before what follows it.
    for (int i = 0; i < 600 && server->searches() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(server->searches(), 0);
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    bool waitedForTheSearch = !found.specs.empty();
    zBeaconInterface_unlock();
    EXPECT_TRUE(waitedForTheSearch);
    EXPECT_EQ(1, search.get());
    EXPECT_EQ(1u, found.specs.size());
    network_->run([&] { server.reset(); });
}

// With no interface to search on, the local probe runs instead: a search
// given an interface address when the host lists none finds local servers.
TEST_F(ServerDiscovery, NoNetworkInterfaceMeansTheLocalProbe)
{
    sim::LocalAnswerer server({sim::bytesOf(sim::networkSpec(AVORNE_SERIAL, 0x51, "127.0.0.1", 40300))});
    ASSERT_TRUE(server.ok());
    FoundDevices found;
    EXPECT_EQ(1, enumerate(&found, sim::ipv4("10.77.0.1")));
}

} // namespace
