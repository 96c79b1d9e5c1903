// Writing a 256 KiB firmware image (and a 2 KiB loader) into the simulated
// device over TCP on 127.0.0.1 with the engine's loader stage and firmware
// stage, beside a minimal client on the same device in the same run: once in
// the request form (26 image bytes a request, each answered) and once with
// the firmware data as byte arrays (24 bytes a packet, one answer per piece
// of the device's block size) over a link with pooled packets. Figures: KiB
// of firmware per second for each, and the engine's rate as a ratio to the
// client's (best round of each; the two take turns); then for each the
// number of calls that wrote to the device's socket in one more round,
// untimed.
//
// The minimal client makes the same exchanges as the engine: init, prepare,
// data, sum and load for the loader, then prepare, and data, sum and write
// for every piece of the device's block size. It sends each request with one
// blocking send on one socket, and the chunk packets of a byte-array piece
// gathered into blocking sends of at most 4096 bytes, as a host that pools
// its packets does (a piece of the block size fits one send); the bytes are
// those of one packet after the other. It reads each answer with blocking
// receives before the next request goes out. It checks only that each
// answer has the command and option it waits for; it does no
// synchronisation, runs no link threads, matches no replies beyond that,
// retries nothing and shows no progress. Left out of both timings and counts:
// the connection, the two questions that choose the byte-array form
// (answered before the firmware stage's clock starts), the reboot request
// and the wait for the device to restart, which the device's own restart
// time would decide.
//
// The counts: this program defines send, sendto, sendmsg, write and writev
// itself, so that the libraries linked into it (the link's socket stream
// writes with send) call these, which hand each call on to the C library's
// (found with dlsym). While a count runs, a call on a socket whose peer is
// the device's port counts, whether or not the socket took the bytes; the
// device's own sends, whose peer is the client's port, do not. Outside the
// counting round the functions only hand the call on, so the timed rounds
// are not perturbed beyond one load of an atomic.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/roundtrip_measure.h"
#include "common/aDefs.h"
#include "device_api/Module.h"
#include "engine/BirdFile.h"
#include "engine/UpdaterEntity.h"
#include "engine/UpdaterTransfer.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/device_model.h"
#include "tests/sim/module_info.h"
#include "tests/sim/netns.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/uei_entities.h"
#include "tests/sim/upgrade_device.h"

namespace {

using Zentrova::Tessaline::Module;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kModule = 0x02;
constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x60000000;
constexpr size_t kLoaderSize = 2048;
constexpr size_t kFirmwareSize = 256 * 1024;
constexpr uint16_t kBlockSize = 512;
constexpr uint8_t kUpgrade = 0x5F;
enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kStatus = 7 };
// The byte-array data option set, its answer, and the entity's index byte.
constexpr uint8_t kDataUeiSet = 0x8A;
constexpr uint8_t kDataUeiReply = 0xCA;
constexpr uint8_t kIndexFlag = 0x20;
constexpr size_t kChunkBytes = 24;
constexpr uint8_t kMoreChunks = 0x80;
// The most bytes the client gathers into one send, and the largest packet.
constexpr size_t kPoolBytes = 4096;
constexpr size_t kLargestWire = 30;

// The calls that write to a socket whose peer is the device's port, counted
// while a count runs.
class WriteCount {
public:
    static void start(uint16_t port)
    {
        calls_ = 0;
        port_ = port;
    }
    static unsigned long stop()
    {
        port_ = 0;
        return calls_;
    }
    static void note(int fd)
    {
        const uint16_t port = port_;
        if (port == 0) return;
        sockaddr_in peer = {};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
            peer.sin_port == htons(port))
            calls_++;
    }

private:
    static inline std::atomic<uint16_t> port_{0};
    static inline std::atomic<unsigned long> calls_{0};
};

// The C library's function of that name, which the one below hands on to.
template <typename Proc>
Proc next(const char* name)
{
    return reinterpret_cast<Proc>(dlsym(RTLD_NEXT, name));
}

} // namespace

// This program's own send, sendto, sendmsg, write and writev, which the
// linker takes for the libraries' calls in place of the C library's: each
// notes the call and hands it on unchanged (the socket is looked at first,
// so the errno of the call is what the caller sees).
extern "C" ssize_t send(int fd, const void* data, size_t n, int flags)
{
    static const auto proc = next<ssize_t (*)(int, const void*, size_t, int)>("send");
    WriteCount::note(fd);
    return proc(fd, data, n, flags);
}

extern "C" ssize_t sendto(int fd, const void* data, size_t n, int flags, const sockaddr* to, socklen_t size)
{
    static const auto proc = next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    WriteCount::note(fd);
    return proc(fd, data, n, flags, to, size);
}

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags)
{
    static const auto proc = next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
    WriteCount::note(fd);
    return proc(fd, message, flags);
}

extern "C" ssize_t write(int fd, const void* data, size_t n)
{
    static const auto proc = next<ssize_t (*)(int, const void*, size_t)>("write");
    WriteCount::note(fd);
    return proc(fd, data, n);
}

