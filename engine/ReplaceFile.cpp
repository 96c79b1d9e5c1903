#include "engine/ReplaceFile.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The hidden sibling that holds the new content: listings pass over names
// that begin with a dot.
std::string _sibling(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, nameStart) + "." + path.substr(nameStart) + ".part";
}

aErr _write(const std::string& path, const std::function<aErr(aFile*)>& write)
{
    aFile* out = aFile_Open(path.c_str(), aFileModeWrite);
    if (!out) return aErrNotFound;
    aErr rc = write(out);
    const aErr closed = aFile_Close(&out);
    return rc != aErrNone ? rc : closed;
}

// Puts the content on the disk before the rename makes it the file.
aErr _sync(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return aErrIO;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced ? aErrNone : aErrIO;
}

} // namespace

aErr ReplaceFile(const std::string& path, const std::function<aErr(aFile*)>& write,
                 const std::function<aErr(const std::string&)>& check)
{
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) return _write(path, write);

    const std::string part = _sibling(path);
    aErr rc = _write(part, write);
    if (rc == aErrNone) rc = _sync(part);
    if (rc == aErrNone && check) rc = check(part);
    if (rc == aErrNone && std::rename(part.c_str(), path.c_str()) != 0) rc = aErrIO;
    if (rc != aErrNone) std::remove(part.c_str());
    return rc;
}
