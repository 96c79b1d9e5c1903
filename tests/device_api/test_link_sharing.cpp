// test-labels: integration netns threaded
// Link sharing within one process: a Link with sharing on wraps its new
// direct link in a server and holds the server's own client link, later
// Links for the same device reuse that client link, the last one gone takes
// device link, server and probe slot with it, and a device that never
// answers leaves nothing behind and holds up no other device's connect.
// Across processes: a second process shares the device, and a client link
// notices its server (in another process) or the server's device going away,
// outlasts a server whose process was stopped for a while, and keeps its
// stream subscriptions across a reset.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <czmq.h>
#include <future>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/aDiscovery.h"
#include "tests/common/found_devices.h"

#include "common/aLinkCreate.h"
#include "common/aLinkTable.h"
#include "common/aMulticast.h"
#include "common/aServer.h"
#include "device_api/Link.h"
#include "tests/device_api/tcp_device.h"
#include "tests/sim/netns.h"
#include "tests/sim/server_answerers.h"
#include "tests/sim/sim_program.h"
#include "tests/sim/stream_control.h"
#include "tests/sim/system_entity.h"
#include "platform/aTime.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::echoes;
using apitest::kSerial;
using apitest::unshared;

int runPeer(const char* mode);

// Started with TESS_SHARING_PEER set, this binary is the second process of
// the test below, in the network of the first: it does its part and ends
// before any test or the private network of a test is set up.
class PeerRole : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (const char* mode = std::getenv("TESS_SHARING_PEER")) _exit(runPeer(mode));
    }
};
const auto* const peerRole = ::testing::AddGlobalTestEnvironment(new PeerRole);
const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Under a sanitizer on a busy machine a reply can come after the one-second
// wait: the request goes once more. The reply is still known by its own tag.
::testing::AssertionResult echoesInTime(Link& link, uint8_t tag)
{
    ::testing::AssertionResult first = echoes(link, tag);
    return first ? first : echoes(link, tag);
}

// One echo round trip in which the first echo reply from the module is this
// request's own: a reply left over from an earlier request is stale. A slow
// reply is waited for as long as the server waits for the device.
::testing::AssertionResult answeredWithItsOwnReply(Link& link, uint8_t tag)
{
    aErr sent = link.sendPacket(0x02, sim::kEchoCommand, 1, &tag);
    if (sent != aErrNone) return ::testing::AssertionFailure() << "send answered " << sent;
    const uint8_t match[] = {sim::kEchoCommand};
    for (int wait = 0; wait < 3; ++wait) {
        uint8_t length = sizeof match;
        uint8_t reply[aPACKET_MAX_DATA];
        if (link.receivePacket(0x02, match, &length, reply) != aErrNone) continue;
        if (length == 2 && reply[1] == tag) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "request " << int(tag) << " got the stale reply " << int(reply[1]);
    }
    return ::testing::AssertionFailure() << "request " << int(tag) << " got no reply";
}

aVorneConfig shared()
{
    aVorneConfig config;
    config.fallback = 0;
    return config;
}

bool probeSlotIsFree()
{
    aMulticast* slot = aMulticast_Create(kLoopback, inet_addr("224.0.0.7"), 9850, false);
    bool free = slot != nullptr;
    aMulticast_Destroy(&slot);
    return free;
}

// The client links of this process's servers, which serve on 127.0.0.1.
aLinkEntry* clientEntry()
{
    return sLookupEntryByIdentifier(kLoopback, AVORNE);
}

constexpr uint8_t kModel = 0x13;

// The device also answers the system entity, as the server's questions need.
class SharedLink : public apitest::TcpDevice {
protected:
    // Connects the Link, link sharing on, so that it holds the device's
    // server: the server's port, 0 when the Link did not connect.
    uint16_t servedPort(Link& holder)
    {
        aVorneConfig config;
        if (holder.setConfig(shared()) != aErrNone || holder.connect() != aErrNone ||
            holder.getConfig(&config) != aErrNone)
            return 0;
        return static_cast<uint16_t>(config.tcpPort);
    }

    // Makes tessaline-sharer share this device: it holds the server.
    std::vector<std::string> holderArguments() const
    {
        return {"--device-port", std::to_string(carrier.port()), "--serial", std::to_string(kSerial)};
    }

