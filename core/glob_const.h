// Process-wide constants and globals shared by the core and the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Path of the game folder of the most recently built machine that detected one.
extern std::string config_dir;
// Path separator; 0 until a machine has detected its game folder, then '/'.
extern char sep;

namespace NES {

// The two models of the console's timing, chosen once when a machine is
// built: the standard one, and the hardware one, exact to the console cycle
// by cycle.
enum class Accuracy : uint8_t { standard, hardware };

// Samples per audio block handed to the host.
inline constexpr std::size_t BUFFER_LEN = 1024;

// A file the emulator had to open, read or write could not be used.
// Carries the errno value and the path so the host can report both.
class FileError : public std::runtime_error {
public:
    FileError(int err, const std::string& path, const std::string& what)
        : std::runtime_error(what + ": " + path), err(err), path(path) {}
    int err;
    std::string path;
};

// Files that must be regular ones are read without ever blocking on what is
// not one (a FIFO, a device, a socket).

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
