#include "tests/sim/netns.h"
#include "tests/sim/tsan_suppressions.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

bool fail(std::string* why, const std::string& text)
{
    if (why) *why = text;
    return false;
}

bool shell(const std::string& command, std::string* why)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0) return fail(why, "'" + command + "' failed");
    return true;
}

bool bringLoopbackUp(std::string* why)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return fail(why, std::string("socket: ") + std::strerror(errno));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    int error = errno;
    close(fd);
    if (!up) return fail(why, std::string("bringing lo up: ") + std::strerror(error));
    return true;
}

// A namespace of the calling thread's own, with lo up.
bool unshareNetwork(std::string* why)
{
    if (unshare(CLONE_NEWNET) != 0)
        return fail(why, std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno));
    return bringLoopbackUp(why);
}

struct NamespaceId {
    dev_t dev = 0;
    ino_t ino = 0;
};

bool currentNamespace(NamespaceId* id)
{
    struct stat status {};
    if (stat("/proc/thread-self/ns/net", &status) != 0) return false;
    id->dev = status.st_dev;
    id->ino = status.st_ino;
    return true;
}

// The namespace the process entered, and which process entered it.
struct Entered {
    pid_t pid = 0;
    NamespaceId id;
};
std::mutex sEnteredMutex;
Entered sEntered;

std::vector<std::string> interfacesButLoopback()
{
    std::vector<std::string> names;
    if (struct if_nameindex* all = if_nameindex()) {
        for (struct if_nameindex* entry = all; entry->if_index != 0; ++entry)
            if (std::strcmp(entry->if_name, "lo") != 0) names.push_back(entry->if_name);
        if_freenameindex(all);
    }
    return names;
}

// Interfaces an earlier test made go, and with them their addresses and
// routes. A veth end whose peer lived in a namespace that has just ended may
// be on its way out already: its removal is tried again.
bool removeInterfacesButLoopback(std::string* why)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const std::vector<std::string> left = interfacesButLoopback();
        if (left.empty()) return true;
        for (const std::string& name : left) shell("ip link del dev " + name, nullptr);
        usleep(10 * 1000);
    }
    const std::vector<std::string> left = interfacesButLoopback();
    return left.empty() || fail(why, "interface '" + left.front() + "' cannot be removed");
}

} // namespace

bool waitUntilUp(const std::string& name, std::string* why)
{
    const std::string command = "ip -o link show dev " + name + " 2>/dev/null";
    for (int attempt = 0; attempt < 300; ++attempt) {
        std::string listing;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char chunk[512];
            size_t n;
            while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) listing.append(chunk, n);
            pclose(pipe);
        }
        if (listing.find("state UP") != std::string::npos) return true;
        usleep(10 * 1000);
    }
    return fail(why, name + " did not come up");
}

bool enterPrivateNetwork(std::string* why)
{
    std::lock_guard<std::mutex> lock(sEnteredMutex);
    NamespaceId now;
    if (sEntered.pid == getpid() && currentNamespace(&now) && now.dev == sEntered.id.dev &&
        now.ino == sEntered.id.ino)
        return removeInterfacesButLoopback(why) && bringLoopbackUp(why);
    if (!unshareNetwork(why)) return false;
    if (!currentNamespace(&sEntered.id)) return fail(why, "cannot tell the network namespace entered");
    sEntered.pid = getpid();
    return true;
}

bool addVethPair(const std::string& name0, const std::string& addr0,
                 const std::string& name1, const std::string& addr1, std::string* why)
{
    if (!shell("ip link add " + name0 + " type veth peer name " + name1, why) ||
        !shell("ip addr add " + addr0 + " dev " + name0, why) ||
        !shell("ip link set " + name0 + " up multicast on", why))
        return false;
    if (addr1.empty()) return true;
    return shell("ip addr add " + addr1 + " dev " + name1, why) &&
           shell("ip link set " + name1 + " up multicast on", why) && waitUntilUp(name0, why) &&
           waitUntilUp(name1, why);
}

NetworkHost::NetworkHost()
{
    thread_ = std::thread([this] { loop(); });
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return started_; });
}

NetworkHost::~NetworkHost()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void NetworkHost::loop()
{
    std::string why;
    // Always a namespace of its own: the host is another machine.
    bool entered = unshareNetwork(&why);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ok_ = entered;
        error_ = why;
        tid_ = syscall(SYS_gettid);
        started_ = true;
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
        if (work_.empty()) return;
        std::function<void()> work = std::move(work_.front());
        work_.pop_front();
        lock.unlock();
        work();
        lock.lock();
    }
}

void NetworkHost::run(std::function<void()> work)
{
    std::mutex doneMutex;
    std::condition_variable doneWake;
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_.push_back([&] {
            work();
            std::lock_guard<std::mutex> doneLock(doneMutex);
            done = true;
            doneWake.notify_all();
        });
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> doneLock(doneMutex);
    doneWake.wait(doneLock, [&] { return done; });
}

bool NetworkHost::adopt(const std::string& interfaceName, const std::string& address, std::string* why)
{
    if (!shell("ip link set " + interfaceName + " netns " + std::to_string(tid_), why)) return false;
    bool configured = false;
    run([&] {
        configured = shell("ip addr add " + address + " dev " + interfaceName, why) &&
                     shell("ip link set " + interfaceName + " up multicast on", why) &&
                     waitUntilUp(interfaceName, why);
    });
    return configured;
}

uint32_t ipv4(const char* dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

} // namespace sim