    void SetUp() override
    {
        sim::SystemValues values = sim::systemValues(device.config());
        values.model = kModel;
        sim::installSystemEntity(entities, values);
    }
};

TEST_F(SharedLink, DefaultConfigurationConnectsThroughAServerOfItsOwn)
{
    Link first(spec(), "first");
    ASSERT_EQ(aErrNone, first.setConfig(shared()));
    ASSERT_EQ(aErrNone, first.connect());
    EXPECT_TRUE(first.isConnected());
    EXPECT_TRUE(echoes(first, 1));
    aVorneConfig config;
    ASSERT_EQ(aErrNone, first.getConfig(&config));
    EXPECT_EQ(kLoopback, config.ipAddress);
    aLinkEntry* served = sLookupEntryByIdentifier(kSerial, TCPIP);
    ASSERT_NE(nullptr, served);
    ASSERT_NE(nullptr, served->server);
    uint16_t port = 0;
    EXPECT_EQ(aErrNone, aServer_GetPort(served->server, &port));
    EXPECT_EQ(port, config.tcpPort);
    aLinkEntry* client = clientEntry();
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(served->id, client->parent);
    EXPECT_EQ(1, client->useCount);
    // Served: no direct use of it is handed out any more.
    EXPECT_EQ(0u, aLink_CreateTCPIP(kSerial, kLoopback, carrier.port()));
    aLinkId deviceId = served->id;
    uint16_t otherPort = 0;
    uint32_t networkInterface = kLoopback;
    EXPECT_EQ(0u, aLink_CreateServer(deviceId, &otherPort, &networkInterface, aSERVER_FLAG_LOCAL_ONLY));
    EXPECT_NE(nullptr, sGetLink(deviceId)->userFilter) << "the refused server took the first one's filter";
    EXPECT_EQ(0u, aLink_CreateClient(0, 0, 0x7FFFFFF0));

    {
        Link second(spec(), "second");
        ASSERT_EQ(aErrNone, second.setConfig(shared()));
        ASSERT_EQ(aErrNone, second.connect());
        EXPECT_EQ(2, client->useCount);
        EXPECT_TRUE(echoes(second, 2));
        EXPECT_TRUE(echoes(first, 3));
    }
    EXPECT_EQ(1, client->useCount);
    EXPECT_TRUE(echoes(first, 4));
    EXPECT_EQ(1u, carrier.connections());
    EXPECT_FALSE(probeSlotIsFree());

    ASSERT_EQ(aErrNone, first.disconnect());
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
    EXPECT_EQ(nullptr, sLookupEntryByID(deviceId));
    EXPECT_EQ(nullptr, clientEntry());
    EXPECT_TRUE(probeSlotIsFree());
    sim::Records records = device.records();
    ASSERT_FALSE(records.packets.empty());
    EXPECT_EQ((sim::Packet{0xAF, {0x00}}), records.packets.back()) << "force route off is the last packet";
}

// A device link that another holder uses directly is used as it is: a server
// would take that holder's replies over.
TEST_F(SharedLink, DirectLinkOfAnotherHolderIsNotServed)
{
    Link direct(spec(), "direct");
    ASSERT_EQ(aErrNone, direct.setConfig(unshared()));
    ASSERT_EQ(aErrNone, direct.connect());
    Link sharing(spec(), "sharing");
    ASSERT_EQ(aErrNone, sharing.setConfig(shared()));
    ASSERT_EQ(aErrNone, sharing.connect());
    aLinkEntry* served = sLookupEntryByIdentifier(kSerial, TCPIP);
    ASSERT_NE(nullptr, served);
    EXPECT_EQ(nullptr, served->server);
    EXPECT_EQ(2, served->useCount);
    EXPECT_TRUE(echoes(sharing, 5));
    EXPECT_TRUE(echoes(direct, 6));
}

// A device that never answers: the server cannot learn its address, the
// connect fails, and neither device link nor client link stays.
TEST_F(SharedLink, SilentDeviceLeavesNoLink)
{
    sim::Faults silent;
    silent.silent = true;
    device.setFaults(silent);
    Link link(spec(), "silent");
    ASSERT_EQ(aErrNone, link.setConfig(shared()));
    EXPECT_EQ(aErrConnection, link.connect());
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, TCPIP));
    EXPECT_EQ(nullptr, clientEntry());
    EXPECT_TRUE(probeSlotIsFree());

    device.setFaults({});
    ASSERT_EQ(aErrNone, link.connect());
    EXPECT_TRUE(echoes(link, 7));
}

