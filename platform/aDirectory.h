// Directories of the device library: existence, creation with parents,
// listing, removal of trees, well-known directories and path building.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// The path separator, for building and splitting paths.
#define aDIR_PATH_SEP "/"

// One entry handed to a listing callback; valid only during the call.
typedef struct aDirectoryListData {
    const char* path;      // the listed directory and the entry's name, joined
    uint32_t size;         // the entry's size in bytes (low 32 bits)
    uint32_t isDirectory;  // 1 for a directory, else 0
} aDirectoryListData;

// Listing callback: returns true to go on, false to end the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* reference);

// True when the path names an existing directory.
bool aDirectory_Exists(const char* path);

// Creates the directory and every missing parent with the permission bits
// given (such as 0755); aErrPermission when one of them cannot be created.
aErr aDirectory_Ensure(const char* path, uint16_t mode);

// Calls proc once per entry of the directory ("." and ".." included) until it
// returns false; aErrNotFound when the directory cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* reference);

// Removes an empty directory; aErrUnknown when that fails.
aErr aDirectory_Delete(const char* path);

// Removes a directory with everything in it. A symbolic link inside the tree
// is removed itself, never what it points to. aErrNotFound when the directory
// cannot be opened, aErrUnknown when something in it cannot be removed.
aErr aDirectory_DeleteTree(const char* path);

// The current working directory; aErrParam when it does not fit.
aErr aDirectory_CWD(char* buffer, size_t size);

// The running program's own path, cut to size - 1 characters; aErrRead when
// it cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// The current user's home directory (password database, else HOME), always
// terminated. aErrNotFound when there is none, aErrOverrun when it does not
// fit; the buffer then holds an empty text.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// Joins up to 10 components with the separator (none is added where one
// component already ends or the next begins with it); the list ends with NULL.
// aErrParam for a NULL buffer, a size of 0, a component inside the buffer or
// too many components; aErrOverrun when the path does not fit, the buffer then
// holding what was joined so far.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

// aDirectory_BuildPath with exactly the two components.
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
