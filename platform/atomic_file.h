#pragma once
// Atomic replacement of a whole file: a temporary sibling receives the bytes, is flushed to
// storage and renamed over the file, so readers and a crash see the old or the new content,
// never a truncated one. Used by every writer of configuration and state files.
#include <cstddef>
#include <string>
#include <vector>

namespace orvane::platform {

enum class ReplaceError { None, Open, Write };

// Replaces the file named by linkPath (a symbolic link: the file it leads to) with data. The old
// file's permission bits are kept; a new file gets 0666 less the umask. On failure the temporary
// file is removed and *err holds errno. The parent directory must exist. No sync of the file
// system is run here.
ReplaceError replaceFile(const std::string& linkPath, const char* data, size_t n, int* err);

// Test-only: replacements of files whose path starts with pathPrefix fail with errno err (as a
// full disk would, after the temporary file was written); err 0 ends it.
void failReplacementsForTest(const std::string& pathPrefix, int err);

// Removes from dir the temporary files of replacements that a crash or power cut interrupted:
// the hidden siblings ".<name>.tmp.<pid>.<n>" that replaceFile makes, whose writer is gone. A
// temporary file of a process still running is kept (a save under way in another program), unless
// that process is this one: call it at the start, before this process replaces any file in dir.
// Nothing else is touched. Returns the paths removed.
std::vector<std::string> removeInterruptedSaves(const std::string& dir);

}  // namespace orvane::platform