// ---- a second process -------------------------------------------------

// Exit codes of the second process.
enum PeerExit : int {
    kPeerDone = 0,
    kPeerNotFound = 10,
    kPeerNoConnect = 11,
    kPeerWrongReply = 12,
    kPeerOrphanAnswered = 13,
    kPeerStillConnected = 14,
};

bool collectOne(const linkSpec* found, bool* counted, void* reference)
{
    *static_cast<linkSpec*>(reference) = *found;
    *counted = true;
    return false;
}

// What the second process writes on its standard output once connected: a
// byte that no text the test program prints holds.
constexpr char kReadyByte = '\x01';

// The second process: finds the server by the local probe ("beacon": by the
// beacon search from the far end of a veth pair), connects with the default
// configuration and asks 200 times, each reply its own. With "wait" it then
// tells the first process on its standard output that it is connected and
// stays until a signal ends it.
// Frames that are no single packet: longer than one (two echoes; a full
// packet and an empty one behind it), empty, one byte, a length beyond the
// frame.
std::vector<std::vector<uint8_t>> droppedFrames()
{
    std::vector<uint8_t> twoEchoes = {0x02, 3, sim::kEchoCommand, 1, 2, 0x02, 25, sim::kEchoCommand};
    twoEchoes.resize(32, 3);
    std::vector<uint8_t> fullAndEmpty = {0x02, 28, 0x41};
    fullAndEmpty.resize(30, 4);
    fullAndEmpty.insert(fullAndEmpty.end(), {0x00, 0x00});
    return {twoEchoes, fullAndEmpty, {}, {0x02}, {0x02, 9, sim::kEchoCommand, 5}};
}

// The third process of a test: sends the server at the port frames it drops,
// a round every 20 ms, says on its standard output that the first round went
// and goes on until a signal ends it.
int runDroppedFramesSender(uint16_t port)
{
    zsock_t* socket = zsock_new_dealer(("tcp://127.0.0.1:" + std::to_string(port)).c_str());
    if (!socket) return kPeerNoConnect;
    for (bool first = true;; first = false) {
        for (const std::vector<uint8_t>& bytes : droppedFrames()) {
            zframe_t* frame = zframe_new(bytes.data(), bytes.size());
            if (zframe_send(&frame, socket, 0) != 0) return kPeerNoConnect;
        }
        const char ready = kReadyByte;
        if (first && write(STDOUT_FILENO, &ready, 1) != 1) return kPeerWrongReply;
        aTime_MSSleep(20);
    }
}

int runPeer(const char* mode)
{
    if (std::strncmp(mode, "dropped:", 8) == 0)
        return runDroppedFramesSender(static_cast<uint16_t>(std::atoi(mode + 8)));
    const bool beacon = std::strcmp(mode, "beacon") == 0;
    linkSpec found{};
    const uint32_t searchOn = beacon ? inet_addr("10.77.0.2") : kLoopback;
    if (aDiscovery_Enumerate_aVorneModules(collectOne, &found, searchOn) != 1 || found.serialNumber != kSerial)
        return kPeerNotFound;
    Link link(found, "peer");
    aVorneConfig config = shared();
    if (link.setConfig(config) != aErrNone || link.connect() != aErrNone) return kPeerNoConnect;
    const bool strict = std::strcmp(mode, "strict") == 0;
    for (int i = 0; i < 200; ++i) {
        const uint8_t tag = static_cast<uint8_t>(i);
        if (!(strict ? answeredWithItsOwnReply(link, tag) : echoesInTime(link, tag))) return kPeerWrongReply;
    }
    const char ready = kReadyByte;
    if (std::strcmp(mode, "wait") == 0) {
        if (write(STDOUT_FILENO, &ready, 1) != 1) return kPeerWrongReply;
        for (;;) pause();
    }
    if (std::strcmp(mode, "orphan") == 0) {
        // Once the first process has let its server go, the link goes down,
        // a request fails and the link lets go.
        char go = 0;
        if (write(STDOUT_FILENO, &ready, 1) != 1 || read(STDIN_FILENO, &go, 1) != 1) return kPeerWrongReply;
        // The link goes down soon, as a direct link whose device went away.
        for (int polls = 0; link.isConnected() && polls < 300; ++polls) aTime_MSSleep(10);
        if (link.isConnected()) return kPeerStillConnected;
        if (echoes(link, 1)) return kPeerOrphanAnswered;
        if (link.disconnect() != aErrNone) return kPeerWrongReply;
    }
    return kPeerDone;
}


