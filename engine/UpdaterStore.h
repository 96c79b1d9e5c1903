// The local firmware store: one folder per device (named by its serial number
// as eight upper-case hexadecimal digits) under a storage root, holding the
// device's downloaded BIRD files and its ".settings" key/value file.
#pragma once

#include "common/aError.h"
#include "engine/BirdFile.h"
#include "engine/KeyValueStore.h"
#include "engine/PathHelpers.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The kind of a store entry.
enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1, // every device entry
    STORE_ITEM_NONE = 2,      // a default-constructed entry
};

// One folder or file of the store, with the settings of dir/name/.settings.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    // Loads (creating when missing) the entry's settings file.
    UpdaterStoreItem(const char* dir, const char* name, store_item_t type);

    // Both dir and name are set.
    bool IsValid() const;
    // Writes the bytes to dir/name/file, replacing it; aErrNotFound when
    // there are no data or the file cannot be opened, else the write's result.
    aErr WriteFile(const char* file, const unsigned char* data, size_t length);
    // WriteFile for a firmware file: the bytes replace dir/name/file only when
    // they read as ReadBirdFile reads a file; aErrParse, with the old file
    // left as it was, when they do not.
    aErr WriteBirdFile(const char* file, const unsigned char* data, size_t length);
    // The firmware file dir/name/file; throws std::runtime_error when it is
    // no BIRD file ("Invalid bird PATH") or its body cannot be loaded.
    BirdFile ReadBirdFile(const char* file);
    // Whether the entry's own folder holds an entry of that name.
    bool FileExists(const char* file);

    std::string dir;          // the folder that holds the entry
    std::string name;         // the entry's own name
    store_item_t type;
    KeyValueStore attributes; // settings of dir/name/.settings

private:
    aErr _write(const char* file, const unsigned char* data, size_t length,
                const std::function<aErr(const std::string&)>& check);
    // The firmware file at path, as the store reads one.
    static BirdFile _read_bird(const std::string& path);
};

class UpdaterStore {
public:
    // Settings of a device folder, besides the time stamps of KeyValueStore.
    static constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";       // BUILD.bird last downloaded
    static constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE"; // its time stamp
    static constexpr const char* KEY_LATEST_TRANSFER = "LATEST_TRANSFER";       // BUILD.bird or the file path last written
    static constexpr const char* KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE"; // its time stamp

    // Keeps the root, creating it with every missing parent (mode 0755);
    // throws std::runtime_error when it cannot be made or is a file.
    explicit UpdaterStore(const char* base);

    std::string BasePath() const { return base; }

    // The device's folder, created (mode 0755) when missing; throws as the constructor.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char* name);
    // Whether the root holds an entry of that name; fills item when given.
    bool FindDevice(unsigned serial, UpdaterStoreItem* item = nullptr);
    bool FindDevice(const char* name, UpdaterStoreItem* item = nullptr);
    // Appends an item per entry of the device's folder whose name does not
    // begin with "."; always true.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& out);

private:
    std::string base;
};
