// test-labels: integration netns threaded
// test-run-serial
// Frames that clients send to a link-sharing server. Whatever a client
// sends, the server goes on serving it: each frame it hands back is one whole
// packet, and a request it sends afterwards is answered. The device behind
// the server (on TCP over the loop-back interface) answers every request to
// an even address at once with the same packet (in a shape the host takes
// as a reply), so that no request waits out the server's reply time; the
// target sends other requests to even addresses. The input is a few frames,
// each a length byte and its bytes, sent by a client of its own; the client
// then sends an echo request and reads until its answer. libFuzzer's timer
// ticks with SIGALRM, which cuts a blocking receive short: the target waits
// on through it.
#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aLinkTable.h"
#include "common/aServer.h"
#include "tests/fuzz/support.h"
#include "tests/sim/device_model.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/tsan_suppressions.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

constexpr uint8_t kAddress = 0x02;
constexpr uint32_t kSerial = 0x0BADF00D;
constexpr int kMaxFrames = 8;
// Longer than the server waits for one reply.
constexpr int kReceiveMs = 5000;

// The request back, but never in the shape of a heartbeat ([A] 02 00 x) or
// of a stream packet, which the host's link takes as no reply.
sim::Packet replyTo(sim::Packet packet)
{
    if (packet.data.size() == 2 && packet.data[0] == 0) packet.data.push_back(0);
    if (packet.data.size() > 4 && (packet.data[1] & 0xC0) == 0) packet.data[2] &= 0xBF;
    return packet;
}

struct Server {
    // Keeps counts only: the traffic of a long run would fill the memory.
    sim::DeviceModel device{sim::DeviceConfig{kAddress, sim::kEchoCommand, kSerial, 0x13, false}};
    sim::TcpCarrier carrier{device};
    aLinkId link = 0;
    aServer* server = nullptr;
    uint16_t port = 0;

    Server()
    {
        link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), carrier.port());
        FUZZ_CHECK(link != 0);
        for (int address = 2; address < 256; address += 2)
            device.setAddressHandler(uint8_t(address), [](sim::DeviceModel& d, const sim::Packet& p) {
                d.answer(replyTo(p));
            });
        server = aServer_Create(link, 0, aSERVER_FLAG_LOCAL_ONLY);
        FUZZ_CHECK(server && aServer_Start(server) == aErrNone);
        FUZZ_CHECK(aServer_GetPort(server, &port) == aErrNone && port != 0);
    }
    // Stops the server before the messaging library shuts down at exit.
    void stop()
    {
        // A server attached to the device link is destroyed here, not by the link.
        if (aLinkEntry* entry = sLookupEntryByID(link); entry && entry->server == server) entry->server = nullptr;
        aServer_Destroy(&server);
        aLink_Destroy(&link);
    }
};

Server* sServer = nullptr;

void send(zsock_t* socket, const fuzz::Bytes& bytes)
{
    zframe_t* frame = zframe_new(bytes.data(), bytes.size());
    FUZZ_CHECK(frame && zframe_send(&frame, socket, 0) == 0);
}

// The next frame for the client, waiting kReceiveMs in all; NULL when none
// came. A signal that is not the interrupt only cuts one receive short.
zframe_t* receive(zsock_t* client)
{
    const int64_t deadline = zclock_mono() + kReceiveMs;
    for (int64_t left = kReceiveMs; left > 0; left = deadline - zclock_mono()) {
        zsock_set_rcvtimeo(client, int(left));
        if (zframe_t* frame = zframe_recv(client)) return frame;
        if (errno != EINTR || zsys_interrupted) break;
    }
    return nullptr;
}

// Sends the packets of a frame that are for address 0 or an odd address
// (but the force route, 0xAF) to an even one: modules answer from even
// addresses only, and a request that nothing answers would hold the client
// for the server's whole reply time.
void aim(fuzz::Bytes& frame)
{
    for (size_t at = 0; at + 2 <= frame.size() && at + 2 + frame[at + 1] <= frame.size(); at += 2u + frame[at + 1]) {
        uint8_t& address = frame[at];
        if (address == 0xAF) continue;
        address &= 0xFE;
        if (address == 0) address = kAddress;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!sServer) {
        sServer = new Server;
        // Runs before the library's own handler, which was registered first.
        std::atexit([] { sServer->stop(); });
    }
    Server* const server = sServer;
    static uint8_t round = 0;
    fuzz::Input input(data, size);
    zsock_t* client = zsock_new_dealer((">tcp://127.0.0.1:" + std::to_string(server->port)).c_str());
    FUZZ_CHECK(client);
    for (int n = 0; n < kMaxFrames && !input.empty(); ++n) {
        fuzz::Bytes frame = input.sized();
        aim(frame);
        send(client, frame);
    }

    ++round;
    const fuzz::Bytes probe{kAddress, 3, sim::kEchoCommand, 0xE0, round};
    send(client, probe);
    for (;;) {
        zframe_t* frame = receive(client);
        FUZZ_CHECK(frame);
        const fuzz::Bytes reply(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
        zframe_destroy(&frame);
        FUZZ_CHECK(reply.size() >= 2 && reply[1] == reply.size() - 2);
        if (reply == probe) break;
    }
    zsock_destroy(&client);
    return 0;
}