class Peer {
public:
    explicit Peer(const char* mode)
    {
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        std::string variable = std::string("TESS_SHARING_PEER=") + mode;
        std::vector<char*> environment;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "TESS_SHARING_PEER=", 18) != 0) environment.push_back(*e);
        environment.push_back(variable.data());
        environment.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        if (posix_spawn(&pid_, self, &actions, nullptr, argv, environment.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(in[0]);
        out_ = out[0];
        in_ = in[1];
    }
    ~Peer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
    }
    bool started() const { return pid_ > 0; }
    // True once the peer said it is connected. What the test program
    // prints before (its banner) is passed over.
    bool ready()
    {
        char byte = 0;
        while (read(out_, &byte, 1) == 1)
            if (byte == kReadyByte) return true;
        return false;
    }
    void signal(int number) { kill(pid_, number); }
    // Lets a peer that waits for it go on.
    bool go()
    {
        const char byte = 'G';
        return write(in_, &byte, 1) == 1;
    }
    // The wait status.
    int wait()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
};

// Two processes share the device: the second finds this process's server by
// the probe and connects; both ask at once and each gets its own replies,
// and the second's force route (on at its start, off at its end) never
// reaches the device. The second gone, killed or interrupted, the first goes
// on.
TEST_F(SharedLink, SecondProcessSharesTheDevice)
{
    Link first(spec(), "first");
    ASSERT_EQ(aErrNone, first.setConfig(shared()));
    ASSERT_EQ(aErrNone, first.connect());
    const size_t forceRoutes = device.records().forceRoutes.size();
    {
        Peer peer("run");
        ASSERT_TRUE(peer.started());
        bool mine = true;
        for (int i = 0; i < 200; ++i) mine = mine && echoesInTime(first, static_cast<uint8_t>(i));
        EXPECT_TRUE(mine);
        int status = peer.wait();
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(kPeerDone, WEXITSTATUS(status));
    }
    EXPECT_TRUE(echoes(first, 1));
    for (int signal : {SIGKILL, SIGINT}) {
        Peer peer("wait");
        ASSERT_TRUE(peer.started());
        ASSERT_TRUE(peer.ready());
        peer.signal(signal);
        int status = peer.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "signal " << signal << ": " << status;
        EXPECT_TRUE(echoes(first, 2)) << "after signal " << signal;
    }
    EXPECT_EQ(forceRoutes, device.records().forceRoutes.size());

    // The first process lets go of the device: the server goes with its last
    // client link, and the second process's requests fail.
    Peer orphan("orphan");
    ASSERT_TRUE(orphan.started());
    ASSERT_TRUE(orphan.ready());
    ASSERT_EQ(aErrNone, first.disconnect());
    ASSERT_TRUE(orphan.go());
    int status = orphan.wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(kPeerDone, WEXITSTATUS(status));
}

// While two processes share the device, a third sends the server frames
// that are no single packet, again and again: the server drops them without
// an answer, and they cost the two nothing: every request of either is
// answered in time with its own reply.
TEST_F(SharedLink, DroppedFramesCostTheSharersNothing)
{
    Link first(spec(), "first");
    const uint16_t port = servedPort(first);
    ASSERT_NE(0, port);
    Peer sender(("dropped:" + std::to_string(port)).c_str());
    ASSERT_TRUE(sender.started());
    ASSERT_TRUE(sender.ready());
    Peer second("strict");
    ASSERT_TRUE(second.started());
    ::testing::AssertionResult mine = ::testing::AssertionSuccess();
    for (int i = 0; i < 200 && mine; ++i) mine = answeredWithItsOwnReply(first, static_cast<uint8_t>(i));
    EXPECT_TRUE(mine);
    int status = second.wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(kPeerDone, WEXITSTATUS(status));
    sender.signal(SIGKILL);
    sender.wait();
    for (const sim::Packet& p : device.records().packets)
        EXPECT_FALSE(p.address == 0 || (!p.data.empty() && p.data[0] == 0x41))
            << "a dropped frame reached the device: " << p;
}