extern "C" ssize_t writev(int fd, const iovec* parts, int count)
{
    static const auto proc = next<ssize_t (*)(int, const iovec*, int)>("writev");
    WriteCount::note(fd);
    return proc(fd, parts, count);
}

namespace {

// Shows nothing.
class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

double kibPerSecond(Clock::duration took)
{
    double seconds = std::chrono::duration<double>(took).count();
    return seconds > 0 ? double(kFirmwareSize) / 1024.0 / seconds : 0;
}

// The engine's stages through a module connected to the device, in the
// byte-array form when ueiBytes; 0 on failure. With writes, the writes to the
// device made while the clock runs are counted into it.
double engineRun(const sim::TcpCarrier& carrier, const BirdFile& file, bool ueiBytes, unsigned long* writes = nullptr)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = kSerial;
    spec.moduleAddress = kModule;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.tcpPort = carrier.port();
    aVorneConfig unshared;
    unshared.enabled = 0;
    unshared.fallback = 0;
    Module module{kModule, uint8_t{0}};
    if (module.setConfig(unshared) != aErrNone || module.connectFromSpec(spec) != aErrNone) return 0;

    auto count = [&](bool on) {
        if (writes && on) WriteCount::start(carrier.port());
        if (writes && !on) *writes += WriteCount::stop();
    };
    QuietDisplay display;
    count(true);
    auto start = Clock::now();
    const aErr loaded = _transfer_loader(display, module, file);
    Clock::duration took = Clock::now() - start;
    count(false);
    if (loaded != aErrNone) return 0;
    // The firmware stage up to its reboot request.
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    if (ueiBytes && (entity.CheckUEIDataSupport() != aErrNone || entity.CheckPooledPacketsSupport() != aErrNone))
        return 0;
    count(true);
    start = Clock::now();
    bool written = true;
    for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        unsigned short blockSize = 0;
        written = written && entity.TransferPrepare(block.payload, block.length, block.flags, blockSize) == aErrNone &&
                  entity.FirmwareTransfer(block.payload, block.length, blockSize, display) == aErrNone;
    }
    took += Clock::now() - start;
    count(false);
    if (!written) return 0;
    module.disconnect();
    return kibPerSecond(took);
}

// The minimal client's blocking socket.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Sends 5F option arguments and reads one answer, which must begin 5F answerOption.
    bool exchange(uint8_t option, const uint8_t* arguments, size_t length, uint8_t answerOption)
    {
        return put(option, arguments, length) && answer(answerOption);
    }

    bool put(uint8_t option, const uint8_t* arguments, size_t length)
    {
        uint8_t wire[32];
        return sendAll(wire, wireForm(option, arguments, length, wire));
    }

    bool answer(uint8_t answerOption)
    {
        uint8_t header[2];
        if (recv(fd_, header, 2, MSG_WAITALL) != 2 || header[1] < 2) return false;
        uint8_t answer[32];
        if (recv(fd_, answer, header[1], MSG_WAITALL) != header[1]) return false;
        return answer[0] == kUpgrade && answer[1] == answerOption;
    }

    // One piece as a byte array: its chunks, gathered into sends of at most
    // 4096 bytes (one for a piece of the block size), then the one answer.
    bool byteArray(const uint8_t* image, size_t n)
    {
        uint8_t chunk[kChunkBytes + 2] = {kIndexFlag};
        uint8_t pool[kPoolBytes];
        size_t used = 0;
        size_t sent = 0;
        uint8_t counter = 0;
        do {
            if (used + kLargestWire > sizeof pool) {
                if (!sendAll(pool, used)) return false;
                used = 0;
            }
            const size_t k = std::min(kChunkBytes, n - sent);
            std::copy(image + sent, image + sent + k, chunk + 1);
            chunk[1 + k] = uint8_t((counter++ & 0x7F) | (sent + k < n ? kMoreChunks : 0));
            used += wireForm(kDataUeiSet, chunk, k + 2, pool + used);
            sent += k;
        } while (sent < n);
        return sendAll(pool, used) && answer(kDataUeiReply);
    }

    // Prepare, then data and the sum for each piece of the block (the whole
    // block at once for the loader, else pieces of the block size, each
    // committed by a write); the firmware's data as byte arrays when ueiBytes.
    bool block(uint32_t address, const uint8_t* image, size_t size, bool firmware, bool ueiBytes = false)
    {
        const uint8_t prepare[5] = {0, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                                    uint8_t(address)};
        if (!exchange(kPrepare, prepare, sizeof prepare, kStatus)) return false;
        const size_t piece = firmware ? kBlockSize : size;
        for (size_t at = 0; at < size; at += piece) {
            const size_t n = std::min(piece, size - at);
            if (ueiBytes && !byteArray(image + at, n)) return false;
            for (size_t sent = 0; !ueiBytes && sent < n; sent += UpdaterEntity::kDataBytes) {
                const size_t k = std::min<size_t>(UpdaterEntity::kDataBytes, n - sent);
                if (!exchange(kData, image + at + sent, k, kData)) return false;
            }
            if (!exchange(kSum, nullptr, 0, kStatus)) return false;
            const uint8_t length[2] = {uint8_t(n >> 8), uint8_t(n)};
            if (firmware && !exchange(kWrite, length, sizeof length, kStatus)) return false;
        }
        return true;
    }

