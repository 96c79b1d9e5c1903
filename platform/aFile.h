// Files of the device library: a handle over a buffered standard I/O stream,
// opened for reading, writing or appending, with byte, line and formatted access.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// Longest path, in characters, that the file operations accept.
#define aFILE_MAX_PATH 4096

// Open modes of aFile_Open.
enum : uint32_t {
    aFileModeRead = 0,    // "rb"
    aFileModeWrite = 1,   // "wb": created or truncated
    aFileModeAppend = 2,  // "ab+": created when missing, readable, writes appended
};

// Origins of aFile_Seek; any other value counts from the start.
enum : int {
    aFileSeekStart = 0,
    aFileSeekCurrent = 1,
    aFileSeekEnd = 2,
};

typedef struct aFile aFile;

// True when the path names an existing file that is not a directory.
bool aFile_Exists(const char* path);

// A new file handle, or NULL when the path is NULL, empty or too long, the
// mode is unknown, or the file cannot be opened. A file opened for appending
// starts positioned at its end.
aFile* aFile_Open(const char* path, uint32_t mode);

// Closes the file and frees the handle; *file is set to NULL whenever file is
// not NULL. aErrIO when buffered data could not be written out.
aErr aFile_Close(aFile** file);

// Reads up to n bytes; *count (when given) receives the number read. aErrEOF
// when n > 0 and nothing could be read; a short read is not an error.
aErr aFile_Read(aFile* file, void* buffer, size_t n, size_t* count);

// Writes n bytes; *count (when given) receives the number written. aErrIO when
// not all of them were written.
aErr aFile_Write(aFile* file, const void* data, size_t n, size_t* count);

// Moves the position to offset from origin; aErrRange for a target before the
// start or past the end (the position is then unchanged).
aErr aFile_Seek(aFile* file, int64_t offset, int origin);

// The file's size in bytes (0 when it cannot be read); the position is kept.
aErr aFile_GetSize(aFile* file, uint64_t* size);

// The current position.
aErr aFile_GetPosition(aFile* file, int64_t* position);

// Reads one line, newline included, into buffer as a terminated text of at
// most size - 1 characters; *length (when given) receives its length.
// aErrOverrun when the line did not fit (the rest comes with the next call),
// aErrEOF at the end, aErrParam for a buffer without room for a character.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, uint64_t* length);

// Switches the file to unbuffered writing.
aErr aFile_SetUnbuffered(aFile* file);

// Formatted write.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes the file: aErrNotFound, aErrPermission or aErrIO when that fails.
aErr aFile_Delete(const char* path);
