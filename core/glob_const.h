// Process-wide constants and globals shared by the core and the host.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

// Path of the game folder of the most recently built machine that detected one.
extern std::string config_dir;
// Path separator; 0 until a machine has detected its game folder, then '/'.
extern char sep;

namespace NES {

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

}  // namespace NES