// The second process on another host, behind a veth pair: it finds a server
// that serves the network by the beacon and shares the device over it.
TEST_F(SharedLink, ProcessOnAnotherHostFindsTheServerByTheBeacon)
{
    std::string why;
    sim::NetworkHost otherHost;
    ASSERT_TRUE(otherHost.ok()) << otherHost.error();
    ASSERT_TRUE(sim::addVethPair("th0", "10.77.0.1/24", "td0", "", &why)) << why;
    ASSERT_TRUE(otherHost.adopt("td0", "10.77.0.2/24", &why)) << why;
    ASSERT_TRUE(sim::waitUntilUp("th0", &why)) << why;
    std::string foreign;
    ASSERT_TRUE(sim::onlyInterfaces({"th0", "td0"}, &foreign))
        << "refusing to broadcast beside the network interface '" << foreign << "'";

    Link first(spec(), "first");
    aVorneConfig config = shared();
    config.localOnly = 0;
    config.ipAddress = inet_addr("10.77.0.1");
    ASSERT_EQ(aErrNone, first.setConfig(config));
    ASSERT_EQ(aErrNone, first.connect());
    std::unique_ptr<Peer> peer;
    otherHost.run([&] { peer = std::make_unique<Peer>("beacon"); });
    ASSERT_TRUE(peer->started());
    bool mine = true;
    for (int i = 0; i < 200; ++i) mine = mine && echoesInTime(first, static_cast<uint8_t>(i));
    EXPECT_TRUE(mine);
    int status = peer->wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(kPeerDone, WEXITSTATUS(status));
    EXPECT_TRUE(echoes(first, 1));
}

// ---- a client link and its server --------------------------------------

using Clock = std::chrono::steady_clock;
const std::string kSharerPath = std::string(TESS_BINARY_DIR) + "/tests/tessaline-sharer";

// A specifier of the server at the port on 127.0.0.1.
linkSpec serverAt(uint16_t port)
{
    linkSpec s{};
    s.type = AVORNE_TCPIP;
    s.serialNumber = kSerial;
    s.ipAddress = kLoopback;
    s.tcpPort = port;
    return s;
}

// A client link, link sharing on, connected to its server and answered once.
::testing::AssertionResult connectedAndAnswered(Link& client)
{
    if (aErr err = client.setConfig(shared())) return ::testing::AssertionFailure() << "setConfig answered " << err;
    if (aErr err = client.connect()) return ::testing::AssertionFailure() << "connect answered " << err;
    return echoesInTime(client, 1);
}

