// test-labels: integration threaded netns
// The private network of a test program whose tests each enter it, as a
// program run whole does: the threads it started stay in one network with
// its tests, and each entry begins with loop-back only.
#include "tests/sim/netns.h"
#include "tests/sim/server_answerers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A thread started after the first entry (the messaging library starts its
// I/O threads so) listens once the test has entered again; the test reaches
// it on loop-back, and the interfaces of the earlier entry are gone.
TEST(PrivateNetwork, AnotherEntryKeepsTheProgramsThreadsInItsNetwork)
{
    std::string why;
    ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    ASSERT_TRUE(sim::addVethPair("tn0", "10.80.0.1/24", "tn1", "10.80.0.2/24", &why)) << why;
    std::promise<void> go;
    std::promise<uint16_t> listening;
    int listener = -1;
    std::thread thread([&] {
        go.get_future().wait();
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        const bool ok = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                        listen(listener, 1) == 0 &&
                        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0;
        listening.set_value(ok ? ntohs(address.sin_port) : 0);
    });
    std::future<uint16_t> port = listening.get_future();
    EXPECT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    std::string foreign;
    EXPECT_TRUE(sim::onlyInterfaces({}, &foreign)) << foreign;
    go.set_value();
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port.get());
    thread.join();
    ASSERT_NE(0, server.sin_port);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_LE(0, client);
    EXPECT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server)) << std::strerror(errno);
    close(client);
    close(listener);
}

} // namespace
