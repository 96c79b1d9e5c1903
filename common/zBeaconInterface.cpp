#include "common/zBeaconInterface.h"

#include <arpa/inet.h>
#include <cstring>
#include <czmq.h>
#include <mutex>

#include "common/aDebug.h"

namespace {

std::mutex _interfaceLock;
std::string _backupInterface;

void _configureBackup(const char* operation)
{
    if (_backupInterface.capacity() < 100) {
        aDebug_Printf(aDEBUG_BEACON_INTERFACE, "%s Reserving memory for _backupInterface\n", operation);
        _backupInterface.reserve(100);
    }
}

bool _isValidIpAddress(const char* text)
{
    in_addr address{};
    return inet_pton(AF_INET, text, &address) == 1;
}

bool _isValidBeaconConfig(const char* text)
{
    return text && (text[0] == '\0' || std::strcmp(text, "*") == 0 || _isValidIpAddress(text));
}

void sLock(const char* operation)
{
    aDebug_Printf(aDEBUG_BEACON_INTERFACE, "%s PRE-LOCK\n", operation);
    _interfaceLock.lock();
    aDebug_Printf(aDEBUG_BEACON_INTERFACE, "%s LOCKED\n", operation);
}

void sUnlock(const char* operation)
{
    aDebug_Printf(aDEBUG_BEACON_INTERFACE, "%s UNLOCKING\n", operation);
    _interfaceLock.unlock();
}

} // namespace

bool zBeaconInterface_setAndLock(const char* networkInterface)
{
    if (!_isValidBeaconConfig(networkInterface)) return false;
    sLock(__func__);
    zsys_set_interface(networkInterface);
    return true;
}

void zBeaconInterface_unlock()
{
    sUnlock(__func__);
}

bool zBeaconInterface_backupSetAndLock(const char* networkInterface)
{
    if (!_isValidBeaconConfig(networkInterface)) return false;
    sLock(__func__);
    _configureBackup(__func__);
    _backupInterface = zsys_interface();
    zsys_set_interface(networkInterface);
    return true;
}

void zBeaconInterface_restoreAndUnlock()
{
    zsys_set_interface(_backupInterface.c_str());
    sUnlock(__func__);
}

std::string zBeaconInterface_get()
{
    return zsys_interface();
}

std::string zBeaconInterface_getAndLock()
{
    sLock(__func__);
    return zsys_interface();
}

std::string zBeaconInterface_getBackup()
{
    _configureBackup(__func__);
    return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock()
{
    sLock(__func__);
    _configureBackup(__func__);
    return _backupInterface;
}