// Polls until the Link is no longer connected, at most timeoutMs.
bool goesDown(Link& link, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (link.isConnected() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !link.isConnected();
}

// The server lives in another process, which is killed, ends, or loses its
// device (the device closes the connection): the client link goes down as a
// direct link does when its device goes away, its requests fail at once
// instead of after their one-second wait, and its disconnect does not wait.
TEST_F(SharedLink, ClientLinkNoticesItsServerOrItsDeviceGoing)
{
    enum class Way { Killed, Exited, DeviceClosed };
    const struct {
        const char* what;
        Way way;
    } cases[] = {{"server process killed", Way::Killed},
                 {"server process exited", Way::Exited},
                 {"device closed under the server", Way::DeviceClosed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::SimProgram holder(kSharerPath, holderArguments());
        Link client(serverAt(holder.port()), "client");
        ASSERT_TRUE(connectedAndAnswered(client));
        switch (c.way) {
        case Way::Killed: holder.signal(SIGKILL); break;
        case Way::Exited: EXPECT_EQ(std::vector<std::string>{"ok"}, holder.run("exit")); break;
        case Way::DeviceClosed: carrier.resetConnection(); break;
        }
        EXPECT_TRUE(goesDown(client, 5000)) << client.getStatus();
        EXPECT_EQ(kLinkStatusIOError, client.getStatus());
        auto start = Clock::now();
        EXPECT_FALSE(echoes(client, 2));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << "the request waited out its time-out";
        // Nobody serves there any more: a reset does not make the link look up.
        if (c.way == Way::Killed) {
            EXPECT_EQ(aErrNone, client.reset());
            EXPECT_FALSE(client.isConnected()) << client.getStatus();
        }
        start = Clock::now();
        EXPECT_EQ(aErrNone, client.disconnect());
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    }
}

// The server's process stops for 3 s (a debugger, a starved machine) and
// then goes on: its client link in this process is not lost to the silence.
// Meanwhile its requests fail with their time-out, not at once; once the
// server answers again, on the same connection, the link goes on by itself.
TEST_F(SharedLink, ClientLinkOutlastsAStoppedServer)
{
    sim::SimProgram holder(kSharerPath, holderArguments());
    Link client(serverAt(holder.port()), "client");
    ASSERT_TRUE(connectedAndAnswered(client));

    holder.signal(SIGSTOP);
    struct Resume {
        sim::SimProgram& holder;
        ~Resume() { holder.signal(SIGCONT); } // a stopped process takes no signal but this and SIGKILL
    } resume{holder};
    const auto stopped = Clock::now();
    for (uint8_t tag = 2; Clock::now() - stopped < std::chrono::seconds(3); ++tag) {
        const auto asked = Clock::now();
        ASSERT_EQ(aErrNone, client.sendPacket(0x02, sim::kEchoCommand, 1, &tag)) << "request " << int(tag);
        const uint8_t match[] = {sim::kEchoCommand, tag};
        uint8_t length = sizeof match;
        uint8_t reply[aPACKET_MAX_DATA];
        ASSERT_EQ(aErrTimeout, client.receivePacket(0x02, match, &length, reply)) << "request " << int(tag);
        EXPECT_GE(Clock::now() - asked, std::chrono::milliseconds(900)) << "request " << int(tag) << " refused at once";
    }
    EXPECT_TRUE(client.isConnected()) << client.getStatus();
    holder.signal(SIGCONT);

    for (uint8_t tag = 100; tag < 110; ++tag) EXPECT_TRUE(echoesInTime(client, tag));
    EXPECT_TRUE(client.isConnected()) << client.getStatus();
    EXPECT_EQ(aErrNone, client.disconnect());
}

// A server found before that has ended since: the Link does not connect, and
// leaves no client link behind.
TEST_F(SharedLink, NoConnectToAServerThatIsGone)
{
    Link client(serverAt(24557), "client"); // a port of the private network nobody listens on
    ASSERT_EQ(aErrNone, client.setConfig(shared()));
    EXPECT_EQ(aErrConnection, client.connect());
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(nullptr, clientEntry());
}

// The device goes away under this process's server: the Link that holds it
// and another client link of the server go down. A reset of the Link makes
// the device link anew and the server serves again on its port, where a
// reset of the other client link finds it, and discovery finds it again.
TEST_F(SharedLink, ResetBringsTheSharedDeviceBack)
{
    Link holder(spec(), "holder");
    const uint16_t port = servedPort(holder);
    ASSERT_NE(0, port);
    Link client(serverAt(port), "client");
    ASSERT_EQ(aErrNone, client.setConfig(shared()));
    ASSERT_EQ(aErrNone, client.connect());
    ASSERT_TRUE(echoesInTime(client, 1));

    carrier.resetConnection();
    EXPECT_TRUE(goesDown(holder, 3000));
    EXPECT_TRUE(goesDown(client, 3000));
    EXPECT_EQ(nullptr, aDiscovery_FindModule(AVORNE, kSerial, kLoopback)) << "a server without device is found";

    ASSERT_EQ(aErrNone, holder.reset());
    EXPECT_TRUE(holder.isConnected()) << holder.getStatus();
    EXPECT_TRUE(echoesInTime(holder, 2));
    ASSERT_EQ(aErrNone, client.reset());
    EXPECT_TRUE(client.isConnected()) << client.getStatus();
    EXPECT_TRUE(echoesInTime(client, 3));
    EXPECT_EQ(2u, carrier.connections());
    linkSpec* found = aDiscovery_FindModule(AVORNE, kSerial, kLoopback);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(port, found->tcpPort);
    aLinkSpec_Destroy(&found);
}

struct Samples {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint32_t> values;

    static uint8_t take(const aPacket* packet, void* reference)
    {
        auto* self = static_cast<Samples*>(reference);
        uint32_t value = 0;
        Link::getStreamSample(packet, nullptr, &value, nullptr);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->values.push_back(value);
        self->arrived.notify_all();
        return 0;
    }
    bool waitFor(uint32_t value)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(3), [&] {
            return std::find(values.begin(), values.end(), value) != values.end();
        });
    }
};

