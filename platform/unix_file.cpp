// Files over the system's buffered standard I/O streams.
#include "platform/aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_CHECK 0xFEED

struct aFile {
    FILE* stream;
    uint32_t mode;
    uint32_t check;
};

static bool sValid(const aFile* file)
{
    return file && file->check == aFILE_CHECK;
}

static bool sPathLengthOK(const char* path)
{
    return strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool aFile_Exists(const char* path)
{
    struct stat status;
    if (!path || !sPathLengthOK(path)) return false;
    if (stat(path, &status) != 0) return false;
    return !S_ISDIR(status.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode)
{
    static const char* const openModes[] = {"rb", "wb", "ab+"};
    if (!path || !*path || !sPathLengthOK(path) || mode > aFileModeAppend) return NULL;

    aFile* file = (aFile*)malloc(sizeof(aFile));
    if (!file) return NULL;
    file->stream = fopen(path, openModes[mode]);
    struct stat status;
    // Opening a directory for reading succeeds on some systems; it is no file.
    if (file->stream && (fstat(fileno(file->stream), &status) != 0 || S_ISDIR(status.st_mode))) {
        fclose(file->stream);
        file->stream = NULL;
    }
    if (!file->stream) {
        free(file);
        return NULL;
    }
    file->mode = mode;
    file->check = aFILE_CHECK;
    // A stream that cannot seek (a pipe, a terminal) still appends.
    if (mode == aFileModeAppend) aFile_Seek(file, 0, aFileSeekEnd);
    return file;
}

aErr aFile_Close(aFile** file)
{
    if (!file) return aErrParam;
    aFile* record = *file;
    *file = NULL;
    if (!sValid(record)) return aErrParam;
    int closed = fclose(record->stream);
    record->check = 0;
    free(record);
    return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buffer, size_t n, size_t* count)
{
    if (count) *count = 0;
    if (!sValid(file) || !buffer) return aErrParam;
    if (file->mode == aFileModeWrite) return aErrMode;
    size_t got = fread(buffer, 1, n, file->stream);
    if (count) *count = got;
    return (n > 0 && got == 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t n, size_t* count)
{
    if (count) *count = 0;
    if (!sValid(file) || !data) return aErrParam;
    if (file->mode == aFileModeRead) return aErrMode;
    size_t written = fwrite(data, 1, n, file->stream);
    if (count) *count = written;
    return written < n ? aErrIO : aErrNone;
}

aErr aFile_GetPosition(aFile* file, int64_t* position)
{
    if (!sValid(file)) return aErrParam;
    off_t at = ftello(file->stream);
    if (at < 0) return aErrIO;
    if (position) *position = at;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size)
{
    if (!sValid(file) || !size) return aErrParam;
    *size = 0;
    off_t at = ftello(file->stream);
    if (at < 0 || fseeko(file->stream, 0, SEEK_END) != 0) return aErrIO;
    off_t end = ftello(file->stream);
    if (fseeko(file->stream, at, SEEK_SET) != 0 || end < 0) return aErrIO;
    *size = (uint64_t)end;
    return aErrNone;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin)
{
    int64_t position;
    uint64_t size;
    if (!sValid(file)) return aErrParam;
    if (aFile_GetPosition(file, &position) != aErrNone || aFile_GetSize(file, &size) != aErrNone)
        return aErrIO;

    int64_t base = 0;
    if (origin == aFileSeekCurrent) base = position;
    else if (origin == aFileSeekEnd) base = (int64_t)size;
    int64_t target;
    if (__builtin_add_overflow(offset, base, &target) || target < 0 || (uint64_t)target > size)
        return aErrRange;

    if (fseeko(file->stream, target, SEEK_SET) != 0 || ftello(file->stream) < 0) return aErrIO;
    return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, uint64_t* length)
{
    if (length) *length = 0;
    if (buffer && size > 0) buffer[0] = '\0';
    if (!sValid(file) || !buffer || size < 2) return aErrParam;
    if (file->mode == aFileModeWrite) return aErrMode;

    size_t n = 0;
    int c = 0;
    while (n < size - 1 && (c = getc(file->stream)) != EOF) {
        buffer[n++] = (char)c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    if (length) *length = n;
    if (n == 0) return feof(file->stream) ? aErrEOF : aErrIO;
    if (n == size - 1 && buffer[n - 1] != '\n') return aErrOverrun;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file)
{
    if (!sValid(file)) return aErrParam;
    if (file->mode == aFileModeRead) return aErrMode;
    return setvbuf(file->stream, NULL, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFile* file, const char* format, ...)
{
    if (!sValid(file) || !format) return aErrParam;
    if (file->mode == aFileModeRead) return aErrMode;
    va_list arguments;
    va_start(arguments, format);
    int written = vfprintf(file->stream, format, arguments);
    va_end(arguments);
    return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (!path) return aErrParam;
    if (!sPathLengthOK(path)) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
    }
}
