// tessaline-sim: one simulated Tessaline device served over TCP, for
// black-box tests and benchmarks. Prints the listening port as its first
// line, then takes commands on standard input, one per line; each command's
// output ends with a line "ok" or "error <reason>". Runs until "quit",
// SIGTERM or SIGINT, or until its parent process ends.
#include "tests/sim/device_model.h"
#include "tests/sim/discovery_responder.h"
#include "tests/sim/tcp_carrier.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <poll.h>
#include <memory>
#include <sstream>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage: tessaline-sim [options]\n"
    "  --port N               TCP port, 0 (default) lets the system choose\n"
    "  --listen IPV4          address to listen on (default 127.0.0.1)\n"
    "  --address A            module address, even and non-zero (default 2)\n"
    "  --echo-command C       command answered with its own packet (default 23, 0 none)\n"
    "  --serial S             serial number (default 0x12345678)\n"
    "  --model M              model code (default 0)\n"
    "  --receive-buffer N     receive buffer of each connection in bytes\n"
    "  --no-records           keep counts only, not every byte and packet (long runs)\n"
    "  --discovery IPV4       answer TCP/IP discovery queries on the interface with that\n"
    "                         address (repeatable; refused beside any interface but lo and veth)\n"
    "faults:\n"
    "  --silent               answer nothing\n"
    "  --delay MS             hold every answer MS milliseconds\n"
    "  --answer-address A     answer from address A\n"
    "  --alternate-address A  every second answer from address A\n"
    "  --corrupt KIND         spoil answers: odd (odd address), zero (address 0), length (length 29)\n"
    "  --corrupt-every N      spoil every Nth answer (default 1 once --corrupt is given)\n"
    "  --stall                start with reading stalled\n"
    "  --refuse               start refusing connections\n"
    "commands on standard input:\n"
    "  reset | stall on|off | refuse on|off | silent on|off | delay MS\n"
    "  heartbeat X | send HH HH... (raw bytes to the host, hex digits)\n"
    "  packets (each received packet, hex) | bytes (every received byte, hex)\n"
    "  heartbeats (the host's heartbeat replies) | routes (force-route bytes)\n"
    "  counts (bytes B packets P framing-errors E disconnects D)\n"
    "  wait-packets N [MS] | clear | quit\n";

unsigned long number(const std::string& text, unsigned long max)
{
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value > max)
        throw std::invalid_argument("bad number '" + text + "'");
    return value;
}

uint8_t byteValue(const std::string& text)
{
    return static_cast<uint8_t>(number(text, 0xFF));
}

sim::Corruption corruption(const std::string& kind)
{
    static const std::map<std::string, sim::Corruption> kinds{
        {"odd", sim::Corruption::OddAddress},
        {"zero", sim::Corruption::ZeroAddress},
        {"length", sim::Corruption::LongLength},
    };
    auto found = kinds.find(kind);
    if (found == kinds.end()) throw std::invalid_argument("unknown corruption '" + kind + "'");
    return found->second;
}

bool onOff(const std::string& word)
{
    if (word == "on") return true;
    if (word == "off") return false;
    throw std::invalid_argument("expected on or off, not '" + word + "'");
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

struct Settings {
    sim::DeviceConfig device;
    sim::Faults faults;
    sim::TcpCarrierOptions carrier;
    std::vector<std::string> discovery;
    bool stall = false;
    bool refuse = false;
};

Settings parse(int argc, char** argv)
{
    Settings s;
    bool corruptEveryGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(option + " needs a value");
            return argv[++i];
        };
        if (option == "--port") s.carrier.port = static_cast<uint16_t>(number(value(), 0xFFFF));
        else if (option == "--listen") s.carrier.address = value();
        else if (option == "--address") s.device.address = byteValue(value());
        else if (option == "--echo-command") s.device.echoCommand = byteValue(value());
        else if (option == "--serial") s.device.serialNumber = static_cast<uint32_t>(number(value(), 0xFFFFFFFF));
        else if (option == "--model") s.device.model = byteValue(value());
        else if (option == "--receive-buffer") s.carrier.receiveBuffer = static_cast<int>(number(value(), 1 << 30));
        else if (option == "--no-records") s.device.recordTraffic = false;
        else if (option == "--discovery") s.discovery.push_back(value());
        else if (option == "--silent") s.faults.silent = true;
        else if (option == "--delay") s.faults.answerDelayMs = static_cast<int>(number(value(), 3600000));
        else if (option == "--answer-address") s.faults.answerAddress = byteValue(value());
        else if (option == "--alternate-address") s.faults.alternateAddress = byteValue(value());
        else if (option == "--corrupt") s.faults.corruption = corruption(value());
        else if (option == "--corrupt-every") {
            s.faults.corruptEvery = static_cast<unsigned>(number(value(), 1000000));
            corruptEveryGiven = true;
        } else if (option == "--stall") s.stall = true;
        else if (option == "--refuse") s.refuse = true;
        else throw std::invalid_argument("unknown option '" + option + "'");
    }
    if (s.faults.corruption != sim::Corruption::None && !corruptEveryGiven) s.faults.corruptEvery = 1;
    return s;
}

