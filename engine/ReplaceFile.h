// Replacing a file whole: the new content goes to a hidden file beside it,
// which takes the old file's place only once it is completely written, so a
// crash or a full disk midway leaves the old file as it was.
#pragma once

#include <functional>
#include <string>

#include "common/aError.h"
#include "platform/aFile.h"

// Writes the file at path through write(), which returns aErrNone when all its
// bytes were written; check, when given, is then handed the path of the
// complete new content and returns aErrNone when it may take the old file's
// place. aErrNotFound when the file cannot be created, else the first failure
// of the write, the close, the check or the replacement; on failure the old
// file is untouched and nothing is left beside it. A path that names something
// other than a regular file (a device, say) is written in place, unchecked.
aErr ReplaceFile(const std::string& path, const std::function<aErr(aFile*)>& write,
                 const std::function<aErr(const std::string&)>& check = nullptr);
