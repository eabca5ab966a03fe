#include "rom.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "boards/registry.h"
#include "glob_const.h"

namespace NES {

namespace {

constexpr long HEADER_LEN = 16;
constexpr long TRAINER_LEN = 512;
constexpr std::size_t CHR_RAM_LEN = 8192;
constexpr unsigned char MAGIC[4] = {'N', 'E', 'S', 0x1A};
// Header, trainer and the largest PRG and CHR sizes a header can announce
// within 32 bits each, with room for data after them.
constexpr std::size_t MAX_IMAGE_LEN = std::size_t{1} << 33;

// n mod units in 0..units-1, also for negative n.
int wrap(int n, int units) {
    int r = n % units;
    return r < 0 ? r + units : r;
}

// Byte offset of KiB n in size bytes of data, wrapping at the whole KiB the
// data holds; data shorter than 1 KiB has the single bank at offset 0.
std::size_t bank_offset(int n, std::size_t size) {
    int units = static_cast<int>(size / 1024);
    return units == 0 ? 0 : static_cast<std::size_t>(wrap(n, units)) * 1024;
}

// Fills len bytes of dest with data read from offset start on, continuing at
// the start of the data whenever its end is reached.
void cyclic_copy(const uint8_t* data, std::size_t size, std::size_t start, uint8_t* dest, std::size_t len) {
    if (size == 0) {
        std::memset(dest, 0, len);
        return;
    }
    std::size_t pos = start;
    while (len > 0) {
        std::size_t chunk = std::min(len, size - pos);
        std::memmove(dest, data + pos, chunk);
        dest += chunk;
        len -= chunk;
        pos = 0;
    }
}

}  // namespace

ROM::ROM() : ROM(true) {}

ROM::ROM(bool verbose) : verbose(verbose) {
    std::vector<unsigned char> blank(HEADER_LEN + 16384, 0);
    std::memcpy(blank.data(), MAGIC, sizeof MAGIC);
    blank[4] = 1;
    load_arr(static_cast<long>(blank.size()), blank.data());
}

ROM::ROM(long size, unsigned char* data) { load_arr(size, data); }

ROM::ROM(const char* path) { load_file(path); }

ROM::ROM(long size, unsigned char* data, bool verbose) : verbose(verbose) { load_arr(size, data); }

ROM::ROM(const char* path, bool verbose) : verbose(verbose) { load_file(path); }

void ROM::load_file(const char* file_path) {
    path = file_path;
    path_length = static_cast<int>(path.size());

    // Opened non-blocking and only when it is a regular file: a FIFO or a
    // device at the path gives an error at once instead of a wait.
    std::optional<std::vector<uint8_t>> file = read_regular_file(path, MAX_IMAGE_LEN, "cannot read cartridge image");
    if (!file) throw FileError(ENOENT, path, "cannot open cartridge image");
    if (file->size() > MAX_IMAGE_LEN)
        throw std::invalid_argument(path + ": longer than " + std::to_string(MAX_IMAGE_LEN) +
                                    " bytes, more than any cartridge image holds");
    std::vector<unsigned char>& buffer = *file;
    const long length = static_cast<long>(buffer.size());

    try {
        load_arr(length, buffer.data());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
}

void ROM::load_arr(long size, unsigned char* data) {
    if (data == nullptr) size = 0;
    if (size < HEADER_LEN)
        throw std::invalid_argument("cartridge image is " + std::to_string(size > 0 ? size : 0) +
                                    " bytes, shorter than the 16-byte iNES header");
    if (std::memcmp(data, MAGIC, sizeof MAGIC) != 0)
        throw std::invalid_argument("not an iNES image: it does not start with the bytes 4E 45 53 1A");

    const unsigned char* h = data;
    bool is_nes2 = (h[7] & 0x0C) == 0x08;

    // Sizes in 64 bits first, so that a header announcing more than an int32
    // or more than the image holds is refused before anything is changed.
    int64_t new_prg_size;
    int64_t new_chr_size;
    if (is_nes2) {
        if ((h[9] & 0x0F) == 0x0F) {
            int e = h[4] >> 2;
            int m = h[4] & 3;
            if (e >= 31 || (int64_t{1} << e) * (2 * m + 1) > std::numeric_limits<int32_t>::max())
                throw std::invalid_argument("NES 2.0 PRG size 2^" + std::to_string(e) + " x " +
                                            std::to_string(2 * m + 1) + " bytes does not fit in 32 bits");
            new_prg_size = (int64_t{1} << e) * (2 * m + 1);
        } else {
            new_prg_size = int64_t{((h[9] & 0x0F) << 8) | h[4]} * 16384;
        }
        new_chr_size = int64_t{((h[9] & 0xF0) << 4) | h[5]} * 8192;
    } else {
        new_prg_size = int64_t{h[4]} * 16384;
        new_chr_size = int64_t{h[5]} * 8192;
    }
    bool has_trainer = (h[6] & 0x04) != 0;
    int64_t offset = HEADER_LEN + (has_trainer ? TRAINER_LEN : 0);
    int64_t needed = offset + new_prg_size + new_chr_size;
    if (needed > size)
        throw std::invalid_argument("cartridge image is truncated: its header announces " + std::to_string(needed) +
                                    " bytes (header, trainer, PRG, CHR) but the image has " + std::to_string(size));

    std::memcpy(header, data, HEADER_LEN);

    loaded = true;
    battery = (h[6] & 0x02) != 0;
    if (verbose) std::fputs(battery ? "Battery\n" : "No Battery\n", stdout);
    nes2 = is_nes2;
    mapper = make_mapper((h[6] >> 4) | (h[7] & 0xF0), verbose);
    mirroring = (h[6] & 0x08) ? 2 : (h[6] & 0x01);
    prg_size = static_cast<int32_t>(new_prg_size);
    chr_size = static_cast<int32_t>(new_chr_size);
    if (!nes2 && verbose) {
        std::puts("iNES");
        std::printf("%i\n", h[5]);
    }

    if (has_trainer) std::memcpy(trainer, data + HEADER_LEN, TRAINER_LEN);
    prg.assign(data + offset, data + offset + prg_size);
    chr.assign(data + offset + prg_size, data + offset + prg_size + chr_size);
    image.assign(data, data + size);
    identity = fnv1a64(image.data(), image.size());
}

uint8_t* ROM::get_prg_bank(int n) { return prg.data() + bank_offset(n, prg.size()); }

uint8_t* ROM::get_chr_bank(int n) {
    if (!chr.empty()) return chr.data() + bank_offset(n, chr.size());
    return chr_ram ? chr_ram + bank_offset(n, CHR_RAM_LEN) : nullptr;
}

void ROM::copy_prg(int n, uint8_t* dest, std::size_t len) {
    cyclic_copy(prg.data(), prg.size(), bank_offset(n, prg.size()), dest, len);
}

void ROM::copy_chr(int n, uint8_t* dest, std::size_t len) {
    if (!chr.empty()) {
        cyclic_copy(chr.data(), chr.size(), bank_offset(n, chr.size()), dest, len);
        return;
    }
    if (!chr_ram) {
        std::memset(dest, 0, len);
        return;
    }
    // CHR-RAM is the PPU's pattern memory, which is also where the copies go:
    // read the source from a snapshot so that a copy never sees its own output.
    std::size_t start = bank_offset(n, CHR_RAM_LEN);
    if (dest < chr_ram + CHR_RAM_LEN && chr_ram < dest + len) {
        uint8_t snapshot[CHR_RAM_LEN];
        std::memcpy(snapshot, chr_ram, CHR_RAM_LEN);
        cyclic_copy(snapshot, CHR_RAM_LEN, start, dest, len);
    } else {
        cyclic_copy(chr_ram, CHR_RAM_LEN, start, dest, len);
    }
}

void ROM::reset_mapper() {
    if (mapper) mapper = make_mapper(mapper->number, verbose);
}

uint64_t fnv1a64(const uint8_t* data, std::size_t size) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 0x100000001B3ull;
    }
    return h;
}

}  // namespace NES