// Discovery answers multicast queries, so it runs only where every network
// interface is loop-back or a veth end (a test's private network); the
// machine's own network never sees it.
bool onlyPrivateInterfaces(std::string& foreign)
{
    struct if_nameindex* names = if_nameindex();
    if (!names) return false;
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = probe >= 0;
    for (struct if_nameindex* i = names; ok && i->if_name; ++i) {
        ifreq request{};
        std::strncpy(request.ifr_name, i->if_name, IFNAMSIZ - 1);
        bool loopback = ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK);
        ethtool_drvinfo driver{};
        driver.cmd = ETHTOOL_GDRVINFO;
        request.ifr_data = reinterpret_cast<char*>(&driver);
        bool veth = ioctl(probe, SIOCETHTOOL, &request) == 0 && std::strcmp(driver.driver, "veth") == 0;
        if (!loopback && !veth) {
            foreign = i->if_name;
            ok = false;
        }
    }
    if (probe >= 0) close(probe);
    if_freenameindex(names);
    return ok;
}

// Runs one command line; false for quit.
bool command(const std::string& line, sim::DeviceModel& device, sim::TcpCarrier& carrier)
{
    std::istringstream in(line);
    std::string verb, arg;
    in >> verb;
    if (verb.empty()) return true;
    in >> arg;
    sim::Faults faults = device.faults();
    if (verb == "quit") return false;
    if (verb == "reset") carrier.resetConnection();
    else if (verb == "stall") carrier.setStallReading(onOff(arg));
    else if (verb == "refuse") carrier.setRefuseConnections(onOff(arg));
    else if (verb == "silent") faults.silent = onOff(arg);
    else if (verb == "delay") faults.answerDelayMs = static_cast<int>(number(arg, 3600000));
    else if (verb == "heartbeat") device.sendHeartbeat(byteValue(arg));
    else if (verb == "send") {
        std::vector<uint8_t> bytes;
        for (; !arg.empty(); arg.clear(), in >> arg) bytes.push_back(static_cast<uint8_t>(number("0x" + arg, 0xFF)));
        device.injectToHost(std::move(bytes));
    } else if (verb == "packets") {
        for (const sim::Packet& packet : device.records().packets) std::cout << hex(packet.wire()) << '\n';
    } else if (verb == "bytes") std::cout << hex(device.records().bytes) << '\n';
    else if (verb == "heartbeats") std::cout << hex(device.records().heartbeatReplies) << '\n';
    else if (verb == "routes") std::cout << hex(device.records().forceRoutes) << '\n';
    else if (verb == "counts") {
        sim::Records r = device.records();
        std::cout << "bytes " << r.byteCount << " packets " << r.packetCount << " framing-errors "
                  << r.framingErrors << " disconnects " << r.disconnects << '\n';
    } else if (verb == "clear") device.clearRecords();
    else if (verb == "wait-packets") {
        size_t count = number(arg, 1u << 30);
        std::string ms;
        int timeoutMs = (in >> ms) ? static_cast<int>(number(ms, 3600000)) : 10000;
        if (!device.waitForPackets(count, timeoutMs)) throw std::runtime_error("timeout");
    } else throw std::invalid_argument("unknown command '" + verb + "'");
    device.setFaults(faults);
    std::cout << "ok" << std::endl;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    try {
        settings = parse(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "tessaline-sim: " << e.what() << '\n' << kUsage;
        return 2;
    }
    // End with the process that started us, and take the stop signals from
    // a descriptor (blocked here, before any thread starts).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    int signals = signalfd(-1, &stops, SFD_CLOEXEC);

    try {
        sim::DeviceModel device(settings.device);
        device.setFaults(settings.faults);
        sim::TcpCarrier carrier(device, settings.carrier);
        carrier.setStallReading(settings.stall);
        carrier.setRefuseConnections(settings.refuse);
        std::unique_ptr<sim::DiscoveryResponder> discovery;
        if (!settings.discovery.empty()) {
            std::string foreign;
            if (!onlyPrivateInterfaces(foreign))
                throw std::runtime_error("--discovery refuses to run beside the network interface '" + foreign +
                                         "': run it in a private network namespace");
            sim::DiscoveryAnswer answer;
            answer.moduleAddress = settings.device.address;
            answer.tcpPort = carrier.port();
            answer.serialNumber = settings.device.serialNumber;
            answer.model = settings.device.model;
            discovery = std::make_unique<sim::DiscoveryResponder>(std::vector<sim::DiscoveryAnswer>{answer},
                                                                  settings.discovery);
            if (!discovery->ok()) throw std::runtime_error(discovery->error());
        }
        std::cout << carrier.port() << std::endl;

        std::string buffered;
        bool reading = true;
        for (;;) {
            pollfd fds[2] = {{signals, POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            if (fds[0].revents) break;
            if (!fds[1].revents) continue;
            char chunk[4096];
            ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) { // no more commands: serve until stopped
                reading = false;
                continue;
            }
            buffered.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = buffered.find('\n')) != std::string::npos;) {
                std::string line = buffered.substr(0, end);
                buffered.erase(0, end + 1);
                try {
                    if (!command(line, device, carrier)) return 0;
                } catch (const std::exception& e) {
                    std::cout << "error " << e.what() << std::endl;
                }
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "tessaline-sim: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
