// Reading files that must be regular files, without ever blocking on what is
// not one (a FIFO, a device, a socket) and without following it into a hang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace NES {

// The bytes of the regular file at path, at most limit + 1 of them (so that a
// caller can tell a longer file), or nothing when no file is there. The file
// is opened non-blocking and checked with fstat before anything is read.
// Throws FileError (what names the use) when something else is at the path
// (EISDIR for a directory, errno 0 for other kinds) or it cannot be read.
std::optional<std::vector<uint8_t>> read_regular_file(const std::string& path, std::size_t limit, const char* what);

// Whether a regular file, or nothing, is at path (following symbolic links);
// false for a directory, a FIFO, a device or a socket there.
bool regular_or_absent(const std::string& path);

// Flushes the directory holding path to disk, so that a rename into it
// survives a crash; best effort.
void sync_parent_dir(const std::string& path);

}  // namespace NES
