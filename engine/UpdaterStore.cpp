#include "engine/UpdaterStore.h"

#include "engine/Log.h"
#include "engine/ReplaceFile.h"
#include "platform/aDirectory.h"
#include "platform/aFile.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

// What a search of one folder looks for and finds.
struct result_t {
    bool found = false;
    std::string name;
    UpdaterStoreItem* item = nullptr;
};

std::string _serial_name(unsigned serial)
{
    char name[16];
    snprintf(name, sizeof name, "%08X", serial);
    return name;
}

// Splits a listed entry's full path at its last separator.
void _split_path(const char* path, std::string& dir, std::string& name)
{
    const std::string full = path;
    const size_t sep = full.rfind(aDIR_PATH_SEP);
    dir = sep == std::string::npos ? std::string() : full.substr(0, sep);
    name = sep == std::string::npos ? full : full.substr(sep + 1);
}

void _ensure_directory(const std::string& path)
{
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str())) throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    const aErr rc = aDirectory_Ensure(path.c_str(), 0755);
    if (rc != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(rc));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool _find_item(const aDirectoryListData* entry, void* reference)
{
    result_t* result = static_cast<result_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path, int(entry->isDirectory),
             int(entry->size), result->name.c_str());
    std::string dir, name;
    _split_path(entry->path, dir, name);
    if (name == "." || name == ".." || name != result->name) return true;
    result->found = true;
    if (result->item)
        *result->item = UpdaterStoreItem(dir.c_str(), name.c_str(),
                                         entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return false;
}

// Searches the folder for an entry of that name.
bool _search(const std::string& folder, const char* name, UpdaterStoreItem* item)
{
    result_t result;
    result.name = name ? name : "";
    result.item = item;
    const bool found = aDirectory_List(folder.c_str(), _find_item, &result) == aErrNone && result.found;
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", result.name.c_str());
    return found;
}

struct items_t {
    std::string folder;
    std::vector<UpdaterStoreItem>* out;
};

bool _find_items(const aDirectoryListData* entry, void* reference)
{
    items_t* items = static_cast<items_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, int(entry->isDirectory),
             int(entry->size));
    std::string dir, name;
    _split_path(entry->path, dir, name);
    if (name.empty() || name[0] == '.') return true;
    items->out->emplace_back(items->folder.c_str(), name.c_str(),
                             entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* folder, const char* entry, store_item_t kind)
    : dir(folder ? folder : ""), name(entry ? entry : ""), type(kind)
{
    attributes.Load(BuildPath(dir.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

bool UpdaterStoreItem::IsValid() const
{
    return !dir.empty() && !name.empty();
}

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data, size_t length)
{
    return _write(file, data, length, nullptr);
}

aErr UpdaterStoreItem::WriteBirdFile(const char* file, const unsigned char* data, size_t length)
{
    return _write(file, data, length, [](const std::string& written) {
        try {
            _read_bird(written);
            return aErrNone;
        } catch (const std::runtime_error& e) {
            Log::log(DEBUG_Updater, "UpdaterStore: %s is no firmware file (%s).\n", written.c_str(), e.what());
            return aErrParse;
        }
    });
}

aErr UpdaterStoreItem::_write(const char* file, const unsigned char* data, size_t length,
                              const std::function<aErr(const std::string&)>& check)
{
    if (!data || !file) return aErrNotFound;
    const std::string path = BuildPath(dir.c_str(), name.c_str(), file, nullptr);
    // A download that fails midway never leaves a half-written firmware file.
    const aErr rc = ReplaceFile(path, [&](aFile* out) { return aFile_Write(out, data, length, nullptr); }, check);
    Log::log(DEBUG_Updater, "UpdaterStore: wrote %zu bytes to [%s] (%d).\n", length, path.c_str(), int(rc));
    return rc;
}

BirdFile UpdaterStoreItem::_read_bird(const std::string& path)
{
    if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file)
{
    return _read_bird(BuildPath(dir.c_str(), name.c_str(), file ? file : "", nullptr));
}

bool UpdaterStoreItem::FileExists(const char* file)
{
    return _search(BuildPath(dir.c_str(), name.c_str(), nullptr), file, nullptr);
}

UpdaterStore::UpdaterStore(const char* root) : base(root ? root : "")
{
    _ensure_directory(base);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial)
{
    return AddDevice(_serial_name(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name)
{
    _ensure_directory(BuildPath(base.c_str(), name ? name : "", nullptr));
    return UpdaterStoreItem(base.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item)
{
    return FindDevice(_serial_name(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item)
{
    return _search(base, name, item);
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& out)
{
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    items_t items{BuildPath(device.dir.c_str(), device.name.c_str(), nullptr), &out};
    aDirectory_List(items.folder.c_str(), _find_items, &items);
    return true;
}
