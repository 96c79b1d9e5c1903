// Key/value text files (a device's ".settings"): one "key=value" line per
// entry in key order, read with comments and blank lines skipped. Problems go
// to the debug log; a save that fails says so and keeps the changes in memory.
#pragma once

#include <map>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // Empty; loads the file when a path is given.
    explicit KeyValueStore(const char* path = nullptr);

    // Merges the file's entries into the store and attaches it to the file;
    // a file that cannot be read is created, stamped with CREATED_TIME.
    void Load(const char* path);
    // Writes every entry to the file given, else to the attached file, else
    // to ".settings" in the working directory; stamps UPDATED_TIME first when
    // something changed since the last load or save. An entry that is not
    // Writable (loaded from a hand-edited line such as "  #K=v", or put into
    // `values` directly) is left out. False when the file could not be
    // written: it is as it was, and the changes stay marked unsaved.
    bool Save(const char* path = nullptr);

    // The value, or null for an absent key.
    const char* operator[](const char* key) const;
    // The value when the key is present (even when empty), else the default.
    std::string GetString(const char* key, const char* defaultValue = nullptr) const;
    // Conversions of a non-empty value; otherwise (also when the number does
    // not fit) the default. An absent key is entered with an empty value.
    int GetInt(const char* key, int defaultValue = 0);             // leading decimal number: "1234.bird" is 1234
    unsigned GetHex(const char* key, unsigned defaultValue = 0);   // leading hexadecimal number, "0x" allowed
    bool GetBOOL(const char* key, bool defaultValue = false);      // GetInt is not 0
    double GetDouble(const char* key, double defaultValue = 0.0);  // leading floating-point number

    // Whether the entry reads back as it is once saved: neither text holds a
    // NUL or a newline or begins or ends with whitespace, the key holds no "="
    // and does not begin with "#", and the line is more than "=" alone.
    static bool Writable(const std::string& key, const std::string& value);

    // Setters; each marks the store changed when the text differs, and
    // refuses (false, nothing changed) an entry that is not Writable.
    bool Add(const char* key, int value);      // "%d"
    bool Add(const char* key, double value);   // "%f"
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, unsigned value);  // "0x%08X"
    // Copies every entry of the other store over this one's; false when one
    // was refused.
    bool Add(const KeyValueStore& other);
    bool Clear();

    // The current local time as 24 characters, "Www Mmm dd hh:mm:ss yyyy".
    static std::string TimeStamp();

    std::string path;                          // the file that Save writes without an argument
    std::map<std::string, std::string> values; // byte-wise key order
    bool dirty = false;                        // changed since the last load or save

private:
    // The value of a present, non-empty key; null otherwise (an absent key is entered).
    const char* numberText(const char* key);
};
