#pragma once
// Atomic replacement of a whole file: a temporary sibling receives the bytes, is flushed to
// storage and renamed over the file, so readers and a crash see the old or the new content,
// never a truncated one. Used by every writer of configuration and state files.
#include <cstddef>
#include <string>

namespace orvane::platform {

enum class ReplaceError { None, Open, Write };

// Replaces the file named by linkPath (a symbolic link: the file it leads to) with data. The old
// file's permission bits are kept; a new file gets 0666 less the umask. On failure the temporary
// file is removed and *err holds errno. The parent directory must exist. No sync of the file
// system is run here.
ReplaceError replaceFile(const std::string& linkPath, const char* data, size_t n, int* err);

}  // namespace orvane::platform
