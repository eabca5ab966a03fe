// Programs that work the whole console, scripted pad input, and a hash of
// what a program shows: shared by the golden-output and differential tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "console.h"
#include "controller.h"

namespace test {

// A 64-bit hash over bytes, eight at a time.
class Hash {
public:
    void add(const void* data, std::size_t len) {
        const auto* p = static_cast<const uint8_t*>(data);
        for (; len >= 8; p += 8, len -= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            mix(w);
        }
        uint64_t tail = 0;
        std::memcpy(&tail, p, len);
        mix(tail ^ (uint64_t{len} << 56));
    }
    void add_int(int64_t v) { mix(static_cast<uint64_t>(v)); }
    uint64_t value() const { return h; }

private:
    void mix(uint64_t w) {
        h ^= w;
        h *= 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    uint64_t h = 0x243F6A8885A308D3ull;
};

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A small random-number source for the program generator.
class Rng {
public:
    explicit Rng(uint32_t seed) : state(seed * 2654435761u + 0x9E3779B9u) {}
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 8); }
    bool chance(int percent) { return below(100) < percent; }

private:
    uint32_t state;
};

// A random program that keeps rendering on and pokes the picture, sound and
// mapper registers at arbitrary moments: from its main loop, its NMI handler
// and its IRQ handler. It occupies 8 KiB at $E000 and is repeated through the
// whole PRG-ROM, so that whatever bank a mapper write selects holds the same
// code. The picture data is random.
inline std::vector<uint8_t> stress_cart(uint32_t seed, int mapper) {
    Rng rng(seed * 31 + static_cast<uint32_t>(mapper));
    std::vector<uint8_t> code;
    auto emit = [&](std::initializer_list<int> bytes) {
        for (int b : bytes) code.push_back(static_cast<uint8_t>(b));
    };
    auto store = [&](uint16_t address, uint8_t value) { emit({0xA9, value, 0x8D, address & 0xFF, address >> 8}); };
    auto here = [&] { return static_cast<uint16_t>(0xE000 + code.size()); };

    // One random action; handlers use only A and X.
    auto action = [&](bool in_handler) {
        switch (rng.below(16)) {
            case 0:  // PPUCTRL: mostly with NMIs on
                store(0x2000, static_cast<uint8_t>(rng.byte() | (rng.chance(85) ? 0x80 : 0)));
                break;
            case 1:  // PPUMASK: mostly rendering
                store(0x2001, static_cast<uint8_t>(rng.byte() | (rng.chance(85) ? 0x18 : 0)));
                break;
            case 2:
            case 3:  // scroll or address pair
                store(rng.chance(50) ? 0x2005 : 0x2006, rng.byte());
                store(rng.chance(50) ? 0x2005 : 0x2006, rng.byte());
                break;
            case 4:  // PPUDATA, OAMADDR, OAMDATA
                store(static_cast<uint16_t>(0x2003 + rng.below(2) * 1 + rng.below(2) * 3), rng.byte());
                break;
            case 5:  // OAM DMA from a RAM page
                store(0x4014, static_cast<uint8_t>(rng.below(8)));
                break;
            case 6:
            case 7: {  // a sound register
                static const uint16_t regs[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006,
                                                0x4007, 0x4008, 0x400A, 0x400B, 0x400C, 0x400E, 0x400F,
                                                0x4010, 0x4011, 0x4012, 0x4013, 0x4015, 0x4015, 0x4017};
                store(regs[rng.below(sizeof regs / sizeof regs[0])], rng.byte());
                break;
            }
            case 8:
            case 9:  // a mapper register
                store(static_cast<uint16_t>(0x8000 | rng.next()), rng.byte());
                break;
            case 10: {  // a register read
                static const uint16_t regs[] = {0x2002, 0x2002, 0x2004, 0x2007, 0x4015, 0x4016, 0x4017};
                const uint16_t a = regs[rng.below(sizeof regs / sizeof regs[0])];
                emit({0xAD, a & 0xFF, a >> 8, 0x85, rng.below(0x100)});  // LDA abs; STA zp
                break;
            }
            case 11:  // wait (bounded) for vertical blank or the sprite 0 hit
                emit({0xA2, 0x00, 0x2C, 0x02, 0x20, rng.chance(50) ? 0x30 : 0x70, 0x03, 0xCA, 0xD0, 0xF8});
                break;
            case 12:  // a delay of 5 cycles a count
                emit({0xA2, rng.byte(), 0xCA, 0xD0, 0xFD});
                break;
            case 13:  // a burst of PPUDATA writes
                emit({0xA2, rng.below(40) + 1, 0xA9, rng.byte(), 0x8D, 0x07, 0x20, 0xCA, 0xD0, 0xFA});
                break;
            case 14:  // interrupts on or off (never inside a handler)
                emit({in_handler ? 0xEA : rng.chance(70) ? 0x58 : 0x78});
                break;
            default:  // indexed register write: STA $2000,X over the mirrors
                emit({0xA2, rng.byte(), 0xA9, rng.byte(), 0x9D, 0x00, 0x20 + rng.below(0x20)});
                break;
        }
    };

    // Reset: stack, two vertical blanks, palette and name tables, sprite page.
    const uint16_t reset = here();
    emit({0x78, 0xD8, 0xA2, 0xFF, 0x9A, 0xE8, 0x8E, 0x00, 0x20, 0x8E, 0x01, 0x20});
    for (int i = 0; i < 2; ++i) emit({0x2C, 0x02, 0x20, 0x10, 0xFB});
    store(0x2006, 0x3F);
    store(0x2006, 0x00);
    for (int i = 0; i < 32; ++i) store(0x2007, static_cast<uint8_t>(rng.below(64)));
    store(0x2006, 0x20);
    store(0x2006, 0x00);
    emit({0xA0, 0x10, 0xBD, 0x00, 0xF0, 0x8D, 0x07, 0x20, 0xE8, 0xD0, 0xF7, 0x88, 0xD0, 0xF4});  // 4 KiB from $F000
    emit({0xBD, 0x00, 0xF4, 0x9D, 0x00, 0x02, 0xE8, 0xD0, 0xF7});  // sprite page from $F400
    if (mapper == 4) {
        store(0xC000, static_cast<uint8_t>(rng.below(40)));
        store(0xC001, 0);
        store(0xE001, 0);
    }
    store(0x2000, 0x80);
    store(0x2001, 0x1E);
    emit({0x58});
    const uint16_t loop = here();
    for (int i = 0; i < 60; ++i) action(false);
    emit({0x4C, loop & 0xFF, loop >> 8});

    const uint16_t nmi = here();
    emit({0x48, 0x8A, 0x48});
    store(0x4014, 0x02);
    for (int i = 0; i < 8; ++i) action(true);
    emit({0x68, 0xAA, 0x68, 0x40});

    const uint16_t irq = here();
    emit({0x48, 0x8A, 0x48});
    if (mapper == 4) emit({0x8D, 0x00, 0xE0, 0x8D, 0x01, 0xE0});  // acknowledge, enable again
    for (int i = 0; i < 4; ++i) action(true);
    emit({0x68, 0xAA, 0x68, 0x40});

    // The 8 KiB image: code, random data for the tables at $F000, vectors.
    std::vector<uint8_t> bank(0x2000);
    for (uint8_t& b : bank) b = rng.byte();
    if (code.size() > 0x1000) code.resize(0x1000);  // never reached: the program is far smaller
    std::memcpy(bank.data(), code.data(), code.size());
    const uint16_t vectors[3] = {nmi, reset, irq};
    for (int v = 0; v < 3; ++v) {
        bank[0x1FFA + 2 * v] = vectors[v] & 0xFF;
        bank[0x1FFB + 2 * v] = vectors[v] >> 8;
    }

    const int prg_16k = mapper == 0 || mapper == 3 ? 2 : mapper == 40 ? 4 : 8;
    const int chr_8k = mapper == 2 ? 0 : 4;
    const uint8_t flags6 = static_cast<uint8_t>((mapper & 0x0F) << 4 | rng.below(2));
    const uint8_t header[8] = {'N', 'E', 'S', 0x1A, uint8_t(prg_16k), uint8_t(chr_8k), flags6, uint8_t(mapper & 0xF0)};
    std::vector<uint8_t> img(16, 0);
    std::memcpy(img.data(), header, sizeof header);
    for (int i = 0; i < prg_16k * 2; ++i) img.insert(img.end(), bank.begin(), bank.end());
    for (int i = 0; i < chr_8k * 8192; ++i) img.push_back(rng.byte());
    return img;
}