private:
    // The wire form of a 5F request: address, length, 5F, option, arguments.
    static size_t wireForm(uint8_t option, const uint8_t* arguments, size_t length, uint8_t* wire)
    {
        wire[0] = kModule;
        wire[1] = uint8_t(length + 2);
        wire[2] = kUpgrade;
        wire[3] = option;
        std::copy(arguments, arguments + length, wire + 4);
        return length + 4;
    }

    // One blocking send of all n bytes.
    bool sendAll(const uint8_t* bytes, size_t n) { return send(fd_, bytes, n, MSG_NOSIGNAL) == ssize_t(n); }

    int fd_ = -1;
};

// The minimal client's run; 0 on failure. With writes, its writes to the
// device are counted into it.
double minimalRun(uint16_t port, const Bytes& loader, const Bytes& firmware, bool ueiBytes,
                  unsigned long* writes = nullptr)
{
    Client client(port);
    if (!client.ok()) return 0;
    if (writes) WriteCount::start(port);
    auto start = Clock::now();
    const bool done = client.exchange(kInit, nullptr, 0, kInit) &&
                      client.block(kLoaderAddress, loader.data(), loader.size(), false) &&
                      client.exchange(kLoad, nullptr, 0, kLoad) &&
                      client.block(kFirmwareAddress, firmware.data(), firmware.size(), true, ueiBytes);
    const Clock::duration took = Clock::now() - start;
    if (writes) *writes += WriteCount::stop();
    return done ? kibPerSecond(took) : 0;
}

} // namespace

int main()
{
    std::string why;
    if (!sim::enterPrivateNetwork(&why)) {
        std::fprintf(stderr, "transfer_tcp: no private network: %s\n", why.c_str());
        return 1;
    }
    char folder[] = "/tmp/transfer_tcp.XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string path = std::string(folder) + "/image.bird";
    const Bytes loader = sim::randomBytes(kLoaderSize, 3);
    const Bytes firmware = sim::randomBytes(kFirmwareSize, 4);
    sim::BirdWriter()
        .identity(1234, "2.15.3", kSerial, "Korvel")
        .loader(kLoaderAddress, loader)
        .firmware(kFirmwareAddress, firmware)
        .write(path);
    BirdFile file(path.c_str());
    std::remove(path.c_str());
    rmdir(folder);

    sim::DeviceConfig config{kModule, sim::kEchoCommand, kSerial, aMODEL_KORVEL};
    config.recordTraffic = false;
    sim::DeviceModel device(config);
    sim::UeiEntities entities(device);
    sim::ModuleInfo info(device, entities, 1234);
    sim::UpgradeDevice upgrade(device, entities, kBlockSize);
    sim::TcpCarrier carrier(device);

    upgrade.acceptUeiData();
    upgrade.setProtocolFeatures(0x80000000u); // pooled packets

    bool whole = true;
    const int rounds = roundtrip::runLength(5, 1);
    for (bool ueiBytes : {false, true}) {
        double engine = 0, minimal = 0;
        for (int round = 0; round < rounds; round++) {
            engine = std::max(engine, engineRun(carrier, file, ueiBytes));
            whole = whole && upgrade.firmware()[kFirmwareAddress] == firmware;
            minimal = std::max(minimal, minimalRun(carrier.port(), loader, firmware, ueiBytes));
            whole = whole && upgrade.firmware()[kFirmwareAddress] == firmware;
        }
        // One more round of each, untimed, counts the writes.
        unsigned long engineWrites = 0, minimalWrites = 0;
        whole = whole && engineRun(carrier, file, ueiBytes, &engineWrites) > 0 &&
                upgrade.firmware()[kFirmwareAddress] == firmware;
        whole = whole && minimalRun(carrier.port(), loader, firmware, ueiBytes, &minimalWrites) > 0 &&
                upgrade.firmware()[kFirmwareAddress] == firmware;
        const char* form = ueiBytes ? "uei" : "request";
        std::printf("transfer.tcp.%s.kib_per_s %.0f KiB/s\n", form, engine);
        std::printf("transfer.tcp.minimal.%s.kib_per_s %.0f KiB/s\n", form, minimal);
        std::printf("transfer.tcp.%s.ratio %.2f ratio\n", form, minimal > 0 ? engine / minimal : 0);
        std::printf("transfer.tcp.%s.sends %lu sends\n", form, engineWrites);
        std::printf("transfer.tcp.minimal.%s.sends %lu sends\n", form, minimalWrites);
        whole = whole && engine > 0 && minimal > 0;
    }
    if (!whole) std::fprintf(stderr, "transfer_tcp: a run failed or left an image unlike the file's\n");
    return whole ? 0 : 1;
}
