// The lock around the messaging library's beacon interface: the library keeps
// one process-wide network interface for its UDP beacons, so whoever sets it
// and then configures a beacon does so under this lock, and a search can put
// the previous setting back when it is done.
#pragma once

#include <string>

// A valid interface text is a dotted IPv4 address, "" (the library's default
// interface) or "*" (every interface). The lock-taking operations do nothing
// for any other text and answer false; after true the caller releases the lock
// with zBeaconInterface_unlock or zBeaconInterface_restoreAndUnlock.

// Takes the lock and sets the interface.
bool zBeaconInterface_setAndLock(const char* networkInterface);
void zBeaconInterface_unlock();
// Takes the lock, saves the current interface and sets the new one.
bool zBeaconInterface_backupSetAndLock(const char* networkInterface);
// Puts the saved interface back and releases the lock.
void zBeaconInterface_restoreAndUnlock();

// The current interface, without the lock.
std::string zBeaconInterface_get();
// Takes the lock and gives the current interface.
std::string zBeaconInterface_getAndLock();
// The saved interface.
std::string zBeaconInterface_getBackup();
// Takes the lock and gives the saved interface.
std::string zBeaconInterface_getBackupAndLock();
