#include "engine/KeyValueStore.h"

#include "engine/Log.h"
#include "engine/ReplaceFile.h"
#include "platform/aFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* const WHITESPACE = " \t\n\v\f\r";

std::string _trim_right(const std::string& text)
{
    const size_t end = text.find_last_not_of(WHITESPACE);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// One whole line, newline included, however long; false at the end of the
// file or on a read error.
bool _read_line(aFile* file, std::string& line)
{
    line.clear();
    char buffer[2048];
    for (;;) {
        uint64_t length = 0;
        const aErr rc = aFile_ReadLine(file, buffer, sizeof buffer, &length);
        line.append(buffer, size_t(length));
        if (rc != aErrOverrun) return rc == aErrNone || !line.empty();
    }
}

} // namespace

bool KeyValueStore::Writable(const std::string& key, const std::string& value)
{
    // A line is text without NUL and ends at its newline; the reader takes the
    // key up to the first "=", trims whitespace around key and value, and
    // skips comments and lines too short to hold an entry.
    for (const std::string* text : {&key, &value}) {
        if (text->find_first_of(std::string("\n\0", 2)) != std::string::npos) return false;
        if (!text->empty() && (std::strchr(WHITESPACE, text->front()) || std::strchr(WHITESPACE, text->back())))
            return false;
    }
    if (key.find('=') != std::string::npos) return false;
    if (!key.empty() && key[0] == '#') return false;
    return !(key.empty() && value.empty());
}

KeyValueStore::KeyValueStore(const char* file)
{
    if (file) Load(file);
}

std::string KeyValueStore::TimeStamp()
{
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[64];
    snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", DAYS[local.tm_wday % 7], MONTHS[local.tm_mon % 12],
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    return text;
}

void KeyValueStore::Load(const char* file)
{
    if (!file) return;
    aFile* in = aFile_Open(file, aFileModeRead);
    if (!in) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", file, errno);
        Add(KEY_CREATED_TIME, TimeStamp());
        Save(file);
        return;
    }
    path = file;
    dirty = false;
    for (std::string line; _read_line(in, line);) {
        if (line.size() < 3 || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const size_t keyStart = line.find_first_not_of(WHITESPACE);
        const std::string key = keyStart < equals ? _trim_right(line.substr(keyStart, equals - keyStart)) : "";
        const size_t valueStart = line.find_first_not_of(WHITESPACE, equals + 1);
        values[key] = valueStart == std::string::npos ? std::string() : _trim_right(line.substr(valueStart));
    }
    aFile_Close(&in);
}

bool KeyValueStore::Save(const char* file)
{
    if (file) path = file;
    if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }
    if (dirty) Add(KEY_UPDATED_TIME, TimeStamp());
    const aErr rc = ReplaceFile(path, [this](aFile* out) {
        aErr written = aErrNone;
        for (const auto& [key, value] : values) {
            // Every line written reads back as the entry it came from; an entry
            // that no line can hold (read from a hand-edited file, or put into
            // the map directly) is left out rather than written as another.
            if (!Writable(key, value)) {
                Log::log(DEBUG_Attributes, "Attibutes: Error - leaving out an entry that cannot be written: '%s'\n",
                         key.c_str());
                continue;
            }
            if (written == aErrNone) written = aFile_Printf(out, "%s=%s\n", key.c_str(), value.c_str());
        }
        return written;
    });
    if (rc == aErrNotFound) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), errno);
        return false;
    }
    if (rc != aErrNone) {
        // The file on disk is as it was: keep the changes marked as unsaved.
        Log::log(DEBUG_Attributes, "Attibutes: Error - writing attributes file: '%s' (%d)\n", path.c_str(), int(rc));
        return false;
    }
    dirty = false;
    return true;
}

const char* KeyValueStore::operator[](const char* key) const
{
    const auto found = values.find(key ? key : "");
    return found == values.end() ? nullptr : found->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const
{
    const char* value = (*this)[key];
    return value ? value : defaultValue ? defaultValue : "";
}

const char* KeyValueStore::numberText(const char* key)
{
    const std::string name = key ? key : "";
    const auto found = values.find(name);
    if (found == values.end()) {
        // Entered so that the next save names the key, when a line can hold it.
        if (Writable(name, "")) values[name];
        return nullptr;
    }
    const std::string& value = found->second;
    return value.empty() ? nullptr : value.c_str();
}

int KeyValueStore::GetInt(const char* key, int defaultValue)
{
    const char* text = numberText(key);
    if (!text) return defaultValue;
    errno = 0;
    const long number = strtol(text, nullptr, 10);
    return errno == ERANGE || number < INT_MIN || number > INT_MAX ? defaultValue : int(number);
}

unsigned KeyValueStore::GetHex(const char* key, unsigned defaultValue)
{
    const char* text = numberText(key);
    if (!text) return defaultValue;
    errno = 0;
    const unsigned long number = strtoul(text, nullptr, 16);
    return errno == ERANGE || number > UINT_MAX ? defaultValue : unsigned(number);
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue)
{
    const char* text = numberText(key);
    return text ? strtol(text, nullptr, 10) != 0 : defaultValue;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue)
{
    const char* text = numberText(key);
    return text ? strtod(text, nullptr) : defaultValue;
}

bool KeyValueStore::Add(const char* key, const std::string& value)
{
    if (!Writable(key ? key : "", value)) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - refusing an entry that cannot be written: '%s'\n",
                 key ? key : "");
        return false;
    }
    std::string& current = values[key ? key : ""];
    if (current != value) dirty = true;
    current = value;
    return true;
}

bool KeyValueStore::Add(const char* key, const char* value)
{
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, int value)
{
    return Add(key, std::to_string(value));
}

bool KeyValueStore::Add(const char* key, double value)
{
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, unsigned value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    bool all = true;
    for (const auto& [key, value] : other.values) {
        if (Writable(key, value)) {
            values[key] = value;
            dirty = true;
        } else {
            all = false;
        }
    }
    return all;
}

bool KeyValueStore::Clear()
{
    values.clear();
    dirty = true;
    return true;
}
