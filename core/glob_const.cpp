#include "glob_const.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::string config_dir;
char sep = 0;

namespace NES {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

}  // namespace

std::optional<std::vector<uint8_t>> read_regular_file(const std::string& path, std::size_t limit, const char* what) {
    Fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw FileError(errno, path, what);
    }
    struct stat st {};
    if (fstat(file.fd, &st) != 0) throw FileError(errno, path, what);
    if (S_ISDIR(st.st_mode)) throw FileError(EISDIR, path, what);
    if (!S_ISREG(st.st_mode)) throw FileError(0, path, std::string(what) + ": not a regular file");
    // Reads of a regular file never block; the flag only kept open() from waiting.
    fcntl(file.fd, F_SETFL, fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);

    std::vector<uint8_t> data;
    const std::size_t want = limit + 1;
    if (st.st_size > 0) data.reserve(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), want));
    uint8_t chunk[1 << 16];
    while (data.size() < want) {
        const std::size_t n = std::min(sizeof chunk, want - data.size());
        const ssize_t got = read(file.fd, chunk, n);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, path, what);
        }
        if (got == 0) break;
        data.insert(data.end(), chunk, chunk + got);
    }
    return data;
}

bool regular_or_absent(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

void sync_parent_dir(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0) fsync(d.fd);
}

}  // namespace NES
