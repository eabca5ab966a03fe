// The cartridge: an iNES / NES 2.0 image, its program and picture data, and
// its bank-switching hardware.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boards/mapper.h"

namespace NES {

class ROM {
public:
    std::string path;
    bool battery = false;  // battery-backed RAM at $6000-$7FFF
    std::vector<uint8_t> prg;
    std::vector<uint8_t> chr;    // empty when the cartridge uses CHR-RAM
    uint8_t* chr_ram = nullptr;  // the PPU's pattern memory when chr is empty
    int mirroring = 0;           // 0 horizontal, 1 vertical, 2 four-screen
    bool loaded = false;
    bool nes2 = false;
    int path_length = 0;
    uint8_t header[16] = {};
    uint8_t trainer[512] = {};
    int32_t prg_size = 0;  // bytes
    int32_t chr_size = 0;  // bytes; 0 means 8 KiB of CHR-RAM
    std::unique_ptr<Mapper> mapper;

    // The blank cartridge: mapper 0, 16 KiB of zero PRG, CHR-RAM.
    ROM();
    // An image held in memory; size bounds every read of data.
    ROM(long size, unsigned char* data);
    // An image file. Throws FileError when it cannot be read and
    // std::invalid_argument when it is not a usable image.
    explicit ROM(const char* path);
    // The same three, printing nothing while loading when verbose is false.
    explicit ROM(bool verbose);
    ROM(long size, unsigned char* data, bool verbose);
    ROM(const char* path, bool verbose);

    void load_file(const char* path);
    void load_arr(long size, unsigned char* data);

    // Pointers into the cartridge data at a bank given in KiB units, wrapping
    // at the data size.
    uint8_t* get_prg_bank(int n);
    uint8_t* get_chr_bank(int n);

    // Bank copies bounded by the data that exists: copy len bytes starting at
    // KiB n into dest, reading the data cyclically when the window is larger
    // than what remains (a small ROM repeats through a large window). With no
    // data at all the window is filled with zeros.
    void copy_prg(int n, uint8_t* dest, std::size_t len);
    void copy_chr(int n, uint8_t* dest, std::size_t len);
    // KiB index of the last 16 KiB of PRG-ROM; 0 for a PRG-ROM under 16 KiB,
    // which then repeats from its start through the window.
    int last_prg_16k() const { return prg_size > 0x4000 ? prg_size / 1024 - 16 : 0; }

    // Replaces the mapper with a power-on one of the same number. A PPU bound
    // to this cartridge keeps the old mapper's address: bind it again with
    // PPU::loadRom.
    void reset_mapper();

    bool verbose = true;         // print the load lines and the unsupported-mapper line
    uint64_t identity = 0;       // 64-bit FNV-1a hash of the whole image: the cartridge a snapshot belongs to
    std::vector<uint8_t> image;  // the whole image as loaded, header included
};

// 64-bit FNV-1a hash of size bytes.
uint64_t fnv1a64(const uint8_t* data, std::size_t size);

}  // namespace NES
