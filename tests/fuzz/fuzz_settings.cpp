// A device's ".settings" file. Any file loads; saved again it reads back as
// the entries that a line can hold. Entries set through the store are taken
// exactly when they are writable, and a saved store reads back equal.
#include "engine/KeyValueStore.h"
#include "tests/fuzz/support.h"

#include <map>
#include <string>

namespace {

using Entries = std::map<std::string, std::string>;

Entries writable(const Entries& entries)
{
    Entries kept;
    for (const auto& [key, value] : entries)
        if (KeyValueStore::Writable(key, value)) kept.emplace(key, value);
    return kept;
}

void loadedFileSavesBack(const fuzz::Bytes& file)
{
    const std::string path = fuzz::writeScratchFile("loaded.settings", file);
    KeyValueStore loaded(path.c_str());
    FUZZ_CHECK(!loaded.dirty);
    const std::string saved = fuzz::scratchDirectory() + "/saved.settings";
    loaded.Save(saved.c_str());
    KeyValueStore again(saved.c_str());
    FUZZ_CHECK(again.values == writable(loaded.values));
}

void setEntriesReadBack(fuzz::Input& input)
{
    KeyValueStore store;
    Entries expected;
    while (!input.empty()) {
        // Keys are C strings: they end at a NUL.
        const std::string key = input.text(40).c_str();
        const std::string value = input.text(80);
        const bool taken = store.Add(key.c_str(), value);
        FUZZ_CHECK(taken == KeyValueStore::Writable(key, value));
        if (taken) expected[key] = value;
    }
    FUZZ_CHECK(store.values == expected);
    const std::string saved = fuzz::scratchDirectory() + "/set.settings";
    store.Save(saved.c_str());
    FUZZ_CHECK(!store.dirty);
    KeyValueStore again(saved.c_str());
    FUZZ_CHECK(again.values == store.values);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    if (input.byte() & 1)
        setEntriesReadBack(input);
    else
        loadedFileSavesBack(input.rest());
    return 0;
}