// Pad 1 for a frame: a held combination that changes every 16 frames.
inline uint8_t scripted_buttons(int64_t frame) {
    uint32_t x = static_cast<uint32_t>(frame / 16) * 2246822519u + 3266489917u;
    x ^= x >> 15;
    x *= 668265263u;
    x ^= x >> 13;
    return static_cast<uint8_t>(x);
}

inline void press(NES::Controller& pad, uint8_t bits) {
    bool states[8];
    for (int i = 0; i < 8; ++i) states[i] = (bits >> i) & 1;
    pad.update_inputs(states);
}

// What a program shows in one frame: picture indices, RAM, sprite memory,
// registers, counters and the sound blocks finished meanwhile.
inline void hash_frame(Hash& h, Console& c) {
    h.add(c.ppu->index_buffer, sizeof c.ppu->index_buffer);
    h.add(c.cpu->memory, 0x800);
    h.add(c.ppu->oam, sizeof c.ppu->oam);
    const NES::CPU& cpu = *c.cpu;
    for (int64_t v : {int64_t{cpu.A}, int64_t{cpu.X}, int64_t{cpu.Y}, int64_t{cpu.P}, int64_t{cpu.SP}, cpu.PC,
                      cpu.cycles, c.ppu->frames, c.apu->samples})
        h.add_int(v);
    int16_t block[NES::BUFFER_LEN];
    if (c.apu->take_block(block)) h.add(block, sizeof block);
}

// Everything else a program can see, hashed less often.
inline void hash_memories(Hash& h, Console& c) {
    h.add(c.ppu->frame_buffer, sizeof c.ppu->frame_buffer);
    h.add(c.cpu->memory, sizeof c.cpu->memory);
    h.add(c.ppu->memory, sizeof c.ppu->memory);
}

}  // namespace test
