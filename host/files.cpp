#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "glob_const.h"

namespace fs = std::filesystem;

namespace {

// Whether something (of any kind) exists at the path; other failures of the
// status query than absence throw.
bool path_exists(const std::string& path) { return fs::exists(fs::status(path)); }

}  // namespace

void write_file_atomically(const std::string& path, const void* data, std::size_t size) {
    // A FIFO, a device or a directory there is not replaced by the file.
    if (!NES::regular_or_absent(path)) throw NES::FileError(0, path, "not a regular file, left as it is");
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) throw NES::FileError(errno, path, "could not create a temporary file for");
    fchmod(fd, 0644);
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        int err = errno;
        close(fd);
        unlink(tmp.c_str());
        throw NES::FileError(err, path, "could not open");
    }
    errno = 0;
    bool ok = fwrite(data, 1, size, file) == size;
    ok = ok && fflush(file) == 0 && !ferror(file) && fsync(fileno(file)) == 0;
    int err = errno ? errno : EIO;
    if (fclose(file) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        throw NES::FileError(err, path, "could not write");
    }
    NES::sync_parent_dir(path);  // the rename itself survives a crash
}

// A name that reduces to nothing, "." or ".." (".nes", "dir/", "..") would be
// Lumaret itself or above it: such a cartridge is named by its identity, so
// that each game still has a folder (and a battery file) of its own.
std::string game_name(const std::string& path, uint64_t identity) {
    std::string name = path;
    name.erase(0, name.find_last_of("/\\") + 1);  // npos + 1 == 0: no separator
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
    for (char& c : name)
        if (c == ' ') c = '_';
    if (name.empty() || name == "." || name == "..") {
        char hex[17];
        snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(identity));
        name = std::string("unnamed-") + hex;
    }
    return name;
}

MadeDirs::~MadeDirs() {
    if (keep) return;
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) rmdir(it->c_str());
}

std::string make_game_folder(const std::string& name, MadeDirs& made, const std::optional<std::string>& save_root,
                             bool verbose) {
    std::string game;
    if (save_root) {
        std::error_code ec;
        const fs::file_status root = fs::status(*save_root, ec);
        if (!fs::is_directory(root))
            throw NES::FileError(fs::exists(root) ? ENOTDIR : ENOENT, *save_root, "NES: save_root must be a directory");
        game = *save_root + "/" + name;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home)
            throw std::runtime_error(
                "HOME is not set: cannot locate the folder for save files ($HOME/.config/Lumaret)");
        const std::string config = std::string(home) + "/.config";
        if (verbose) printf("LINUX, %s\n", config.c_str());
        game = config + "/Lumaret/" + name;
        for (const std::string& dir : {config, config + "/Lumaret"}) {
            if (!path_exists(dir)) {
                fs::create_directory(dir);
                made.paths.push_back(dir);
            }
        }
    }
    if (verbose) puts(game.c_str());
    if (path_exists(game)) {
        if (verbose) puts("Folder already exists. Checking for save...");
    } else {
        fs::create_directory(game);
        made.paths.push_back(game);
    }
    return game;
}
