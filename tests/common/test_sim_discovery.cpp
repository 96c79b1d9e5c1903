// test-labels: integration netns
// tessaline-sim reached as an Ethernet device: it answers a TCP/IP discovery
// query with its own port and identity and serves that port. The program runs
// in a namespace of its own behind a veth pair; the host side uses plain sockets.
#include "tests/sim/netns.h"
#include "tests/sim/sim_program.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kSimPath = std::string(TESS_BINARY_DIR) + "/tests/tessaline-sim";

sockaddr_in endpoint(const char* address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

Bytes receive(int fd, size_t max)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return {};
    Bytes bytes(max);
    ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

TEST(SimProgramDiscovery, AnswersWithItsPortAndIdentity)
{
    std::string why;
    ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    sim::NetworkHost device;
    ASSERT_TRUE(device.ok()) << device.error();
    ASSERT_TRUE(sim::addVethPair("sh0", "10.78.0.1/24", "sd0", "", &why)) << why;
    ASSERT_TRUE(device.adopt("sd0", "10.78.0.2/24", &why)) << why;
    // Until the host end is up it drops what is sent through it: the query.
    ASSERT_TRUE(sim::waitUntilUp("sh0", &why)) << why;

    std::unique_ptr<sim::SimProgram> program;
    uint16_t port = 0;
    device.run([&] {
        program = std::make_unique<sim::SimProgram>(
            kSimPath, std::vector<std::string>{"--listen", "10.78.0.2", "--discovery", "10.78.0.2", "--address",
                                               "0x0C", "--serial", "0xCAFE1234", "--model", "7"});
        port = program->port();
    });
    ASSERT_NE(port, 0);

    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in replies = endpoint("0.0.0.0", 9889);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&replies), sizeof replies), 0);
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr out{};
    inet_pton(AF_INET, "10.78.0.1", &out);
    ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
    Bytes query(16, 0);
    query[0] = 1;
    sockaddr_in group = endpoint("232.2.2.2", 9888);
    ASSERT_EQ(sendto(sender, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 16);

    Bytes reply = receive(listener, 64);
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[1], 0x0C);
    EXPECT_EQ(reply[2] | reply[3] << 8, port);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 8), (Bytes{0x34, 0x12, 0xFE, 0xCA}));
    EXPECT_EQ(reply[12], 7);

    int host = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in served = endpoint("10.78.0.2", port);
    ASSERT_EQ(connect(host, reinterpret_cast<sockaddr*>(&served), sizeof served), 0);
    const Bytes addressQuery{0xAD, 0x00};
    ASSERT_EQ(send(host, addressQuery.data(), addressQuery.size(), MSG_NOSIGNAL), 2);
    EXPECT_EQ(receive(host, 2), (Bytes{0x0C, 0x00}));

    for (int fd : {host, sender, listener}) close(fd);
    device.run([&] { program.reset(); });
}

// Discovery is refused beside any interface but loop-back and veth ends (a
// bridge stands for the machine's own network here).
TEST(SimProgramDiscovery, RefusesBesideForeignInterfaces)
{
    std::string why;
    ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    ASSERT_EQ(system("ip link add sbr0 type bridge"), 0);
    sim::SimProgram refused(kSimPath, {"--discovery", "127.0.0.1"});
    EXPECT_EQ(refused.port(), 0);
    EXPECT_EQ(refused.exitStatus(), 1);
}

} // namespace
