// tessaline-sharer: a second process of link-sharing tests. With
// --device-port it connects a Link, link sharing on, to the device behind TCP
// on 127.0.0.1 at that port, so that it holds the device link's server, and
// prints the server's port as its first line (0 when it could not connect);
// without it, it prints 0. Then it takes commands on standard input, one per
// line, each answered by its output and a line "ok" or "error <reason>":
//   search   finds this host's link-sharing servers: "found N"
//   exit     answers "ok" and ends the process the ordinary way (exit code 0)
// The end of its input ends it too; so does its parent's end.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <sys/prctl.h>

#include "common/aDiscovery.h"
#include "device_api/Link.h"

namespace {

using namespace Zentrova::Tessaline;

bool count(const linkSpec*, bool* counted, void*)
{
    *counted = true;
    return true;
}

std::unique_ptr<Link> shareDevice(uint16_t devicePort, uint32_t serial)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.tcpPort = devicePort;
    auto link = std::make_unique<Link>(spec, "sharer");
    aVorneConfig config;
    config.fallback = 0;
    if (link->setConfig(config) != aErrNone || link->connect() != aErrNone) return nullptr;
    return link;
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    uint16_t devicePort = 0;
    uint32_t serial = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const unsigned long value = std::strtoul(argv[i + 1], nullptr, 0);
        if (option == "--device-port") devicePort = static_cast<uint16_t>(value);
        else if (option == "--serial") serial = static_cast<uint32_t>(value);
    }
    std::unique_ptr<Link> shared;
    uint16_t serverPort = 0;
    if (devicePort != 0) {
        shared = shareDevice(devicePort, serial);
        aVorneConfig config;
        if (shared && shared->getConfig(&config) == aErrNone) serverPort = static_cast<uint16_t>(config.tcpPort);
    }
    std::cout << serverPort << std::endl;
    for (std::string command; std::getline(std::cin, command);) {
        if (command == "search") {
            const uint8_t found = aDiscovery_EnumerateModules(AVORNE, count, nullptr, htonl(INADDR_LOOPBACK));
            std::cout << "found " << int(found) << "\nok" << std::endl;
        } else if (command == "exit") {
            std::cout << "ok" << std::endl;
            break;
        } else {
            std::cout << "error unknown command '" << command << "'" << std::endl;
        }
    }
    return 0;
}