// A reset gives a client link a new connection, which the server knows as
// another client: the subscription is made again from it, so that the
// Link's samples go on, and the device's reply to it is not left for the
// Link's next request to find.
TEST_F(SharedLink, ClientLinkKeepsItsSubscriptionsAcrossResets)
{
    sim::StreamControl control{entities};
    Samples got; // outlives the Links, whose callback worker may still run
    Link holder(spec(), "holder");
    ASSERT_EQ(aErrNone, holder.setConfig(shared()));
    ASSERT_EQ(aErrNone, holder.connect());
    aVorneConfig config;
    ASSERT_EQ(aErrNone, holder.getConfig(&config));
    Link client(serverAt(static_cast<uint16_t>(config.tcpPort)), "client");
    ASSERT_EQ(aErrNone, client.setConfig(shared()));
    ASSERT_EQ(aErrNone, client.connect());
    constexpr uint8_t kModule = 0x02, kSystem = 3, kOption = 12;
    ASSERT_EQ(aErrNone, client.registerStreamCallback(kModule, kSystem, kOption, 0, true, Samples::take, &got));
    // The server sends its batch of samples on the device's next heartbeat.
    auto stream = [&](uint32_t value) {
        device.send(sim::Packet{kModule, sim::streamSample(kSystem, kOption, 0, sim::SampleKind::U8, value)});
        device.sendHeartbeat(0);
    };
    stream(1);
    ASSERT_TRUE(got.waitFor(1));
    for (uint8_t round = 2; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(aErrNone, client.reset());
        EXPECT_TRUE(client.isConnected());
        stream(round);
        EXPECT_TRUE(got.waitFor(round));
        // The first packet queued from the module is the echo's reply.
        ASSERT_EQ(aErrNone, client.sendPacket(kModule, sim::kEchoCommand, 1, &round));
        uint8_t reply[aPACKET_MAX_DATA] = {};
        uint8_t length = 0;
        ASSERT_EQ(aErrNone, client.receivePacket(kModule, reply, &length, reply));
        EXPECT_EQ((std::vector<uint8_t>{sim::kEchoCommand, round}), std::vector<uint8_t>(reply, reply + length));
    }
    EXPECT_EQ(3u, control.enables().size()) << "made again at the device through the server each time";
}

// While a device that never answers is tried, with the configuration of its
// server under way, another device's Link connects.
TEST_F(SharedLink, SilentDeviceHoldsUpNoOtherDevicesConnect)
{
    sim::DeviceModel quiet(sim::DeviceConfig{0x02, sim::kEchoCommand, kSerial + 1});
    sim::Faults silent;
    silent.silent = true;
    quiet.setFaults(silent);
    sim::TcpCarrier quietCarrier{quiet};
    linkSpec quietSpec = spec();
    quietSpec.serialNumber = kSerial + 1;
    quietSpec.tcpPort = quietCarrier.port();
    Link tried(quietSpec, "silent");
    ASSERT_EQ(aErrNone, tried.setConfig(shared()));
    auto trying = std::async(std::launch::async, [&] { return tried.connect(); });
    // The server asks the silent device for its address: the connect is in
    // the configuration of the server.
    const sim::Packet query{sim::kAddressQuery, {}};
    ASSERT_TRUE(quiet.waitFor(
        [&](const sim::Records& r) { return std::find(r.packets.begin(), r.packets.end(), query) != r.packets.end(); },
        3000));
    Link other(spec(), "other");
    ASSERT_EQ(aErrNone, other.setConfig(shared()));
    EXPECT_EQ(aErrNone, other.connect());
    EXPECT_EQ(std::future_status::timeout, trying.wait_for(std::chrono::seconds(0)))
        << "the other device's connect waited for the silent one";
    EXPECT_EQ(aErrConnection, trying.get());
    EXPECT_TRUE(echoes(other, 1));
}

} // namespace
