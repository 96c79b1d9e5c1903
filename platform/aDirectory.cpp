// Directories over the POSIX file system.
#include "platform/aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#define aDIR_MAX_COMPONENTS 10
// Room for the full path of a listed or removed entry.
#define aDIR_ENTRY_PATH_SIZE 2048

bool aDirectory_Exists(const char* path)
{
    struct stat status;
    return path && stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// Creates one directory unless it exists already.
static bool sMakeDirectory(const char* path, uint16_t mode)
{
    return aDirectory_Exists(path) || mkdir(path, mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, uint16_t mode)
{
    if (!path) return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;
    char* copy = strdup(path);
    if (!copy) return aErrMemory;

    // Creation starts after the deepest ancestor that exists already.
    size_t start = 0;
    for (size_t i = strlen(copy); i-- > 0;) {
        if (copy[i] != '/') continue;
        copy[i] = '\0';
        bool found = aDirectory_Exists(copy);
        copy[i] = '/';
        if (found) {
            start = i + 1;
            break;
        }
    }

    aErr result = aErrNone;
    size_t component = start;
    for (size_t i = start; copy[i] && result == aErrNone; i++) {
        if (copy[i] != '/') continue;
        if (i > component) {
            copy[i] = '\0';
            if (!sMakeDirectory(copy, mode)) result = aErrPermission;
            copy[i] = '/';
        }
        component = i + 1;
    }
    free(copy);

    // Something that is not a directory may stand at the path already.
    if (!sMakeDirectory(path, mode) || !aDirectory_Exists(path)) result = aErrPermission;
    return result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* reference)
{
    if (!path || !proc) return aErrParam;
    DIR* directory = opendir(path);
    if (!directory) return aErrNotFound;

    char full[aDIR_ENTRY_PATH_SIZE];
    struct dirent* entry;
    while ((entry = readdir(directory))) {
        struct stat status;
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone) continue;
        if (stat(full, &status) != 0) continue;
        aDirectoryListData data = {full, (uint32_t)status.st_size, S_ISDIR(status.st_mode) ? 1u : 0u};
        if (!proc(&data, reference)) break;
    }
    closedir(directory);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (!path) return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (!path) return aErrParam;
    // Never descend through a symbolic link: only the tree itself goes.
    int descriptor = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) return aErrNotFound;
    DIR* directory = fdopendir(descriptor);
    if (!directory) {
        close(descriptor);
        return aErrNotFound;
    }

    aErr result = aErrNone;
    char full[aDIR_ENTRY_PATH_SIZE];
    struct dirent* entry;
    while (result == aErrNone && (entry = readdir(directory))) {
        struct stat status;
        if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone) {
            result = aErrUnknown;
        } else if (lstat(full, &status) != 0) {
            continue;
        } else if (S_ISDIR(status.st_mode)) {
            result = aDirectory_DeleteTree(full);
        } else if (unlink(full) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", full);
            result = aErrUnknown;
        }
    }
    closedir(directory);
    return result == aErrNone ? aDirectory_Delete(path) : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (!buffer || size == 0 || !getcwd(buffer, size)) return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (!buffer || size == 0) return aErrParam;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[length] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';

    long scratchSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (scratchSize <= 0) scratchSize = 16384;
    char* scratch = (char*)malloc((size_t)scratchSize);
    struct passwd entry;
    struct passwd* found = NULL;
    const char* home = NULL;
    if (scratch && getpwuid_r(getuid(), &entry, scratch, (size_t)scratchSize, &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        home = found->pw_dir;
    if (!home) {
        const char* variable = getenv("HOME");
        if (variable && *variable) home = variable;
    }

    aErr result = aErrNone;
    if (!home) {
        result = aErrNotFound;
    } else if (strlen(home) >= size) {
        result = aErrOverrun;
    } else {
        strcpy(buffer, home);
    }
    free(scratch);
    return result;
}

// True when text points into the buffer, so that writing the buffer would
// change it.
static bool sInside(const char* text, const char* buffer, size_t size)
{
    uintptr_t at = (uintptr_t)text, begin = (uintptr_t)buffer;
    return at >= begin && at - begin < size;
}

static aErr sBuildPath(char* buffer, size_t size, const char* first, va_list further)
{
    if (!buffer || size == 0 || !first) return aErrParam;

    const char* components[aDIR_MAX_COMPONENTS + 1];
    size_t count = 0;
    for (const char* component = first; component && count <= aDIR_MAX_COMPONENTS;
         component = va_arg(further, const char*)) {
        if (sInside(component, buffer, size)) return aErrParam;
        components[count++] = component;
    }
    buffer[0] = '\0';
    if (count > aDIR_MAX_COMPONENTS) return aErrParam;

    size_t length = strlen(first);
    if (length >= size - 1) return aErrOverrun;
    memcpy(buffer, first, length + 1);

    for (size_t i = 1; i < count; i++) {
        const char* component = components[i];
        size_t room = size - length - 1;
        // An empty start stays relative: no separator before the first name.
        if (room > 1 && length > 0 && buffer[length - 1] != '/' && component[0] != '/') {
            buffer[length++] = '/';
            buffer[length] = '\0';
            room--;
        }
        size_t componentLength = strlen(component);
        if (componentLength >= room) return aErrOverrun;
        memcpy(buffer + length, component, componentLength + 1);
        length += componentLength;
    }
    return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    va_list further;
    va_start(further, first);
    aErr result = sBuildPath(buffer, size, first, further);
    va_end(further);
    return result;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second)
{
    return aDirectory_BuildPath(buffer, size, first, second, (const char*)NULL);
}
