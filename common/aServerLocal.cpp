// The process's table of in-process server routes and the clients that use them.
#include "common/aServerLocal.h"

#include <sys/eventfd.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A route of the process that published it: a child forked from that
// process inherits the table, but neither the server's endpoint nor the
// clients' descriptors are its own.
struct Route {
    pid_t owner;
    uint32_t address;
    uint16_t port;
    std::string endpoint;
    std::vector<int> clients;
};

std::mutex sLock;
std::vector<Route> sRoutes;

// Drops the routes that came with a fork; under the lock.
void sForgetInherited()
{
    const pid_t self = getpid();
    auto inherited = [self](const Route& route) { return route.owner != self; };
    sRoutes.erase(std::remove_if(sRoutes.begin(), sRoutes.end(), inherited), sRoutes.end());
}

// The route of this process to the address and port; under the lock.
std::vector<Route>::iterator sFind(uint32_t address, uint16_t port)
{
    sForgetInherited();
    return std::find_if(sRoutes.begin(), sRoutes.end(),
                        [&](const Route& route) { return route.address == address && route.port == port; });
}

} // namespace

bool aServerLocal_Publish(uint32_t address, uint16_t port, const char* endpoint)
{
    std::lock_guard<std::mutex> lock(sLock);
    if (!endpoint || sFind(address, port) != sRoutes.end()) return false;
    try {
        sRoutes.push_back(Route{getpid(), address, port, endpoint, {}});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void aServerLocal_Withdraw(uint32_t address, uint16_t port)
{
    std::lock_guard<std::mutex> lock(sLock);
    auto route = sFind(address, port);
    if (route == sRoutes.end()) return;
    for (int lostFd : route->clients) eventfd_write(lostFd, 1);
    sRoutes.erase(route);
}

bool aServerLocal_Join(uint32_t address, uint16_t port, int lostFd, char* endpoint, size_t capacity)
{
    std::lock_guard<std::mutex> lock(sLock);
    auto route = sFind(address, port);
    if (route == sRoutes.end() || lostFd < 0 || !endpoint || route->endpoint.size() >= capacity) return false;
    try {
        route->clients.push_back(lostFd);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::memcpy(endpoint, route->endpoint.c_str(), route->endpoint.size() + 1);
    return true;
}

void aServerLocal_Leave(int lostFd)
{
    std::lock_guard<std::mutex> lock(sLock);
    sForgetInherited();
    for (Route& route : sRoutes) route.clients.erase(std::remove(route.clients.begin(), route.clients.end(), lostFd), route.clients.end());
}
