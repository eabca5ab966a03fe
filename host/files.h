// The machine's files: its game folder (found or made once the cartridge is
// known), and files written whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Writes size bytes to path through a temporary in the same folder that is
// renamed over the target only once complete and flushed, so a failure never
// leaves a partial file behind; the folder is flushed too. Only a regular
// file (or nothing) at path is replaced. Throws NES::FileError.
void write_file_atomically(const std::string& path, const void* data, std::size_t size);

// The game folder's name for a cartridge path or file name: the base name
// without its last extension, spaces as '_'; "unnamed-<identity in hex>"
// when that reduces to nothing, "." or "..".
std::string game_name(const std::string& path, uint64_t identity);

// The folders a construction made, removed again (those still empty, last
// first) unless the construction succeeds.
class MadeDirs {
public:
    std::vector<std::string> paths;
    bool keep = false;
    MadeDirs() = default;
    ~MadeDirs();
    MadeDirs(const MadeDirs&) = delete;
    MadeDirs& operator=(const MadeDirs&) = delete;
};

// The game folder for a game named name: inside save_root (which must be a
// directory) when given, else in $HOME/.config/Lumaret; the folders missing
// on the way are made and added to made.
std::string make_game_folder(const std::string& name, MadeDirs& made, const std::optional<std::string>& save_root,
                             bool verbose);
