// The picture processing unit: construction, cartridge binding, the 14-bit
// PPU address space, the CPU-facing registers and the dot-by-dot renderer.
#include "ppu.h"

#include <algorithm>
#include <array>
#include <bit>
#ifdef __SSE2__
#include <immintrin.h>  // SSSE3 and AVX-512 VBMI, used where the processor has them
#endif
#include <cstdio>
#include <cstring>
#include <limits>

#include "cpu.h"
#include "cpu_helper.h"
#include "mapper.h"
#include "rom.h"

namespace NES {

namespace {

// PPUCTRL bits.
constexpr uint8_t CTRL_SPRITE_TABLE = 0x08;
constexpr uint8_t CTRL_BG_TABLE = 0x10;
constexpr uint8_t CTRL_TALL_SPRITES = 0x20;

// PPUMASK bits.
constexpr uint8_t MASK_BG_LEFT = 0x02;
constexpr uint8_t MASK_SPRITES_LEFT = 0x04;
constexpr uint8_t MASK_BG = 0x08;
constexpr uint8_t MASK_SPRITES = 0x10;

// PPUSTATUS bits.
constexpr uint8_t STATUS_OVERFLOW = 0x20;
constexpr uint8_t STATUS_SPRITE0 = 0x40;
constexpr uint8_t STATUS_VBLANK = 0x80;

constexpr int DOTS_PER_LINE = 341;
constexpr int LAST_LINE = 261;

// Folds a name-table address ($2000-$2FFF) by the name-table arrangement.
inline uint16_t fold_nametable(uint16_t address, int mirroring) {
    switch (mirroring) {
        case 0:
            return address & 0xFBFF;  // horizontal: $2400 is $2000, $2C00 is $2800
        case 1:
            return address & 0xF7FF;  // vertical: $2800 is $2000, $2C00 is $2400
        case 3:
            return 0x2000 | (address & 0x03FF);
        case 4:
            return 0x2400 | (address & 0x03FF);
        default:
            return address;  // four separate tables
    }
}

// The coarse-X increment of a VRAM address: coarse X 31 wraps to 0 and
// switches the horizontal name table.
inline uint16_t coarse_x_step(uint16_t addr) {
    return (addr & 0x001F) == 31 ? static_cast<uint16_t>((addr & ~0x001F) ^ 0x0400) : static_cast<uint16_t>(addr + 1);
}

// The lowest n bits (n from 0 to 64).
constexpr uint64_t low_bits(int n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// n coarse-X increments at once.
inline uint16_t coarse_x_steps(uint16_t addr, int n) {
    const int coarse = (addr & 0x001F) + n;
    addr = static_cast<uint16_t>((addr & ~0x001F) | (coarse & 0x001F));
    return (coarse >> 5) & 1 ? static_cast<uint16_t>(addr ^ 0x0400) : addr;
}

// Loads the fetch fields for the tile under vram (the name-table bytes of
// vram, the fine Y of v). Pattern addresses stay below $2000, so only the
// name-table reads need folding.
inline void fetch_tile(PPU& p, uint16_t vram, uint8_t ctrl) {
    p.tile_addr = 0x2000 | (vram & 0x0FFF);
    p.attr_addr = 0x23C0 | (vram & 0x0C00) | ((vram >> 4) & 0x38) | ((vram >> 2) & 0x07);
    p.nt_byte = p.memory[fold_nametable(p.tile_addr, p.mirroring)];
    p.pattern_addr = ((p.v >> 12) & 7) | (p.nt_byte << 4);
    if (ctrl & CTRL_BG_TABLE) p.pattern_addr += 0x1000;
    p.pattern_low = p.memory[p.pattern_addr];
    p.pattern_high = p.memory[p.pattern_addr + 8];
}

// The system palette colour of each palette byte as R, G, B in the low
// three bytes of a little-endian word. Palette RAM holds whole bytes; a value
// above 63 shows the colour of its low six bits.
constexpr auto RGB_WORD = [] {
    std::array<uint32_t, 256> t{};
    for (int v = 0; v < 256; ++v) {
        const uint8_t* rgb = NTSC_TO_RGB[v & 63];
        t[v] = uint32_t{rgb[0]} | uint32_t{rgb[1]} << 8 | uint32_t{rgb[2]} << 16;
    }
    return t;
}();

// The eight pixels of one pattern plane, leftmost first, one byte each.
constexpr auto PLANE = [] {
    std::array<uint64_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) t[b] |= uint64_t{(b >> (7 - k)) & 1u} << (8 * k);
    return t;
}();

// The same with the rightmost pixel first, for horizontally flipped sprites.
constexpr auto PLANE_REVERSED = [] {
    std::array<uint64_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) t[b] |= uint64_t{(b >> k) & 1u} << (8 * k);
    return t;
}();

// The pattern bits of a listed sprite's row on the current line, as the
// pixel step reads them: low plane in bits 0-7, high plane in bits 8-15.
inline uint16_t sprite_row_pattern(const PPU& p, int i, uint8_t ctrl) {
    const bool tall = ctrl & CTRL_TALL_SPRITES;
    int tile = p.line_sprites[4 * i + 1];
    const uint8_t attr = p.line_sprites[4 * i + 2];
    int table;
    if (tall) {
        table = tile & 1;
        tile &= 0xFE;
    } else {
        table = (ctrl & CTRL_SPRITE_TABLE) ? 1 : 0;
    }
    int row = p.scanline - p.line_sprites[4 * i];
    if (attr & 0x80) row = (tall ? 15 : 7) - row;
    const int addr = table * 0x1000 + (row & 7) + (((row >> 3) + tile) & 0xFF) * 16;
    const uint8_t* patterns = p.sprite_pattern_memory();
    return static_cast<uint16_t>(patterns[addr] | patterns[addr | 8] << 8);
}

// The 2-bit pixel of a sprite's row pattern at shift position b (7 is the
// leftmost pixel), honouring horizontal flip.
inline int sprite_pixel(uint16_t pattern, uint8_t attr, int b) {
    if (attr & 0x40) b = 7 - b;
    b &= 7;
    return ((pattern >> b) & 1) | ((pattern >> (b + 8)) & 1) << 1;
}

// One dot of a sprite's countdown while its counter is in 0..-8, the dots
// where it may show, as cycle() runs it: the shift moves while the sprite is
// active; it becomes active at 0 and inactive at -8.
inline void countdown_shown_step(int& n, uint8_t& shift, bool& active) {
    if (active) --shift;
    if (n == 0)
        active = true;
    else if (n == -8)
        active = false;
    --n;
}

// The background palette (0-3) of the tile the fetch fields describe.
inline int background_palette(const PPU& p) {
    const uint8_t a = p.memory[fold_nametable(p.attr_addr, p.mirroring)];
    // Coarse X bit 1 selects 2 bits, coarse Y bit 1 (address bit 6) 4 bits.
    const int attr_shift = (p.tile_addr & 2) | ((p.tile_addr >> 4) & 4);
    return (a >> attr_shift) & 3;
}

inline void put_pixel(PPU& p, int q, uint8_t pv) {
    if (p.index_buffer[q] == pv) return;
    p.index_buffer[q] = pv;
    // Palette RAM holds whole bytes; a value above 63 shows the colour of its
    // low six bits.
    const uint8_t* rgb = NTSC_TO_RGB[pv & 63];
    uint8_t* out = p.frame_buffer + 3 * q;
    out[0] = rgb[0];
    out[1] = rgb[1];
    out[2] = rgb[2];
}

}  // namespace

PPU::PPU() {
    for (int i = 0; i < HEIGHT * WIDTH; ++i) {
        frame_buffer[3 * i] = NTSC_TO_RGB[0][0];
        frame_buffer[3 * i + 1] = NTSC_TO_RGB[0][1];
        frame_buffer[3 * i + 2] = NTSC_TO_RGB[0][2];
    }
}

PPU::PPU(CPU* cpu) : PPU() {
    this->cpu = cpu;
    if (!cpu) return;
    cpu->ppu = this;
    if (cpu->rom) loadRom(cpu->rom);
    set_registers();
}

void PPU::set_registers() {
    if (!cpu) return;
    for (int i = 0; i < 8; ++i) register_ptrs[i] = cpu->memory + 0x2000 + i;
    register_ptrs[8] = cpu->memory + 0x4014;
}

void PPU::loadRom(ROM* rom) {
    mapper_context[0] = cpu;
    mapper_context[1] = this;
    mapper_context[2] = cpu ? static_cast<void*>(cpu->apu) : nullptr;
    this->rom = rom;
    mirroring = rom->mirroring;
    mapper = rom->mapper.get();
    sprite_patterns_of_board = nullptr;
    if (mapper) {
        const Mapper::BusWatch watch = mapper->bus_watch(accuracy);
        const bool hardware = accuracy == Accuracy::hardware;
        hears_a12 = hardware && watch.a12_rises;
        a12_low_dots = watch.a12_low_dots;
        hears_fetches = watch.fetches;
        const Mapper::FetchedTiles tiles = mapper->fetched_tiles();
        fetched_first = tiles.first;
        fetched_last = tiles.last;
        fetches_answered = false;
        hears_port = watch.ppu_port;
        const Mapper::DotClock clock = mapper->dot_clock();
        dot_clocked = clock == Mapper::DotClock::every_dot || (clock == Mapper::DotClock::after_dot_255 && !hears_a12);
    }
    if (rom->chr_size <= 0) {
        if (verbose) puts("CHR-RAM Copied.");
        rom->chr_ram = memory;
    } else {
        rom->copy_chr(chr_bank, memory, 0x2000);
    }
}

void PPU::map_memory(short& address) const {
    // The PPU bus is 14 bits wide: higher bits never select anything.
    uint16_t a = static_cast<uint16_t>(address) & 0x3FFF;
    if ((a & 0xF000) == 0x2000) {
        a = fold_nametable(a, mirroring);
    } else if (a < 0x3F00 && a >= 0x3000) {
        a = fold_nametable(a - 0x1000, mirroring);
    } else if ((a & 0xFF00) == 0x3F00) {
        a = 0x3F00 | (a & 0x001F);
        // The sprite backdrop entries share storage with the background ones.
        if ((a & 0xFFF3) == 0x3F10) a &= ~0x0010;
    }
    address = static_cast<short>(a);
}

uint8_t PPU::read(short address) const {
    map_memory(address);
    return memory[static_cast<uint16_t>(address)];
}

void PPU::write(short address, signed char value) {
    map_memory(address);
    // Pattern memory is writable only when it is CHR-RAM.
    if (address < 0x2000 && rom && !rom->chr.empty()) return;
    memory[static_cast<uint16_t>(address)] = static_cast<uint8_t>(value);
    if ((address & 0x3000) == 0x2000) row_verdict_key = -1;
    if (hears_port) mapper->vram_written(mapper_context, static_cast<uint16_t>(address), static_cast<uint8_t>(value));
}

bool PPU::row_fetches_matter() {
    const uint8_t span = static_cast<uint8_t>(fetched_last - fetched_first);
    if (span == 0xFF) {
        row_told_tiles = ~uint64_t{0};
        return true;
    }
    // The verdict depends on the row (coarse Y and the vertical table) and
    // on whether fine Y is at its last line, not on coarse X or the
    // horizontal table.
    const int key = (v & 0x0BE0) | ((v & 0x7000) == 0x7000) << 12;
    if (key == row_verdict_key) return row_verdict;
    row_verdict_key = key;
    // Bit 32 h + x: the tile at coarse X x of the row in horizontal table h
    // (a name n is told when n - first <= span).
    auto told_tiles = [&](uint16_t address) {
        uint64_t tiles = 0;
        for (int h = 0; h < 2; ++h) {
            const uint8_t* names = memory + fold_nametable(0x2000 | (address & 0x0BE0) | h << 10, mirroring);
#ifdef __SSE2__
            const __m128i first = _mm_set1_epi8(static_cast<char>(fetched_first));
            const __m128i most = _mm_set1_epi8(static_cast<char>(span));
            for (int half = 0; half < 2; ++half) {
                const __m128i offset =
                    _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(names + 16 * half)), first);
                const __m128i told = _mm_cmpeq_epi8(_mm_min_epu8(offset, most), offset);
                tiles |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(told))} << (32 * h + 16 * half);
            }
#else
            for (int i = 0; i < 32; ++i)
                tiles |= uint64_t{static_cast<uint8_t>(names[i] - fetched_first) <= span} << (32 * h + i);
#endif
        }
        return tiles;
    };
    row_told_tiles = told_tiles(v);
    if (row_told_tiles) return row_verdict = true;
    if ((v & 0x7000) != 0x7000) return row_verdict = false;
    // Fine Y wraps at dot 256: the standard model's fetch there reads the
    // next row's first tile.
    const int y = (v >> 5) & 31;
    uint16_t next = static_cast<uint16_t>(v & ~0x03E0);
    if (y == 29)
        next ^= 0x0800;
    else if (y != 31)
        next = static_cast<uint16_t>(next | (y + 1) << 5);
    return row_verdict = told_tiles(next) != 0;
}

// The last dot of the groups from the current one on (before the line's
// last, whose look-ahead may read the next row) that tell the board no tile
// it acts on, or dot - 1 if the current one does: group g tells the tile at
// its start and the look-ahead's, the next. row_fetches_matter has judged
// v's row.
int PPU::untold_groups_end() const {
    const int g0 = (dot - 1) >> 3;
    const int at = ((v >> 5) & 0x20) | (v & 31);  // v's tile in row_told_tiles
    const int first_told = std::countr_zero(std::rotr(row_told_tiles, at));
    const int untold = std::min(first_told == 0 ? 0 : first_told - 1, 31 - g0);
    return untold == 0 ? dot - 1 : 8 * (g0 + untold);
}

void PPU::answer_fetches(bool on) {
    fetches_answered = on;
    hears_fetches = on || (mapper && mapper->bus_watch(accuracy).fetches);
}

void PPU::set_mirroring(int arrangement) {
    // The second 1 KiB table sits at $2800 under horizontal arrangement and at
    // $2400 under the others; a change between the two moves it.
    auto second_table = [](int m) { return m == 0 ? 0x2800 : 0x2400; };
    const int from = second_table(mirroring), to = second_table(arrangement);
    if (mirroring != 2 && arrangement != 2 && from != to) std::memcpy(memory + to, memory + from, 0x400);
    mirroring = arrangement;
    row_verdict_key = -1;
}

// ---- Registers ----

namespace {

// PPUCTRL bit 2: PPUDATA steps v by 32 (one row) instead of 1.
constexpr uint8_t CTRL_STEP_ROW = 0x04;

// How long a bit of the I/O latch holds a 1 that nothing drives again: some
// 600 ms of dots.
constexpr int64_t IO_DECAY_DOTS = 3'200'000;

void print_address_registers(const char* when, uint8_t value, const PPU& p) {
    printf("(%s) Write %02x->0x%04x: v=%04x,t=%04x,w=%i,x=%02x\n", when, value, 0x2006, p.v, p.t, static_cast<int>(p.w),
           p.x);
}

}  // namespace

bool PPU::fetching() const {
    return (*register_ptrs[1] & (MASK_BG | MASK_SPRITES)) && (scanline < 240 || scanline == LAST_LINE);
}

void PPU::drive_io(uint8_t value, uint8_t bits, int64_t at) {
    io_latch = static_cast<uint8_t>((io_latch & ~bits) | (value & bits));
    for (int i = 0; i < 8; ++i)
        if ((bits >> i) & 1) io_driven[i] = at;
}

uint8_t PPU::io_value(int64_t at) {
    for (int i = 0; i < 8; ++i)
        if (at - io_driven[i] > IO_DECAY_DOTS) io_latch &= static_cast<uint8_t>(~(1u << i));
    return io_latch;
}

// A PPUDATA access while the PPU fetches: v takes the fetches' own steps,
// coarse X and fine Y at once, instead of PPUCTRL's step.
void PPU::step_after_data_access() {
    if (fetching()) {
        v = coarse_x_step(v);
        v_vert();
    } else {
        v += (*register_ptrs[0] & CTRL_STEP_ROW) ? 32 : 1;
        drive_address(v);  // the bus shows v while the PPU does not fetch
    }
}

template <Accuracy A>
uint8_t PPU::read_register(uint16_t address, int64_t at) {
    constexpr bool HW = A == Accuracy::hardware;
    if (address == 0x2002) {
        // Reading around the start of vertical blank races the PPU: at dot 1
        // of line 241 the flag reads clear and neither the flag nor the NMI is
        // raised this frame; at dot 2 it reads set and the NMI is cancelled.
        uint8_t value = status_at<A>(at);
        *register_ptrs[2] &= ~STATUS_VBLANK;
        w = false;
        if constexpr (HW) {
            value = static_cast<uint8_t>((value & 0xE0) | (io_value(at) & 0x1F));
            drive_io(value, 0xE0, at);
        } else {
            if (dot > 1 && scanline == LAST_LINE) return value & ~STATUS_VBLANK;
        }
        if (scanline == 241 && (dot == 1 || dot == 2)) {
            suppress_vblank = true;
            nmi_occurred = false;
            suppress_nmi = true;
            return dot == 2 ? (value | STATUS_VBLANK) : (value & ~STATUS_VBLANK);
        }
        nmi_occurred = false;
        return value;
    }
    run_until<A>(at);
    switch (address) {
        case 0x2004: {
            uint8_t value = oam[oam_addr];
            if constexpr (HW) {
                if (fetching()) value = oam_bus;
                drive_io(value, 0xFF, at);
            }
            return value;
        }
        case 0x2007: {
            const short p = static_cast<short>(v & 0x3FFF);
            uint8_t value;
            // Palette reads are immediate, and the buffer takes the name-table
            // byte that lies under the palette; the rest come through the buffer.
            if (p >= 0x3F00) {
                value = read(p);
                read_buffer = read(static_cast<short>(p - 0x1000));
                if constexpr (HW) {
                    // Palette RAM holds six bits; the other two are the latch's.
                    value = static_cast<uint8_t>((value & 0x3F) | (io_value(at) & 0xC0));
                    drive_io(value, 0x3F, at);
                }
            } else {
                value = read_buffer;
                read_buffer = read(p);
                if (hears_port) {
                    short folded = p;
                    map_memory(folded);
                    read_buffer = mapper->vram_read(mapper_context, static_cast<uint16_t>(folded), read_buffer);
                }
                if constexpr (HW) drive_io(value, 0xFF, at);
            }
            if constexpr (HW)
                step_after_data_access();
            else
                v += (*register_ptrs[0] & CTRL_STEP_ROW) ? 32 : 1;
            return value;
        }
        default:
            if constexpr (HW) return io_value(at);  // write-only: the latch
            return *register_ptrs[address & 7];
    }
}

template <Accuracy A>
uint8_t PPU::write_register(uint16_t address, uint8_t value, int64_t at) {
    constexpr bool HW = A == Accuracy::hardware;
    run_until<A>(at);
    forget_prediction();
    if constexpr (HW) {
        drive_io(value, 0xFF, at);
        // A write may move the next event (the NMI line, A12's rises): the
        // CPU looks again before its next cycle.
        if (cpu) cpu->ppu_due = 0;
    }
    const bool trace = cpu && cpu->debug;
    switch (address) {
        case 0x2000:
            t = static_cast<uint16_t>((t & 0xF3FF) | (value & 3) << 10);
            break;
        case 0x2003:
            oam_addr = value;
            break;
        case 0x2004:
            if (HW && fetching()) {
                // While the PPU fetches, OAM keeps its bytes and only the
                // entry part of the address steps.
                oam_addr = static_cast<uint8_t>(oam_addr + 4);
                break;
            }
            // Bits 2-4 of the attribute byte do not exist in OAM.
            if ((oam_addr & 3) == 2) value &= 0xE3;
            oam[oam_addr++] = value;
            break;
        case 0x2005:
            if (!w) {
                x = value & 7;
                t = static_cast<uint16_t>((t & 0xFFE0) | value >> 3);
            } else {
                t = static_cast<uint16_t>((t & 0x8C1F) | (value & 0xF8) << 2 | (value & 7) << 12);
            }
            w = !w;
            break;
        case 0x2006:
            if (trace) print_address_registers("Before", value, *this);
            if (!w) {
                t = static_cast<uint16_t>((t & 0x80FF) | (value & 0x3F) << 8);
            } else {
                t = static_cast<uint16_t>((t & 0xFF00) | value);
                v = t;
                if (HW && !fetching()) drive_address(v);
            }
            w = !w;
            if (trace) print_address_registers("After", value, *this);
            break;
        case 0x2007: {
            const short p = static_cast<short>(v & 0x3FFF);
            if (trace) printf("ppu->%04x: %02x\n", p, value);
            // Palette RAM holds six bits.
            write(p, static_cast<signed char>(HW && p >= 0x3F00 ? value & 0x3F : value));
            if constexpr (HW)
                step_after_data_access();
            else
                v += (*register_ptrs[0] & CTRL_STEP_ROW) ? 32 : 1;
            if (trace) printf("v changed to %i\n", v);
            break;
        }
        default:
            break;
    }
    if (hears_port) mapper->ppu_register_written(mapper_context, address, value);
    return value;
}

template uint8_t PPU::read_register<Accuracy::standard>(uint16_t, int64_t);
template uint8_t PPU::read_register<Accuracy::hardware>(uint16_t, int64_t);
template uint8_t PPU::write_register<Accuracy::standard>(uint16_t, uint8_t, int64_t);
template uint8_t PPU::write_register<Accuracy::hardware>(uint16_t, uint8_t, int64_t);

int64_t PPU::get_addr(signed char* location) const { return location - reinterpret_cast<const signed char*>(memory); }

void PPU::v_horiz() { v = coarse_x_step(v); }

void PPU::v_vert() {
    if ((v & 0x7000) != 0x7000) {
        v += 0x1000;
        return;
    }
    v &= 0x8FFF;
    int coarse_y = (v >> 5) & 31;
    if (coarse_y == 29) {
        coarse_y = 0;
        v ^= 0x0800;  // next vertical name table
    } else if (coarse_y == 31) {
        coarse_y = 0;  // rows 30 and 31 hold attributes: wrap without switching
    } else {
        ++coarse_y;
    }
    v = (v & 0xFC1F) | (coarse_y << 5);
}

void PPU::apply_and_update_registers() {
    if ((scanline < 241 || scanline > 260) && register_ptrs[2]) *register_ptrs[2] &= ~STATUS_VBLANK;
}

// Past a line's last dot: the next line, or the next frame's first.
inline void PPU::next_line() {
    dot = 0;
    if (scanline == LAST_LINE) {
        ++frames;
        scanline = 0;
        post_render = false;
    } else {
        ++scanline;
    }
}

// Sprite countdown: a sprite at X is active on dots X+1..X+8, its counter
// running from X down to -8 (the bit is set at 0 and cleared at -8). Past -8
// a sprite stays inactive, so its counter stops at -9 instead of running on
// towards a wrap.
inline void PPU::sprite_countdown_dot() {
    uint8_t active = sprite_active;
    for (int i = 0; i < line_sprite_count; ++i) {
        const int n = sprite_x_counter[i];
        if (n > 0) {
            sprite_x_counter[i] = n - 1;
        } else if (n > -9) {
            const uint8_t bit = static_cast<uint8_t>(1u << i);
            if (active & bit) --sprite_shift[i];
            if (n == 0) {
                active |= bit;
            } else if (n == -8) {
                active &= ~bit;
            }
            sprite_x_counter[i] = n - 1;
        }
    }
    sprite_active = active;
}

template <>
void PPU::cycle<Accuracy::standard>() {
    const uint8_t ctrl = *register_ptrs[0];
    const uint8_t mask = *register_ptrs[1];
    uint8_t& status = *register_ptrs[2];
    rendering = (mask & (MASK_BG | MASK_SPRITES)) != 0;

    if (post_render) {
        // Scanlines 240-261: only the vblank flags and the vertical copy.
        if (scanline == 241) {
            if (dot == 1 && !in_vblank) {
                in_vblank = true;
                if (!suppress_nmi) nmi_occurred = true;
                if (!suppress_vblank) status |= STATUS_VBLANK;
            }
        } else if (scanline == LAST_LINE) {
            if (dot == 1) {
                suppress_vblank = false;
                nmi_occurred = false;
                suppress_nmi = false;
                status &= 0x1F;  // vblank, sprite 0 hit and overflow together
                in_vblank = false;
            } else if (dot >= 280 && dot <= 304 && rendering) {
                v = (v & 0x841F) | (t & 0x7BE0);
            }
        }
    } else if (dot >= 1 && dot <= 256) {
        sprite_countdown_dot();

        if (((dot - 1) & 7) == 0 && rendering) {
            fetch_told_tile(v, ctrl);
            fine_x_counter = x & 7;
        }

        // Sprite evaluation for the next line, whenever either layer is shown.
        if (dot == 1 && rendering) {
            for (uint8_t& b : secondary_oam) b = 0xFF;
            eval_index = 0;
            overflow_byte = 0;
            eval_done = false;
            next_sprite_count = 0;
            next_has_sprite0 = false;
        }
        if (dot >= 129 && rendering) {
            const int height = (ctrl & CTRL_TALL_SPRITES) ? 16 : 8;
            const uint8_t n = eval_index;
            const uint8_t k = next_sprite_count;
            if ((dot & 1) == 0 && k <= 7) {
                const uint8_t y1 = oam[n] + 1;  // first scanline of the sprite
                if (!eval_done && y1 != 0) {
                    secondary_oam[4 * k] = y1;
                    const int next_line = scanline == 239 ? 0 : scanline + 1;
                    const int d = next_line - y1;
                    if (d >= 0 && d < height && y1 <= 239) {
                        secondary_oam[4 * k + 1] = oam[n + 1];
                        secondary_oam[4 * k + 2] = oam[n + 2];
                        secondary_oam[4 * k + 3] = oam[n + 3];
                        next_sprite_x[k] = oam[n + 3];
                        if (n == 0) next_has_sprite0 = true;
                        next_sprite_count = k + 1;
                    }
                }
                eval_index = n + 4;
                if (eval_index == 0) eval_done = true;
            } else if (k == 8) {
                // Overflow scan: on a miss the byte offset advances along
                // with the entry, so it reads tiles, attributes and X as Y.
                const int d = scanline - oam[static_cast<uint8_t>(n + overflow_byte)];
                if (d >= 0 && d < height) {
                    status |= STATUS_OVERFLOW;
                } else {
                    overflow_byte = (overflow_byte + 1) & 3;
                }
                eval_index = n + 4;
            }
        }
        if (dot == 256 && rendering) v_vert();

        // Pixel. Every colour address formed here is already folded: $3F00,
        // or a background or sprite entry whose low two bits are not 0.
        const int column = dot - 1;
        uint16_t colour = 0x3F00;
        if (rendering) {
            const int shift = 7 - fine_x_counter;
            const int bg = ((pattern_high >> shift) & 1) << 1 | ((pattern_low >> shift) & 1);

            int spr = 0, sprpal = 0, index = -1;
            bool behind = false;
            if ((mask & MASK_SPRITES) && sprite_active) {
                for (int i = line_sprite_count - 1; i >= 0; --i) {
                    if (!(sprite_active & (1u << i))) continue;
                    const uint8_t attr = line_sprites[4 * i + 2];
                    const int p = sprite_pixel(sprite_row_pattern(*this, i, ctrl), attr, sprite_shift[i]);
                    if (p) {
                        spr = p;
                        sprpal = attr & 3;
                        behind = attr & 0x20;
                        index = i;
                    }
                }
                // Sprite 0 hit needs both layers shown, whatever the priority bit;
                // never at x = 255, and in columns 0-7 only if neither layer is
                // clipped there.
                constexpr uint8_t BOTH_LEFT = MASK_BG_LEFT | MASK_SPRITES_LEFT;
                if (line_has_sprite0 && index == 0 && bg && (mask & MASK_BG) && column != 255 &&
                    (column >= 8 || (mask & BOTH_LEFT) == BOTH_LEFT))
                    status |= STATUS_SPRITE0;
            }

            if ((mask & MASK_SPRITES) && spr && (!bg || !behind)) {
                if (column >= 8 || (mask & MASK_SPRITES_LEFT)) colour = 0x3F10 + spr + 4 * sprpal;
            } else if ((mask & MASK_BG) && bg && (column >= 8 || (mask & MASK_BG_LEFT))) {
                colour = 0x3F00 + bg + 4 * (fetches_answered ? answered_palette() : background_palette(*this));
            }
        }
        put_pixel(*this, scanline * WIDTH + column, memory[colour]);

        if (++fine_x_counter == 8) {
            fine_x_counter = 0;
            // Look-ahead: v itself is not changed.
            if (rendering)
                fetch_told_tile(coarse_x_step(v), ctrl);
            else
                fetch_tile(*this, coarse_x_step(v), ctrl);
        }
        if ((dot & 7) == 0 && dot <= 248 && rendering) v = coarse_x_step(v);
    } else if (dot == 257) {
        if (rendering) {
            oam_addr = 0;
            v = (v & 0xFBE0) | (t & 0x041F);
            for (int i = 0; i < 4 * next_sprite_count; ++i) line_sprites[i] = secondary_oam[i];
            line_sprite_count = static_cast<int8_t>(next_sprite_count);
            for (int i = 0; i < 8; ++i) sprite_x_counter[i] = next_sprite_x[i];
            sprite_active = 0;
            line_has_sprite0 = next_has_sprite0;
            for (int i = 0; i < line_sprite_count; ++i) sprite_shift[i] = 7;
            if (hears_fetches) tell_sprite_fetches(ctrl);
        }
    } else if (dot == 340 && scanline == 239) {
        post_render = true;
    }

    ++cycles;
    if (++dot == DOTS_PER_LINE) next_line();
    if (mapper) mapper->clock(mapper_context);
}

// The standard model reads a tile's pattern bytes at once; a board that
// watches fetches hears both, the low plane first. A board that answers
// fetches gives the tile's name-table, attribute and pattern bytes itself.
void PPU::fetch_told_tile(uint16_t vram, uint8_t ctrl) {
    if (!fetches_answered) {
        fetch_tile(*this, vram, ctrl);
        if (!hears_fetches) return;
        mapper->fetched(mapper_context, pattern_addr, PpuFetch::background_low, pattern_low);
        mapper->fetched(mapper_context, pattern_addr | 8, PpuFetch::background_high, pattern_high);
        return;
    }
    tile_addr = 0x2000 | (vram & 0x0FFF);
    attr_addr = 0x23C0 | (vram & 0x0C00) | ((vram >> 4) & 0x38) | ((vram >> 2) & 0x07);
    nt_byte =
        mapper->fetched(mapper_context, tile_addr, PpuFetch::name_table, memory[fold_nametable(tile_addr, mirroring)]);
    answered_palette();  // the attribute fetch, heard in its place
    pattern_addr = ((v >> 12) & 7) | (nt_byte << 4);
    if (ctrl & CTRL_BG_TABLE) pattern_addr += 0x1000;
    const uint8_t low = memory[pattern_addr], high = memory[pattern_addr + 8];
    pattern_low = mapper->fetched(mapper_context, pattern_addr, PpuFetch::background_low, low);
    pattern_high = mapper->fetched(mapper_context, pattern_addr | 8, PpuFetch::background_high, high);
}

int PPU::answered_palette() {
    const uint8_t a =
        mapper->fetched(mapper_context, attr_addr, PpuFetch::attribute, memory[fold_nametable(attr_addr, mirroring)]);
    return (a >> ((tile_addr & 2) | ((tile_addr >> 4) & 4))) & 3;
}

// The eight sprite units' pattern fetches for the next line, as the standard
// model lists them at dot 257 (an empty unit fetches tile $FF), those of the
// tiles the board acts on; the pixels read the rows from pattern memory as
// they are drawn.
void PPU::tell_sprite_fetches(uint8_t ctrl) {
    const bool tall = ctrl & CTRL_TALL_SPRITES;
    const uint8_t span = static_cast<uint8_t>(fetched_last - fetched_first);
    for (int i = 0; i < 8; ++i) {
        const bool listed = i < line_sprite_count;
        int tile = listed ? line_sprites[4 * i + 1] : 0xFF;
        int row = listed ? (scanline + 1 - line_sprites[4 * i]) & 15 : 0;
        if (listed && (line_sprites[4 * i + 2] & 0x80)) row = (tall ? 15 : 7) - row;
        int table = (ctrl & CTRL_SPRITE_TABLE) ? 1 : 0;
        if (tall) {
            table = tile & 1;
            tile = (tile & 0xFE) + (row >> 3);
        }
        if (static_cast<uint8_t>(tile - fetched_first) > span) continue;
        const uint16_t address = static_cast<uint16_t>(table * 0x1000 + (tile & 0xFF) * 16 + (row & 7));
        const uint8_t* patterns = sprite_pattern_memory();
        mapper->fetched(mapper_context, address, PpuFetch::sprite_low, patterns[address]);
        mapper->fetched(mapper_context, address | 8, PpuFetch::sprite_high, patterns[address | 8]);
    }
}

void PPU::on_reset() {
    if (cpu) {
        cpu->memory[0x2000] = 0;
        cpu->memory[0x2001] = 0;
    }
    t = 0;
    x = 0;
    w = false;
    read_buffer = 0;
}

void PPU::rebuild_frame_buffer() {
    if (!rgb_picture) return;
    for (int q = 0; q < HEIGHT * WIDTH; ++q) {
        const uint8_t* rgb = NTSC_TO_RGB[index_buffer[q] & 63];
        uint8_t* out = frame_buffer + 3 * q;
        out[0] = rgb[0];
        out[1] = rgb[1];
        out[2] = rgb[2];
    }
}

// ---- Fast path ----
//
// run_until gives the same result as calling cycle() dot by dot. The drawing
// dots 1-256 of a line go through render_span, which takes the registers as
// constant and does the work of each part of a dot (sprite countdown, sprite
// evaluation, background fetches, pixels) for a whole span; the dots that do
// nothing but advance the counters go through quiet_span; every other dot
// goes through cycle() itself.

namespace {
constexpr int FRAME_DOTS = (LAST_LINE + 1) * DOTS_PER_LINE;
constexpr int VBLANK_LINE = 241;
}  // namespace

int64_t PPU::dots_until(int line, int to_dot) const {
    const int64_t d = (int64_t{line} - scanline) * DOTS_PER_LINE + (to_dot - dot);
    return d > 0 ? d : d + FRAME_DOTS;
}

template <>
int64_t PPU::frame_end<Accuracy::standard>() const {
    return cycles + dots_until(0, 0);
}

template <>
int64_t PPU::next_event<Accuracy::standard>() const {
    // The flag changes while dot 1 of lines 241 and 261 is processed.
    const int64_t dots = std::min({dots_until(VBLANK_LINE, 2), dots_until(LAST_LINE, 2), dots_until(0, 0)});
    return cycles + (mapper ? std::min(dots, mapper_event_dots()) : dots);
}

int64_t PPU::mapper_event_dots() const {
    int64_t dots = std::numeric_limits<int64_t>::max();
    switch (mapper->dot_clock()) {
        case Mapper::DotClock::after_dot_255:
            // The clock that may request, on the k-th counted line ahead
            // (as if rendering stayed on: a request is never later).
            if (int64_t k = mapper->clocks_to_request(); k > 0) {
                for (int line = dot < 256 ? scanline : scanline + 1; line <= LAST_LINE; ++line) {
                    if ((line < 240 || line == LAST_LINE) && --k == 0) {
                        dots = dots_until(line, 256);
                        break;
                    }
                }
            }
            break;
        case Mapper::DotClock::every_dot:
            if (const int64_t d = mapper->clocks_to_request(); d >= 0) dots = d;
            break;
        case Mapper::DotClock::none:
            break;
    }
    return dots;
}

template <>
void PPU::run_until<Accuracy::standard>(int64_t target) {
    const Mapper::DotClock clocking = mapper ? mapper->dot_clock() : Mapper::DotClock::none;
    while (cycles < target) {
        const int64_t left = target - cycles;
        if (scanline < 0 || scanline > LAST_LINE || dot < 0 || dot >= DOTS_PER_LINE ||
            post_render == (scanline < 240)) {
            cycle();  // a position the counters never reach by themselves
            continue;
        }
        if (!post_render) {
            if (dot >= 1 && dot <= 256 && hears_fetches && row_fetches_matter()) {
                // The groups that tell the board none of its tiles go in a
                // span; the others dot by dot (it may switch banks at any).
                const int last = untold_groups_end();
                if (last >= dot)
                    render_span(static_cast<int>(std::min<int64_t>(last, dot + left - 1)));
                else
                    cycle();
            } else if (dot >= 1 && dot <= 256) {
                render_span(static_cast<int>(std::min<int64_t>(256, dot + left - 1)));
            } else if (dot == 0 || (dot >= 258 && (dot < 340 || scanline != 239))) {
                const int end = dot == 0 ? 1 : scanline == 239 ? 340 : DOTS_PER_LINE;
                quiet_span(static_cast<int>(std::min<int64_t>(end - dot, left)));
            } else {
                cycle();
            }
            continue;
        }
        // Lines 240-261: the first dot of this line's remaining work, if any.
        int next = DOTS_PER_LINE;
        auto work_at = [&](int d) {
            if (d >= dot && d < next) next = d;
        };
        if (scanline == VBLANK_LINE || scanline == LAST_LINE) work_at(1);
        if (scanline == LAST_LINE && (*register_ptrs[1] & (MASK_BG | MASK_SPRITES)) && dot <= 304)
            work_at(std::max(dot, 280));
        if (clocking == Mapper::DotClock::after_dot_255) work_at(255);
        if (next == dot)
            cycle();
        else
            quiet_span(static_cast<int>(std::min<int64_t>(next - dot, left)));
    }
}

void PPU::quiet_span(int dots) {
    rendering = (*register_ptrs[1] & (MASK_BG | MASK_SPRITES)) != 0;
    cycles += dots;
    dot += dots;
    if (dot == DOTS_PER_LINE) next_line();
    if (mapper && mapper->dot_clock() == Mapper::DotClock::every_dot) mapper->clock_dots(mapper_context, dots);
}

// One bit per OAM entry: whether its sprite covers the line (first line
// Y + 1, height lines, none from line 240 on), and whether its Y is not $FF.
void PPU::entry_masks(int line, int height, uint64_t& on_line, uint64_t& with_y) const {
    on_line = with_y = 0;
#ifdef __SSE2__
    // Y lies in the low byte of each entry's 32 bits; it covers the line when
    // Y <= line - 1 and line - 1 - Y < height (no sprite covers line 0).
    const __m128i low_byte = _mm_set1_epi32(0xFF), all_ff = _mm_set1_epi8(-1);
    const __m128i above = _mm_set1_epi8(static_cast<char>(line - 1)),
                  tallest = _mm_set1_epi8(static_cast<char>(height - 1));
    for (int q = 0; q < 4; ++q) {
        const __m128i* at = reinterpret_cast<const __m128i*>(oam + 64 * q);
        const __m128i ys = _mm_packus_epi16(_mm_packs_epi32(_mm_and_si128(_mm_loadu_si128(at), low_byte),
                                                            _mm_and_si128(_mm_loadu_si128(at + 1), low_byte)),
                                            _mm_packs_epi32(_mm_and_si128(_mm_loadu_si128(at + 2), low_byte),
                                                            _mm_and_si128(_mm_loadu_si128(at + 3), low_byte)));
        with_y |= uint64_t(~_mm_movemask_epi8(_mm_cmpeq_epi8(ys, all_ff)) & 0xFFFF) << (16 * q);
        if (line == 0) continue;
        const __m128i not_below = _mm_cmpeq_epi8(_mm_max_epu8(ys, above), above);
        const __m128i rows = _mm_sub_epi8(above, ys);
        const __m128i within = _mm_cmpeq_epi8(_mm_max_epu8(rows, tallest), tallest);
        on_line |= uint64_t(_mm_movemask_epi8(_mm_and_si128(not_below, within)) & 0xFFFF) << (16 * q);
    }
#else
    for (int e = 0; e < 64; ++e) {
        const int y1 = oam[4 * e] + 1;
        const int dy = line - y1;
        on_line |= uint64_t{dy >= 0 && dy < height && y1 <= 239} << e;
        with_y |= uint64_t{y1 != 256} << e;
    }
#endif
}

// The sprite evaluation of dots first..last with rendering on, dot 1's reset
// included: with Commit, into the fields; without, on copies, to look ahead.
// Returns the first of these dots at which the overflow scan sets the flag,
// or 0.
template <bool Commit>
int PPU::evaluate(int first, int last, uint8_t ctrl) {
    uint8_t n = eval_index;
    int k = next_sprite_count;
    bool done = eval_done;
    int m = overflow_byte;
    if (first == 1) {
        if constexpr (Commit) {
            for (uint8_t& b : secondary_oam) b = 0xFF;
            next_has_sprite0 = false;
        }
        n = 0;
        k = 0;
        done = false;
        m = 0;
    }
    const int height = (ctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    const int next_line = scanline == 239 ? 0 : scanline + 1;
    int d = std::max(first, 129);
    if (k <= 7) d += d & 1;  // odd dots do nothing while fewer than 8 are found
    // Which entries lie on the next line, and which have a Y other than
    // $FF (those write their Y into the slot being filled): one bit per entry.
    uint64_t on_line = 0, with_y = 0;
    const bool whole_entries = (n & 3) == 0;
    if (whole_entries && d <= last && k <= 7) entry_masks(next_line, height, on_line, with_y);
    while (d <= last && k <= 7) {
        if (done) {
            // Every entry seen: the even dots left only move the index.
            n = static_cast<uint8_t>(n + 4 * (last / 2 - (d - 1) / 2));
            d = last + 1;
            break;
        }
        if (whole_entries) {
            // The entries up to the next one on the line only rewrite the
            // slot's Y: pass them at once, one even dot each.
            const int e = n / 4;
            const int ahead = std::min(64 - e, (last - d) / 2 + 1);
            const uint64_t hits = (on_line >> e) & low_bits(ahead);
            const int skip = hits ? std::countr_zero(hits) : ahead;
            if (skip > 0) {
                if constexpr (Commit) {
                    if (const uint64_t written = (with_y >> e) & low_bits(skip))
                        secondary_oam[4 * k] = oam[4 * (e + 63 - std::countl_zero(written))] + 1;
                }
                n = static_cast<uint8_t>(n + 4 * skip);
                done = n == 0;
                d += 2 * skip;
                continue;
            }
        }
        const uint8_t y1 = oam[n] + 1;
        if (y1 != 0) {
            if constexpr (Commit) secondary_oam[4 * k] = y1;
            const int dy = next_line - y1;
            if (dy >= 0 && dy < height && y1 <= 239) {
                if constexpr (Commit) {
                    secondary_oam[4 * k + 1] = oam[n + 1];
                    secondary_oam[4 * k + 2] = oam[n + 2];
                    secondary_oam[4 * k + 3] = oam[n + 3];
                    next_sprite_x[k] = oam[n + 3];
                    if (n == 0) next_has_sprite0 = true;
                }
                ++k;
            }
        }
        n = static_cast<uint8_t>(n + 4);
        done = n == 0;
        d += k <= 7 ? 2 : 1;  // after the eighth find the scan runs on every dot
    }
    int overflow_dot = 0;
    if (k == 8) {
        // The overflow scan, on every dot from the one after the eighth find.
        for (; d <= last; ++d) {
            const int dy = scanline - oam[static_cast<uint8_t>(n + m)];
            if (dy >= 0 && dy < height) {
                if (!overflow_dot) overflow_dot = d;
                if constexpr (!Commit) break;
            } else {
                m = (m + 1) & 3;
            }
            n = static_cast<uint8_t>(n + 4);
        }
    }
    if constexpr (Commit) {
        eval_index = n;
        next_sprite_count = static_cast<uint8_t>(k);
        eval_done = done;
        overflow_byte = static_cast<uint8_t>(m);
    }
    return overflow_dot;
}

// The background pixel (0-3) the rest of the current drawing line shows at
// a column from the current dot on, the registers as they stand: from the
// fields up to the next group start, then tile (column + x) / 8 of the
// sequence from v.
int PPU::background_pixel(int column, uint8_t ctrl) const {
    const int d = column + 1;
    const int group_start = ((dot - 1) & 7) == 0 ? dot : ((dot - 1) | 7) + 2;
    int low = pattern_low, high = pattern_high, bit;
    auto load = [&](uint16_t at) {
        const uint8_t nt = memory[fold_nametable(0x2000 | (at & 0x0FFF), mirroring)];
        const int addr = ((v >> 12) & 7) | nt << 4 | ((ctrl & CTRL_BG_TABLE) ? 0x1000 : 0);
        low = memory[addr];
        high = memory[addr + 8];
    };
    if (d < group_start) {
        const int fine = fine_x_counter + (d - dot);
        if (fine >= 8) load(coarse_x_step(v));  // after the look-ahead
        bit = 7 - (fine & 7);
    } else {
        // v has had its step at the end of the partial group, if there was one.
        const uint16_t v_start = dot < group_start ? coarse_x_step(v) : v;
        const int fine_x = x & 7;
        load(coarse_x_steps(v_start, (column + fine_x) / 8 - (group_start - 1) / 8));
        bit = 7 - ((column + fine_x) & 7);
    }
    return ((high >> bit) & 1) << 1 | ((low >> bit) & 1);
}

// The dot at which sprite 0's countdown from the current dot, as the spans
// run it, first shows an opaque pixel of the row pattern over an opaque
// background pixel (background(column)), the registers as they stand; 0
// when none does on this line.
template <typename Background>
int PPU::sprite0_hit_dot(uint16_t pattern, uint8_t mask, Background background) const {
    constexpr uint8_t BOTH_LEFT = MASK_BG_LEFT | MASK_SPRITES_LEFT;
    const uint8_t attr = line_sprites[2];
    int n = sprite_x_counter[0];
    bool active = sprite_active & 1;
    uint8_t shift = sprite_shift[0];
    for (int d = dot; d <= 255; ++d) {  // column 255 never hits
        if (n > 0) {
            if (!active) {
                d += n - 1;  // nothing shows until the counter reaches 0
                n = 0;
                continue;
            }
            --n;
        } else if (n > -9) {
            countdown_shown_step(n, shift, active);
        } else if (!active) {
            break;
        }
        const int column = d - 1;
        if (active && sprite_pixel(pattern, attr, shift) && (column >= 8 || (mask & BOTH_LEFT) == BOTH_LEFT) &&
            background(column))
            return d;
    }
    return 0;
}

// Whether sprite 0 hit may still be set on this line: both layers on, sprite
// 0 on the line, the flag clear.
bool PPU::hit_possible(uint8_t mask) const {
    return line_has_sprite0 && line_sprite_count > 0 && (mask & (MASK_BG | MASK_SPRITES)) == (MASK_BG | MASK_SPRITES) &&
           !(*register_ptrs[2] & STATUS_SPRITE0);
}

void PPU::predict_line() {
    constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();
    predicted_at = cycles;
    predicted_hit = predicted_overflow = NEVER;
    const uint8_t ctrl = *register_ptrs[0];
    const uint8_t mask = *register_ptrs[1];
    const uint8_t status = *register_ptrs[2];
    if (!(mask & (MASK_BG | MASK_SPRITES))) return;
    const int first = dot;
    auto at_dot = [&](int d) { return cycles + (d - first) + 1; };

    // List position 0 wins wherever it is opaque.
    if (hit_possible(mask)) {
        if (const int d = sprite0_hit_dot(sprite_row_pattern(*this, 0, ctrl), mask,
                                          [&](int column) { return background_pixel(column, ctrl) != 0; }))
            predicted_hit = at_dot(d);
    }
    if (!(status & STATUS_OVERFLOW)) {
        if (const int d = evaluate<false>(first, 256, ctrl)) predicted_overflow = at_dot(d);
    }
}

template <>
uint8_t PPU::status_at<Accuracy::standard>(int64_t target) {
    if (target > cycles) {
        // Where the target lies: dots up to target_dot - 1 of its line drawn.
        const int64_t ahead = target - cycles;
        const int64_t position = int64_t{scanline} * DOTS_PER_LINE + dot + ahead;
        const int target_line = static_cast<int>(position / DOTS_PER_LINE);
        const int target_dot = static_cast<int>(position % DOTS_PER_LINE);
        if (target_line < 240 && target_dot >= 1 && target_dot <= 257 && !post_render) {
            // Earlier lines are drawn for real; within the target's line the
            // flags are predicted, for a board that hears fetches only while
            // none of them tells it a tile it acts on (it may switch banks).
            const int64_t line_start = target - (target_dot - 1);
            if (cycles < line_start) run_until(line_start);
            if (!hears_fetches || !row_fetches_matter() || untold_groups_end() >= target_dot - 1) {
                if (predicted_at != cycles) predict_line();
                uint8_t status = *register_ptrs[2];
                if (predicted_hit <= target) status |= STATUS_SPRITE0;
                if (predicted_overflow <= target) status |= STATUS_OVERFLOW;
                return status;
            }
        }
        run_until(target);
    }
    return *register_ptrs[2];
}

// The sprite countdown of dots first..last, one sprite at a time. For each
// column the frontmost opaque sprite pixel is kept in sprite_px (its value,
// palette, priority bit 0x10 and 0x20 for list position 0) and its palette
// value in sprite_value; returns whether any column was written (sprite_px
// then holds columns first - 1 to last + 15). patterns holds the units' row
// patterns, or is null for rows read from pattern memory as the pixels are
// drawn.
bool PPU::overlay_sprites(int first, int last, bool sprites_shown, const uint16_t* patterns, uint8_t ctrl,
                          uint8_t* sprite_px, uint8_t* sprite_value) {
    const int count = last - first + 1;
    bool sprite_drawn = false;
    for (int i = line_sprite_count - 1; i >= 0; --i) {
        const uint8_t bit = static_cast<uint8_t>(1u << i);
        int n = sprite_x_counter[i];
        bool active = sprite_active & bit;
        // Most sprites are still counting down to their column, or done.
        if (!active && (n >= count || n <= -9)) {
            if (n > 0) sprite_x_counter[i] = n - count;
            continue;
        }
        const uint8_t attr = line_sprites[4 * i + 2];
        const uint16_t pattern = !sprites_shown ? 0 : patterns ? patterns[i] : sprite_row_pattern(*this, i, ctrl);
        const uint8_t tag = static_cast<uint8_t>((attr & 3) << 2 | (attr & 0x20) >> 1 | (i == 0 ? 0x20 : 0));
        uint8_t shift = sprite_shift[i];
        auto start_drawing = [&] {
            if (!sprite_drawn) {
                std::memset(sprite_px + first - 1, 0, count + 16);
                sprite_drawn = true;
            }
        };
        if (!active && n >= 0 && first + n + 8 <= last) {
            // The whole sprite in this span, the usual case: active from dot
            // first + n with shifts 7 down to 0 on its eight columns, then done.
            if (sprites_shown) {
                start_drawing();
                constexpr uint64_t ONES = 0x0101010101010101ull;
                const auto& plane = (attr & 0x40) ? PLANE_REVERSED : PLANE;
                const uint64_t pixels = plane[pattern & 0xFF] | plane[pattern >> 8] << 1;
                const uint64_t opaque = ((pixels | pixels >> 1) & ONES) * 0xFF;
                const uint64_t is1 = (pixels & ~(pixels >> 1) & ONES) * 0xFF;
                const uint64_t is2 = ((pixels >> 1) & ~pixels & ONES) * 0xFF;
                const uint64_t is3 = ((pixels >> 1) & pixels & ONES) * 0xFF;
                const uint8_t* colours = memory + 0x3F10 + (tag & 0x0F);
                const uint64_t values =
                    (is1 & (colours[1] * ONES)) | (is2 & (colours[2] * ONES)) | (is3 & (colours[3] * ONES));
                const int column = first + n - 1;
                uint64_t px, value;
                std::memcpy(&px, sprite_px + column, 8);
                std::memcpy(&value, sprite_value + column, 8);
                px = (px & ~opaque) | ((pixels | tag * ONES) & opaque);
                value = (value & ~opaque) | (values & opaque);
                std::memcpy(sprite_px + column, &px, 8);
                std::memcpy(sprite_value + column, &value, 8);
            }
            sprite_x_counter[i] = -9;
            sprite_shift[i] = static_cast<uint8_t>(shift - 8);
            continue;
        }
        auto draw = [&](int column, int columns) {
            if (!sprites_shown || !active) return;
            start_drawing();
            for (int c = column; c < column + columns; ++c) {
                if (const int p = sprite_pixel(pattern, attr, shift)) {
                    sprite_px[c] = static_cast<uint8_t>(p | tag);
                    sprite_value[c] = memory[0x3F10 + (tag & 0x0F) + p];
                }
            }
        };
        for (int d = first; d <= last;) {
            if (n > 0 || n <= -9) {
                // Only the counter moves (down to 0), or nothing at all.
                const int run = n > 0 ? std::min(n, last - d + 1) : last - d + 1;
                draw(d - 1, run);
                if (n > 0) n -= run;
                d += run;
                continue;
            }
            countdown_shown_step(n, shift, active);
            draw(d - 1, 1);
            ++d;
        }
        sprite_x_counter[i] = n;
        sprite_shift[i] = shift;
        sprite_active = active ? (sprite_active | bit) : (sprite_active & ~bit);
    }
    return sprite_drawn;
}

void PPU::render_span(int last) {
    const uint8_t ctrl = *register_ptrs[0];
    const uint8_t mask = *register_ptrs[1];
    uint8_t& status = *register_ptrs[2];
    const bool on = (mask & (MASK_BG | MASK_SPRITES)) != 0;
    const bool sprites_shown = on && (mask & MASK_SPRITES);
    const int first = dot;
    rendering = on;

    const int count = last - first + 1;
    uint8_t sprite_px[WIDTH + 16];
    uint8_t sprite_value[WIDTH + 16];  // the palette value of each column's sprite pixel
    const bool sprite_drawn = overlay_sprites(first, last, sprites_shown, nullptr, ctrl, sprite_px, sprite_value);

    // Sprite evaluation for the next line.
    if (on && evaluate<true>(first, last, ctrl)) status |= STATUS_OVERFLOW;

    // Background fetches, the fine-X counter and the pixels' palette values.
    if (!on) {
        uint8_t out[WIDTH];
        std::memset(out, memory[0x3F00], count);
        store_pixels(scanline * WIDTH + first - 1, out, count);
        // The look-ahead fetch still runs; v does not move, so every one of
        // them fetches the same tile.
        const int counted = fine_x_counter + count;
        if (counted >= 8) fetch_tile(*this, coarse_x_step(v), ctrl);
        fine_x_counter = static_cast<uint8_t>(counted & 7);
    } else {
        draw_background(first, last, ctrl, mask, sprite_drawn ? sprite_px : nullptr, sprite_value);
    }

    cycles += count;
    if (mapper) {
        switch (mapper->dot_clock()) {
            case Mapper::DotClock::after_dot_255:
                // It sees the counters between dots 255 and 256 and changes
                // nothing the drawing reads, so it can come after the span.
                if (first <= 255 && last >= 255) {
                    dot = 256;
                    mapper->clock(mapper_context);
                }
                break;
            case Mapper::DotClock::every_dot:
                dot = last + 1;  // the board sees the position after the dots, as elsewhere
                mapper->clock_dots(mapper_context, count);
                break;
            case Mapper::DotClock::none:
                break;
        }
    }
    dot = last + 1;
}

#ifdef __SSE2__
namespace {

// Each colour channel of the 64 system palette colours as four tables of
// sixteen, for byte shuffles.
constexpr auto COLOUR_QUARTERS = [] {
    std::array<std::array<std::array<uint8_t, 16>, 4>, 3> t{};
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 64; ++v) t[c][v / 16][v % 16] = NTSC_TO_RGB[v][c];
    return t;
}();

// Sixteen pixels' colours are 48 bytes, R G B a pixel: byte j of part p is
// byte 16 p + j, of pixel (16 p + j) / 3. PIXEL_OF[p] picks each byte's pixel,
// CHANNEL_OF[p][c] the same where the byte is channel c (zero elsewhere).
constexpr auto PIXEL_OF = [] {
    std::array<std::array<uint8_t, 16>, 3> t{};
    for (int b = 0; b < 48; ++b) t[b / 16][b % 16] = static_cast<uint8_t>(b / 3);
    return t;
}();
constexpr auto CHANNEL_OF = [] {
    std::array<std::array<std::array<uint8_t, 16>, 3>, 3> t{};
    for (int b = 0; b < 48; ++b)
        for (int c = 0; c < 3; ++c) t[b / 16][c][b % 16] = b % 3 == c ? static_cast<uint8_t>(b / 3) : 0x80;
    return t;
}();

// Sixty-four pixels' colours are 192 bytes: byte j of part p is byte
// 64 p + j, of pixel (64 p + j) / 3. PIXEL_OF_64[p] picks each byte's pixel;
// RED_GREEN_OF[p] the same from red (0-63) or green (64-127) by its channel,
// and BLUE_BYTES[p] marks the bytes that are blue.
struct alignas(64) Bytes64 {
    std::array<uint8_t, 64> b{};
};
constexpr auto COLOUR_CHANNELS = [] {
    std::array<Bytes64, 3> t{};
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 64; ++v) t[c].b[v] = NTSC_TO_RGB[v][c];
    return t;
}();
constexpr auto PIXEL_OF_64 = [] {
    std::array<Bytes64, 3> t{};
    for (int b = 0; b < 192; ++b) t[b / 64].b[b % 64] = static_cast<uint8_t>(b / 3);
    return t;
}();
constexpr auto RED_GREEN_OF = [] {
    std::array<Bytes64, 3> t{};
    for (int b = 0; b < 192; ++b) t[b / 64].b[b % 64] = static_cast<uint8_t>(b / 3 + (b % 3 == 1 ? 64 : 0));
    return t;
}();
constexpr auto BLUE_BYTES = [] {
    std::array<uint64_t, 3> t{};
    for (int b = 0; b < 192; ++b)
        if (b % 3 == 2) t[b / 64] |= uint64_t{1} << (b % 64);
    return t;
}();

// The widest picture steps this processor has, looked for once at load.
const PictureSteps PROCESSOR_STEPS = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi")) return PictureSteps::widest;
    if (__builtin_cpu_supports("avx2")) return PictureSteps::thirty_two;
    return __builtin_cpu_supports("ssse3") ? PictureSteps::sixteen : PictureSteps::bytewise;
}();
PictureSteps picture_steps = PROCESSOR_STEPS;

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

[[gnu::target("ssse3"), gnu::always_inline]] inline __m128i table16(const std::array<uint8_t, 16>& t) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data()));
}

// Sixteen pixels' colours from their channels (one byte each), interleaved
// into the 48 colour bytes at out and blended into the old ones where changed
// is set.
[[gnu::target("ssse3"), gnu::always_inline]] inline void store_colours16(uint8_t* out, __m128i red, __m128i green,
                                                                         __m128i blue, __m128i changed) {
    for (int part = 0; part < 3; ++part) {
        const __m128i fresh = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(red, table16(CHANNEL_OF[part][0])),
                                                        _mm_shuffle_epi8(green, table16(CHANNEL_OF[part][1]))),
                                           _mm_shuffle_epi8(blue, table16(CHANNEL_OF[part][2])));
        const __m128i take = _mm_shuffle_epi8(changed, table16(PIXEL_OF[part]));
        const __m128i old = load16(out + 16 * part);
        store16(out + 16 * part, _mm_or_si128(_mm_and_si128(take, fresh), _mm_andnot_si128(take, old)));
    }
}

// store_pixels' sixteen-pixel groups, with byte shuffles; returns how many
// pixels they took. The three channels are looked up sixteen pixels at a
// time and stored by store_colours16.
[[gnu::target("ssse3")]] int store_sixteens_ssse3(uint8_t* index, uint8_t* rgb, const uint8_t* values, int count) {
    const __m128i low6 = _mm_set1_epi8(0x3F), sixteen = _mm_set1_epi8(16), bias = _mm_set1_epi8(0x70);
    const __m128i ones = _mm_set1_epi8(-1);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i now = load16(values + i);
        const __m128i same = _mm_cmpeq_epi8(now, load16(index + i));
        if (_mm_movemask_epi8(same) == 0xFFFF) continue;
        store16(index + i, now);
        // Quarter q's table answers for colours 16 q to 16 q + 15: colour -
        // 16 q plus 0x70 (saturating) keeps bit 7 clear only for those, and a
        // shuffle gives 0 where bit 7 is set.
        __m128i red = _mm_setzero_si128(), green = red, blue = red;
        __m128i from = _mm_and_si128(now, low6);
        for (int q = 0; q < 4; ++q) {
            const __m128i pick = _mm_adds_epu8(from, bias);
            red = _mm_or_si128(red, _mm_shuffle_epi8(table16(COLOUR_QUARTERS[0][q]), pick));
            green = _mm_or_si128(green, _mm_shuffle_epi8(table16(COLOUR_QUARTERS[1][q]), pick));
            blue = _mm_or_si128(blue, _mm_shuffle_epi8(table16(COLOUR_QUARTERS[2][q]), pick));
            from = _mm_sub_epi8(from, sixteen);
        }
        store_colours16(rgb + 3 * i, red, green, blue, _mm_xor_si128(same, ones));
    }
    return i;
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i table32(const std::array<uint8_t, 16>& t) {
    return _mm256_broadcastsi128_si256(table16(t));
}

// store_pixels' thirty-two-pixel groups, as store_sixteens_ssse3 with the
// lookups twice as wide (AVX2 shuffles work in two sixteen-byte lanes, each
// with the same tables); each lane's colours are then stored as sixteen.
[[gnu::target("avx2")]] int store_thirty_twos_avx2(uint8_t* index, uint8_t* rgb, const uint8_t* values, int count) {
    const __m256i low6 = _mm256_set1_epi8(0x3F), sixteen = _mm256_set1_epi8(16), bias = _mm256_set1_epi8(0x70);
    const __m256i ones = _mm256_set1_epi8(-1);
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i now = load32(values + i);
        const __m256i same = _mm256_cmpeq_epi8(now, load32(index + i));
        if (_mm256_movemask_epi8(same) == -1) continue;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(index + i), now);
        __m256i red = _mm256_setzero_si256(), green = red, blue = red;
        __m256i from = _mm256_and_si256(now, low6);
        for (int q = 0; q < 4; ++q) {
            const __m256i pick = _mm256_adds_epu8(from, bias);
            red = _mm256_or_si256(red, _mm256_shuffle_epi8(table32(COLOUR_QUARTERS[0][q]), pick));
            green = _mm256_or_si256(green, _mm256_shuffle_epi8(table32(COLOUR_QUARTERS[1][q]), pick));
            blue = _mm256_or_si256(blue, _mm256_shuffle_epi8(table32(COLOUR_QUARTERS[2][q]), pick));
            from = _mm256_sub_epi8(from, sixteen);
        }
        const __m256i changed = _mm256_xor_si256(same, ones);
        store_colours16(rgb + 3 * i, _mm256_castsi256_si128(red), _mm256_castsi256_si128(green),
                        _mm256_castsi256_si128(blue), _mm256_castsi256_si128(changed));
        store_colours16(rgb + 3 * i + 48, _mm256_extracti128_si256(red, 1), _mm256_extracti128_si256(green, 1),
                        _mm256_extracti128_si256(blue, 1), _mm256_extracti128_si256(changed, 1));
    }
    return i;
}

// store_pixels' sixty-four-pixel groups, with AVX-512 byte permutes, as
// store_sixteens_ssse3: each channel is one lookup of 64 colours (an index's
// low six bits), and each part of the colour bytes two permutes of them,
// stored where its pixel changed.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] int store_sixty_fours_vbmi(uint8_t* index, uint8_t* rgb,
                                                                          const uint8_t* values, int count) {
    const __m512i red = _mm512_load_si512(COLOUR_CHANNELS[0].b.data()),
                  green = _mm512_load_si512(COLOUR_CHANNELS[1].b.data()),
                  blue = _mm512_load_si512(COLOUR_CHANNELS[2].b.data());
    int i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m512i now = _mm512_loadu_si512(values + i);
        const __mmask64 changed = _mm512_cmpneq_epi8_mask(now, _mm512_loadu_si512(index + i));
        if (changed == 0) continue;
        _mm512_storeu_si512(index + i, now);
        const __m512i r = _mm512_permutexvar_epi8(now, red), g = _mm512_permutexvar_epi8(now, green);
        const __m512i b = _mm512_permutexvar_epi8(now, blue), changed_bytes = _mm512_movm_epi8(changed);
        uint8_t* out = rgb + 3 * i;
        for (int part = 0; part < 3; ++part) {
            const __m512i pixel = _mm512_load_si512(PIXEL_OF_64[part].b.data());
            const __m512i fresh = _mm512_mask_permutexvar_epi8(
                _mm512_permutex2var_epi8(r, _mm512_load_si512(RED_GREEN_OF[part].b.data()), g), BLUE_BYTES[part], pixel,
                b);
            const __mmask64 take = _mm512_movepi8_mask(_mm512_permutexvar_epi8(pixel, changed_bytes));
            _mm512_mask_storeu_epi8(out + 64 * part, take, fresh);
        }
    }
    return i;
}

// The background's palette values from colour indices (pixel 0-3 plus 4
// times the palette) with byte shuffles: bits gets each pixel, shown what it
// shows. Sixteen at a time, n rounded up. The loads take eight bytes, as the
// tiles were stored, and the table is built in a register: a wider load of
// bytes just stored in narrower pieces waits for them to reach the cache.
[[gnu::target("ssse3")]] void colour_background_ssse3(const uint8_t* index, int n, const uint8_t* palette_ram,
                                                      bool bg_shown, uint8_t* bits, uint8_t* shown) {
    const __m128i backdrop = _mm_set1_epi8(static_cast<char>(palette_ram[0]));
    const __m128i entry_0 = _mm_set1_epi32(0xFF);  // entries 0, 4, 8 and 12 show the backdrop
    const __m128i table =
        bg_shown ? _mm_or_si128(_mm_andnot_si128(entry_0, load16(palette_ram)), _mm_and_si128(entry_0, backdrop))
                 : backdrop;
    const __m128i pixel = _mm_set1_epi8(3);
    for (int i = 0; i < n; i += 16) {
        const __m128i at = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(index + i)),
                                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(index + i + 8)));
        store16(bits + i, _mm_and_si128(at, pixel));
        store16(shown + i, _mm_shuffle_epi8(table, at));
    }
}

}  // namespace
#endif

namespace {

// Each column's background pixel (bits) and the palette value it shows
// (shown) from its colour index, pixel 0-3 plus 4 times the tile's palette:
// the backdrop's for pixel 0 or with the background hidden. The buffers have
// room for n rounded up to 16.
void colour_background(const uint8_t* index, int n, const uint8_t* palette_ram, bool bg_shown, uint8_t* bits,
                       uint8_t* shown) {
#ifdef __SSE2__
    if (picture_steps != PictureSteps::bytewise)
        return colour_background_ssse3(index, n, palette_ram, bg_shown, bits, shown);
#endif
    uint8_t colours[16];
    if (bg_shown) {
        std::memcpy(colours, palette_ram, 16);
        for (int p = 1; p < 4; ++p) colours[4 * p] = palette_ram[0];
    } else {
        std::memset(colours, palette_ram[0], 16);
    }
    for (int i = 0; i < n; ++i) {
        bits[i] = index[i] & 3;
        shown[i] = colours[index[i] & 15];
    }
}

}  // namespace

void use_picture_steps(PictureSteps widest) {
#ifdef __SSE2__
    picture_steps = std::min(widest, PROCESSOR_STEPS);
#else
    (void)widest;
#endif
}

// Stores count palette values from pixel q on, with their colours; only the
// pixels whose value changed get new colour bytes, the others keep theirs.
void PPU::store_pixels(int q, const uint8_t* values, int count) {
    uint8_t* index = index_buffer + q;
    if (!rgb_picture) {
        std::memcpy(index, values, count);
        return;
    }
    uint8_t* rgb = frame_buffer + 3 * q;
    int i = 0;
#ifdef __SSE2__
    if (picture_steps == PictureSteps::widest) i = store_sixty_fours_vbmi(index, rgb, values, count);
    if (picture_steps == PictureSteps::thirty_two) i = store_thirty_twos_avx2(index, rgb, values, count);
    if (picture_steps != PictureSteps::bytewise)
        i += store_sixteens_ssse3(index + i, rgb + 3 * i, values + i, count - i);
#endif
    for (; i < count; ++i) {
        if (index[i] == values[i]) continue;
        index[i] = values[i];
        std::memcpy(rgb + 3 * i, &RGB_WORD[values[i]], 3);
    }
}

// The background dots first..last with rendering on: fetches at each group
// start and by look-ahead, the fine-X counter, coarse-X steps of v, and each
// pixel's palette value (with the sprite pixels and the sprite 0 hit) into
// out.
//
// From the first group start on, with the registers constant, the look-ahead
// fetch of a group loads the tile that the next group start loads again, so
// column c shows bit (c + x) mod 8 of tile (c + x) / 8 of the line: each tile
// is fetched once and decoded eight pixels at a time. The dots before the
// first group start of the span follow the fields as they stand, dot by dot.
void PPU::draw_background(int first, int last, uint8_t ctrl, uint8_t mask, const uint8_t* sprite_px,
                          const uint8_t* sprite_value) {
    constexpr int MARGIN = 8;  // the decode buffers start 8 columns left of column 0
    constexpr int SIZE = MARGIN + WIDTH + 32;
    uint8_t colour_index[SIZE];  // each column's pixel (0-3) plus 4 times its palette
    uint8_t bits[SIZE];          // each column's background pixel, 0-3
    uint8_t shown[SIZE];         // and the palette value it shows (the backdrop's when 0)
    const int fine_x = x & 7;
    const bool bg_shown = mask & MASK_BG;
    uint8_t palette_ram[32];
    std::memcpy(palette_ram, memory + 0x3F00, sizeof palette_ram);
    const uint8_t backdrop = palette_ram[0];

    // The pattern row of the line's tiles; fine Y comes from v as it stands.
    const int row_base = ((v >> 12) & 7) | ((ctrl & CTRL_BG_TABLE) ? 0x1000 : 0);

    // Dots before the span's first group start, from the fields as they stand.
    int d = first;
    uint8_t partial_bits[8], partial_shown[8];
    const int partial_first = first - 1;
    if (((d - 1) & 7) != 0) {
        int low = pattern_low, high = pattern_high, palette = background_palette(*this);
        int fine = fine_x_counter;
        for (; d <= last && ((d - 1) & 7) != 0; ++d) {
            const int s = 7 - fine;
            const int b = ((high >> s) & 1) << 1 | ((low >> s) & 1);
            partial_bits[d - first] = static_cast<uint8_t>(b);
            partial_shown[d - first] = bg_shown && b ? palette_ram[b + 4 * palette] : backdrop;
            if (d == 256) v_vert();  // before the look-ahead of dot 256
            if (++fine == 8) {
                fine = 0;
                fetch_tile(*this, coarse_x_step(v), ctrl);
                low = pattern_low;
                high = pattern_high;
                palette = background_palette(*this);
            }
            if ((d & 7) == 0 && d <= 248) v = coarse_x_step(v);
        }
        fine_x_counter = static_cast<uint8_t>(fine);
    }
    const int partial_count = d - first;

    if (d <= last) {
        // Whole groups: tile k of the sequence from v covers columns
        // 8 (g0 + k) - x to 8 (g0 + k) + 7 - x.
        const int g0 = (d - 1) / 8;
        const int last_column = last - 1;
        const int first_column = 8 * g0 - fine_x;
        // The tiles run along v's name-table row from its coarse X, into the
        // horizontally next name table past column 31 (at most once: a span
        // has at most 33 tiles). Each table's row of names and of attributes
        // lies in 32 and 8 consecutive bytes once folded by the arrangement,
        // taken as a base and a mask.
        const uint16_t nt_keep = fold_nametable(0x2FFF, mirroring) & ~fold_nametable(0x2000, mirroring);
        const uint16_t nt_base = fold_nametable(0x2000, mirroring);
        const uint8_t* names[2];
        const uint8_t* attributes[2];
        for (int table = 0; table < 2; ++table) {
            const uint16_t at = static_cast<uint16_t>(v ^ table << 10);
            names[table] = memory + (nt_base | ((0x2000 | (at & 0x0FE0)) & nt_keep));
            attributes[table] = memory + (nt_base | ((0x23C0 | (at & 0x0C00) | ((at >> 4) & 0x38)) & nt_keep));
        }
        const int attribute_row_shift = (v >> 4) & 4;  // coarse Y bit 1 picks the lower half
        int column = first_column;
        for (int n = v & 31; column <= last_column; column += 8, ++n) {
            const int table = n >> 5, coarse_x = n & 31;
            const int addr = row_base | names[table][coarse_x] << 4;
            const int palette = (attributes[table][coarse_x >> 2] >> ((coarse_x & 2) | attribute_row_shift)) & 3;
            const uint64_t index = PLANE[memory[addr]] | PLANE[memory[addr + 8]] << 1 | palette * 0x0404040404040404ull;
            std::memcpy(colour_index + MARGIN + column, &index, 8);
        }
        colour_background(colour_index + MARGIN + first_column, column - first_column, palette_ram, bg_shown,
                          bits + MARGIN + first_column, shown + MARGIN + first_column);
        // The state after the span: v stepped at each group end up to dot
        // 248 (and by v_vert at dot 256), and the fetch fields of the last
        // fetch: the last group's start or, once its counter has passed 7,
        // its look-ahead, which sees v_vert's change when it comes at dot 256.
        const int g_last = (last - 1) / 8;
        const uint16_t v_last = coarse_x_steps(v, g_last - g0);     // at the last group's start
        v = coarse_x_steps(v, (std::min(last, 248) - 8 * g0) / 8);  // one step per group end passed
        const int counted = fine_x + (last - 8 * g_last);
        if (last == 256 && counted == 8) {
            v_vert();  // v is v_last: no step at dot 256
            fetch_tile(*this, coarse_x_step(v), ctrl);
        } else {
            fetch_tile(*this, counted >= 8 ? coarse_x_step(v_last) : v_last, ctrl);
            if (last == 256) v_vert();
        }
        fine_x_counter = static_cast<uint8_t>(counted >= 8 ? counted - 8 : counted);
    }
    std::memcpy(bits + MARGIN + partial_first, partial_bits, partial_count);
    std::memcpy(shown + MARGIN + partial_first, partial_shown, partial_count);

    compose_layers(first, last, mask, bits + MARGIN, shown + MARGIN, sprite_px, sprite_value);
    store_pixels(scanline * WIDTH + first - 1, shown + MARGIN + partial_first, last - first + 1);
}

// The sprite pixels of columns first - 1 to last - 1 laid over the
// background, in place, and the sprite 0 hit: bits and shown hold each
// column's background pixel (0-3) and the palette value it shows, the
// backdrop's when 0; shown is left with the pixels' palette values. Only the
// columns with a sprite pixel or under the left-column mask change.
void PPU::compose_layers(int first, int last, uint8_t mask, const uint8_t* bits, uint8_t* shown,
                         const uint8_t* sprite_px, const uint8_t* sprite_value) {
    const bool bg_shown = mask & MASK_BG;
    const uint8_t backdrop = memory[0x3F00];
    constexpr uint8_t BOTH_LEFT = MASK_BG_LEFT | MASK_SPRITES_LEFT;
    uint8_t& status = *register_ptrs[2];
    const bool hit_possible = line_has_sprite0 && sprite_px && bg_shown && !(status & STATUS_SPRITE0);
    bool hit = false;
    // One column the long way: the left-column masks and the hit's rules.
    auto compose = [&](int c) {
        const int bg = bits[c];
        const uint8_t sp = sprite_px ? sprite_px[c] : 0;
        uint8_t value = backdrop;
        if (hit_possible && (sp & 0x20) && bg && c != 255 && (c >= 8 || (mask & BOTH_LEFT) == BOTH_LEFT)) hit = true;
        if (sp && (!bg || !(sp & 0x10))) {
            if (c >= 8 || (mask & MASK_SPRITES_LEFT)) value = sprite_value[c];
        } else if (bg_shown && bg && (c >= 8 || (mask & MASK_BG_LEFT))) {
            value = shown[c];
        }
        shown[c] = value;
    };
    // Columns 0-7 differ from the others only where a layer is clipped there
    // (without sprites, only a shown background can be).
    const bool left_clipped = sprite_px ? (mask & BOTH_LEFT) != BOTH_LEFT : bg_shown && !(mask & MASK_BG_LEFT);
    int c = first - 1;
    if (left_clipped)
        for (; c < std::min(8, last); ++c) compose(c);
    if (sprite_px) {
#ifdef __SSE2__
        // Sixteen at a time: a sprite pixel in front of the background
        // (opaque, and not behind an opaque one) shows.
        const __m128i zero = _mm_setzero_si128();
        const __m128i behind_bit = _mm_set1_epi8(0x10), zero_bit = _mm_set1_epi8(0x20);
        for (; c + 16 <= last; c += 16) {
            const __m128i sp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sprite_px + c));
            const __m128i none = _mm_cmpeq_epi8(sp, zero);
            if (_mm_movemask_epi8(none) == 0xFFFF) continue;
            const __m128i bg_clear = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bits + c)), zero);
            const __m128i in_front = _mm_cmpeq_epi8(_mm_and_si128(sp, behind_bit), zero);
            const __m128i front = _mm_andnot_si128(none, _mm_or_si128(bg_clear, in_front));
            uint8_t* o = shown + c;
            const __m128i bg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o));
            const __m128i fg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sprite_value + c));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                             _mm_or_si128(_mm_and_si128(front, fg), _mm_andnot_si128(front, bg)));
            if (hit_possible) {
                // Sprite 0 over an opaque background pixel, never in column 255.
                const __m128i over = _mm_andnot_si128(
                    bg_clear,
                    _mm_xor_si128(_mm_cmpeq_epi8(_mm_and_si128(sp, zero_bit), zero), _mm_cmpeq_epi8(zero, zero)));
                if (_mm_movemask_epi8(over) & (c + 15 == 255 ? 0x7FFF : 0xFFFF)) hit = true;
            }
        }
#endif
        for (; c < last; ++c) compose(c);
    } else {
        // Without sprites the background from column 8 on stays as it is.
        c = last;
    }
    if (hit) status |= STATUS_SPRITE0;
}

// ---- Hardware model ----
//
// The dot-by-dot PPU as the console runs it: on each rendering line
// (0-239 and the pre-render line 261, with either layer on) the background
// is fetched in groups of eight dots (name table, attribute, pattern low,
// pattern high, two dots each) into shift registers, the first two tiles of a
// line on the line before (dots 321-336); secondary OAM is cleared on dots
// 1-64 and filled by the evaluation on dots 65-256 (reads on odd dots, writes
// on even ones); the eight sprite units fetch their patterns on dots 257-320.
// Every address the fetches put on the bus reaches the board as A12's level.

namespace {

constexpr int SPRITE_FETCH_END = 320;  // last dot of the sprite fetches
constexpr int PREFETCH_END = 336;      // last dot of the next line's first two tiles

// The attribute byte's address for the tile under a VRAM address.
inline uint16_t attribute_address(uint16_t vram) {
    return static_cast<uint16_t>(0x23C0 | (vram & 0x0C00) | ((vram >> 4) & 0x38) | ((vram >> 2) & 0x07));
}

// A 1 in each of the 8 low bits when bit is set.
inline uint16_t spread(int bit) { return bit ? 0xFF : 0x00; }

}  // namespace

void PPU::drive_address(uint16_t address) {
    if (!hears_a12) return;
    const bool high = address & 0x1000;
    if (high == a12_high) return;
    a12_high = high;
    if (!high)
        a12_fell_at = cycles;
    else if (cycles - a12_fell_at >= a12_low_dots)
        mapper->a12_rose(mapper_context, cycles, a12_fell_at);
}

uint8_t PPU::fetch_byte(uint16_t address, PpuFetch kind, bool told) {
    const uint8_t byte = address >= 0x2000 ? memory[fold_nametable(address, mirroring)] : memory[address];
    return told ? mapper->fetched(mapper_context, address, kind, byte) : byte;
}

uint8_t PPU::fetch_sprite_byte(uint16_t address, PpuFetch kind) {
    const uint8_t byte = sprite_pattern_memory()[address];
    return hears_fetches ? mapper->fetched(mapper_context, address, kind, byte) : byte;
}

uint16_t PPU::background_pattern_address(uint8_t ctrl) const {
    return static_cast<uint16_t>(((ctrl & CTRL_BG_TABLE) ? 0x1000 : 0) | fetch_name << 4 | ((v >> 12) & 7));
}

// The pattern address of sprite slot i's row on the next line (the line
// after this one); an empty slot fetches tile $FF.
uint16_t PPU::sprite_pattern_address(int i, uint8_t ctrl) const {
    const bool tall = ctrl & CTRL_TALL_SPRITES;
    const bool listed = i < next_sprite_count;
    const int tile = listed ? secondary_oam[4 * i + 1] : 0xFF;
    int row = listed ? (scanline - secondary_oam[4 * i]) & 15 : 0;
    if (listed && (secondary_oam[4 * i + 2] & 0x80)) row = (tall ? 15 : 7) - row;
    if (!tall) return static_cast<uint16_t>(((ctrl & CTRL_SPRITE_TABLE) ? 0x1000 : 0) | tile << 4 | (row & 7));
    return static_cast<uint16_t>((tile & 1) << 12 | ((tile & 0xFE) + (row >> 3)) << 4 | (row & 7));
}

void PPU::shift_background() {
    bg_shift_low <<= 1;
    bg_shift_high <<= 1;
    attr_shift_low <<= 1;
    attr_shift_high <<= 1;
}

void PPU::reload_background() {
    bg_shift_low = static_cast<uint16_t>((bg_shift_low & 0xFF00) | fetch_low);
    bg_shift_high = static_cast<uint16_t>((bg_shift_high & 0xFF00) | fetch_high);
    attr_shift_low = static_cast<uint16_t>((attr_shift_low & 0xFF00) | spread(fetch_attr & 1));
    attr_shift_high = static_cast<uint16_t>((attr_shift_high & 0xFF00) | spread(fetch_attr & 2));
}

// One dot of a background fetch group (dots 1-256 and 321-336).
void PPU::background_fetch_dot(uint8_t ctrl) {
    switch ((dot - 1) & 7) {
        case 0:
            drive_address(0x2000);
            break;
        case 1:
            fetch_name = fetch_byte(0x2000 | (v & 0x0FFF), PpuFetch::name_table);
            break;
        case 3: {
            const uint8_t byte = fetch_byte(attribute_address(v), PpuFetch::attribute);
            fetch_attr = (byte >> ((v & 2) | ((v >> 4) & 4))) & 3;
            break;
        }
        case 4:
            drive_address(background_pattern_address(ctrl));
            break;
        case 5:
            fetch_low = fetch_byte(background_pattern_address(ctrl), PpuFetch::background_low);
            break;
        case 7:
            fetch_high = fetch_byte(background_pattern_address(ctrl) | 8, PpuFetch::background_high);
            v = coarse_x_step(v);
            break;
        default:  // the attribute's and the high plane's address dots: A12 as it was
            break;
    }
}

// One dot of the sprite fetches (dots 257-320): slot (dot - 257) / 8 reads
// its four bytes of secondary OAM and fetches its pattern row.
void PPU::sprite_fetch_dot(uint8_t ctrl) {
    const int i = (dot - 257) >> 3;
    const int phase = (dot - 257) & 7;
    oam_bus = secondary_oam[4 * i + std::min(phase, 3)];
    switch (phase) {
        case 0:
            drive_address(0x2000);  // the name-table fetch whose byte is not used
            break;
        case 4:
            drive_address(sprite_pattern_address(i, ctrl));
            break;
        case 5: {
            // An empty slot's fetch reaches the bus; its pattern stays clear.
            const uint8_t low = fetch_sprite_byte(sprite_pattern_address(i, ctrl), PpuFetch::sprite_low);
            sprite_patterns[i] = i < next_sprite_count ? low : 0;
            break;
        }
        case 7: {
            const uint8_t high = fetch_sprite_byte(sprite_pattern_address(i, ctrl) | 8, PpuFetch::sprite_high);
            if (i < next_sprite_count) sprite_patterns[i] = static_cast<uint16_t>(sprite_patterns[i] | high << 8);
            break;
        }
        default:
            break;
    }
}

// One even dot of the evaluation (66-256): the byte read on the dot before
// is written to secondary OAM, or checked while secondary OAM is full.
void PPU::evaluation_write_dot(uint8_t ctrl) {
    if (eval_done || overflow_found) {
        eval_index = static_cast<uint8_t>(eval_index + 4);  // copies that fail, entry after entry
        return;
    }
    const int height = (ctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    const bool in_range = static_cast<unsigned>(scanline - oam_bus) < static_cast<unsigned>(height);
    auto next_entry = [&] {
        eval_index = static_cast<uint8_t>(eval_index + 4);
        if (eval_index == 0) eval_done = true;
    };
    if (next_sprite_count < 8) {
        secondary_oam[4 * next_sprite_count + overflow_byte] = oam_bus;
        if (overflow_byte == 0) {
            if (!in_range) return next_entry();
            if (eval_index == 0) next_has_sprite0 = true;  // the first entry evaluated
            overflow_byte = 1;
        } else if (++overflow_byte == 4) {
            overflow_byte = 0;
            ++next_sprite_count;
            next_entry();
        }
        return;
    }
    // Secondary OAM full: byte m of each entry is taken for a Y, and a miss
    // steps m along with the entry.
    if (in_range) {
        *register_ptrs[2] |= STATUS_OVERFLOW;
        overflow_found = true;
        return;
    }
    overflow_byte = (overflow_byte + 1) & 3;
    next_entry();
}

void PPU::start_line_sprites() {
    line_sprite_count = static_cast<int8_t>(next_sprite_count);
    for (int i = 0; i < 8; ++i) {
        sprite_x_counter[i] = secondary_oam[4 * i + 3];
        sprite_shift[i] = 7;
    }
    std::memcpy(line_sprites, secondary_oam, sizeof line_sprites);
    sprite_active = 0;
    line_has_sprite0 = next_has_sprite0;
}

// Dot d (1-256) of the sprite memory: secondary OAM cleared on dots 1-64,
// the evaluation for the next line on dots 65-256 of the visible lines.
void PPU::sprite_memory_dot(int d, uint8_t ctrl, bool visible) {
    if (d <= 64) {
        if (d == 1) {
            eval_index = 0;
            overflow_byte = 0;
            eval_done = overflow_found = false;
            next_sprite_count = 0;
            next_has_sprite0 = false;
        }
        if ((d & 1) == 0) secondary_oam[d / 2 - 1] = 0xFF;
        oam_bus = 0xFF;
    } else if (visible) {
        if (d & 1)
            oam_bus = oam[static_cast<uint8_t>(eval_index + (eval_done ? 0 : overflow_byte))];
        else
            evaluation_write_dot(ctrl);
    }
}

// The palette value of column dot - 1 from the shift registers and the
// sprite units; sets the sprite 0 hit.
uint8_t PPU::hardware_pixel(uint8_t mask) {
    const int column = dot - 1;
    const int bit = 15 - x;
    int bg = 0, bg_palette = 0;
    if ((mask & MASK_BG) && (column >= 8 || (mask & MASK_BG_LEFT))) {
        bg = ((bg_shift_high >> bit) & 1) << 1 | ((bg_shift_low >> bit) & 1);
        bg_palette = ((attr_shift_high >> bit) & 1) << 1 | ((attr_shift_low >> bit) & 1);
    }
    int spr = 0, index = -1;
    if ((mask & MASK_SPRITES) && sprite_active && (column >= 8 || (mask & MASK_SPRITES_LEFT))) {
        for (int i = 0; i < line_sprite_count; ++i) {
            if (!(sprite_active & (1u << i))) continue;
            if (const int p = sprite_pixel(sprite_patterns[i], line_sprites[4 * i + 2], sprite_shift[i])) {
                spr = p;
                index = i;
                break;
            }
        }
    }
    uint16_t colour = 0x3F00;
    if (spr) {
        const uint8_t attr = line_sprites[4 * index + 2];
        if (index == 0 && line_has_sprite0 && bg && column != 255) *register_ptrs[2] |= STATUS_SPRITE0;
        colour = bg && (attr & 0x20) ? static_cast<uint16_t>(0x3F00 + bg + 4 * bg_palette)
                                     : static_cast<uint16_t>(0x3F10 + spr + 4 * (attr & 3));
    } else if (bg) {
        colour = static_cast<uint16_t>(0x3F00 + bg + 4 * bg_palette);
    }
    return memory[colour];
}

// The dots of a rendering line with either layer on.
void PPU::rendering_dot(uint8_t ctrl, uint8_t mask) {
    const bool visible = scanline < 240;
    const int d = dot;
    if (d == 0) return;  // idle
    if (d <= 256) {
        if (d >= 2) shift_background();
        if ((d & 7) == 1 && d >= 9) reload_background();
        background_fetch_dot(ctrl);
        sprite_memory_dot(d, ctrl, visible);
        if (d == 256) v_vert();
        if (visible) {
            sprite_countdown_dot();
            put_pixel(*this, scanline * WIDTH + d - 1, palette_output(hardware_pixel(mask), mask));
        }
    } else if (d <= SPRITE_FETCH_END) {
        if (d == 257) {
            shift_background();
            reload_background();
            v = (v & 0xFBE0) | (t & 0x041F);
            start_line_sprites();
        }
        oam_addr = 0;
        sprite_fetch_dot(ctrl);
    } else if (d <= PREFETCH_END) {
        if (d >= 322) shift_background();
        if (d == 329) reload_background();
        background_fetch_dot(ctrl);
        oam_bus = secondary_oam[0];
    } else if (d == 337) {
        shift_background();
        reload_background();
        drive_address(0x2000);
    } else if (d == 338 || d == 340) {
        fetch_name = fetch_byte(0x2000 | (v & 0x0FFF), PpuFetch::name_table);
    } else if (d == 339) {
        drive_address(0x2000);
    }
    if (scanline == LAST_LINE && d >= 280 && d <= 304) v = (v & 0x841F) | (t & 0x7BE0);
}

// Greyscale keeps the grey column of the system palette.
inline uint8_t PPU::palette_output(uint8_t value, uint8_t mask) { return (mask & 1) ? value & 0x30 : value; }

template <>
void PPU::cycle<Accuracy::hardware>() {
    const uint8_t ctrl = *register_ptrs[0];
    const uint8_t mask = *register_ptrs[1];
    uint8_t& status = *register_ptrs[2];
    const bool rendered_last_dot = rendering;
    rendering = (mask & (MASK_BG | MASK_SPRITES)) != 0;
    if (dot == 1) {
        if (scanline == VBLANK_LINE) {
            in_vblank = true;
            if (!suppress_nmi) nmi_occurred = true;
            if (!suppress_vblank) status |= STATUS_VBLANK;
        } else if (scanline == LAST_LINE) {
            suppress_vblank = suppress_nmi = nmi_occurred = in_vblank = false;
            status &= 0x1F;  // vblank, sprite 0 hit and overflow together
        }
    }
    if (rendering && (scanline < 240 || scanline == LAST_LINE)) {
        rendering_dot(ctrl, mask);
    } else if (scanline < 240 && dot >= 1 && dot <= 256) {
        // Rendering off: the backdrop, or the palette entry v points at.
        const uint8_t value = (v & 0x3F00) == 0x3F00 ? read(static_cast<short>(v & 0x3FFF)) : memory[0x3F00];
        put_pixel(*this, scanline * WIDTH + dot - 1, palette_output(value, mask));
    }
    ++cycles;
    // While rendering, the pre-render line of an odd frame is a dot shorter:
    // dot 340 is skipped when rendering was on at dot 338 (at dot 339 it no
    // longer matters).
    if (++dot == DOTS_PER_LINE || (dot == 340 && scanline == LAST_LINE && odd_frame && rendered_last_dot)) {
        if (scanline == LAST_LINE) odd_frame = !odd_frame;
        next_line();
        post_render = scanline >= 240;
    }
    if (dot_clocked) mapper->clock(mapper_context);
}

template <>
int64_t PPU::frame_end<Accuracy::hardware>() const {
    const bool late = scanline == LAST_LINE && dot >= 339;
    const bool skips = odd_frame && (late ? dot == 339 && rendering : (*register_ptrs[1] & (MASK_BG | MASK_SPRITES)));
    return cycles + dots_until(0, 0) - (skips ? 1 : 0);
}

// The dots until the k-th rise of A12 that passes the board's filter has
// run, the registers staying as they are, or until an earlier moment at
// which the CPU must look again. With 8x16 sprites each slot's tile picks
// the table, and the tiles of a line are known only once its evaluation
// has ended (dot 256): slots that alternate between the tables give up to
// four counted rises where slots taken all at $1000 give one, so a guess
// could name a rise too late and the request would come after the CPU's
// poll. The walk stops instead at dot 257 of such a line (the pre-render
// line's dot 1 empties the slots: tile $FF, at $1000).
int64_t PPU::a12_rise_dots(int64_t k) const {
    const uint8_t ctrl = *register_ptrs[0];
    if (!(*register_ptrs[1] & (MASK_BG | MASK_SPRITES))) return std::numeric_limits<int64_t>::max();
    const bool bg_high = ctrl & CTRL_BG_TABLE;
    const bool tall = ctrl & CTRL_TALL_SPRITES;
    bool level = a12_high, odd = odd_frame;
    int64_t fell = a12_fell_at, at = cycles;
    // A12 over a rendering line from dot d, counting the rises that pass;
    // returns the dot count of the k-th, or -1.
    auto walk = [&](int d, bool known_slots, bool empty_slots) -> int64_t {
        for (int p = d <= 1 ? 1 : 1 + (d + 2) / 4 * 4; p <= 337; p += 4) {
            if (p == 257 && tall && !known_slots && !empty_slots) return at + (256 - d);
            bool high = false;
            if (p < 257 || (p >= 321 && p < 337)) {
                high = ((p - 1) & 4) && bg_high;
            } else if (p < 321 && ((p - 257) & 4)) {
                high = !tall         ? (ctrl & CTRL_SPRITE_TABLE) != 0
                       : known_slots ? (sprite_pattern_address((p - 257) >> 3, ctrl) & 0x1000) != 0
                                     : true;
            }
            if (high == level) continue;
            level = high;
            const int64_t when = at + (p - d);
            if (!high)
                fell = when;
            else if (when - fell >= a12_low_dots && --k == 0)
                return when;
        }
        return -1;
    };
    // Whole lines from the same A12 state see the same rises: the last whole
    // line's start state, its count of rises and its end state.
    struct {
        bool valid = false, level = false, end_level = false;
        int64_t low = 0, end_low = 0;
        int64_t rises = 0;
    } seen;
    auto low_for = [&](int64_t when) { return std::min<int64_t>(when - fell, a12_low_dots); };
    int line = scanline, d = dot;
    for (int lines = 0; lines < 2 * (LAST_LINE + 1); ++lines) {
        int line_dots = DOTS_PER_LINE - d;
        if (line == LAST_LINE && odd) --line_dots;
        if (line < 240 || line == LAST_LINE) {
            if (d == 0 && lines > 0 && seen.valid && seen.level == level && seen.low == low_for(at) && k > seen.rises) {
                k -= seen.rises;
                level = seen.end_level;
                fell = at + line_dots - seen.end_low;
            } else {
                const bool start_level = level;
                const int64_t start_low = low_for(at);
                const int64_t k_before = k;
                // The count once the rise's dot has run.
                const bool empty_slots = line == LAST_LINE && (lines > 0 || dot <= 1);
                if (const int64_t when = walk(d, lines == 0 && dot > 256, empty_slots); when >= 0)
                    return when + 1 - cycles;
                if (d == 0) {
                    seen.valid = true;
                    seen.level = start_level, seen.low = start_low;
                    seen.end_level = level, seen.end_low = low_for(at + line_dots);
                    seen.rises = k_before - k;
                }
            }
        }
        if (line == LAST_LINE) odd = !odd;
        at += line_dots;
        d = 0;
        line = line == LAST_LINE ? 0 : line + 1;
    }
    return std::numeric_limits<int64_t>::max();
}

template <>
int64_t PPU::next_event<Accuracy::hardware>() const {
    const int64_t frame_dots = frame_end<Accuracy::hardware>() - cycles;
    int64_t dots = std::min({dots_until(VBLANK_LINE, 2), dots_until(LAST_LINE, 2), frame_dots});
    // Past the frame's end a skipped dot may bring an event one dot closer.
    if (dots > frame_dots) --dots;
    if (hears_a12) {
        if (const int64_t k = mapper->clocks_to_request(); k > 0) dots = std::min(dots, a12_rise_dots(k));
    } else if (mapper) {
        const int64_t board = mapper_event_dots();
        dots = std::min(dots, board > frame_dots ? board - 1 : board);
    }
    return cycles + dots;
}

// Dots first..last (within 1-256) of the sprite memory at once: runs of
// entries that the evaluation finds off the next line pass two dots each
// in one step, and so do the entries after the last one it looks at.
void PPU::sprite_memory_span(int first, int last, uint8_t ctrl, bool visible) {
    const int height = (ctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    uint64_t on_line = 0, with_y = 0;
    bool masks = false;
    for (int d = first; d <= last;) {
        const int pairs = (last - d + 1) / 2;  // odd-even dot pairs left
        if (visible && d > 64 && (d & 1) && pairs > 0) {
            if (eval_done || overflow_found) {
                // Each pair reads the entry's Y and steps on.
                oam_bus = oam[static_cast<uint8_t>(eval_index + 4 * (pairs - 1))];
                eval_index = static_cast<uint8_t>(eval_index + 4 * pairs);
                d += 2 * pairs;
                continue;
            }
            if (overflow_byte == 0 && next_sprite_count < 8 && scanline < 239) {
                if (!masks) {
                    entry_masks(scanline + 1, height, on_line, with_y);
                    masks = true;
                }
                const int e = eval_index / 4;
                const int ahead = std::min(64 - e, pairs);
                const uint64_t hits = (on_line >> e) & low_bits(ahead);
                if (const int skip = hits ? std::countr_zero(hits) : ahead; skip > 0) {
                    // Each writes its Y into the slot being filled.
                    oam_bus = secondary_oam[4 * next_sprite_count] = oam[4 * (e + skip - 1)];
                    eval_index = static_cast<uint8_t>(eval_index + 4 * skip);
                    if (eval_index == 0) eval_done = true;
                    d += 2 * skip;
                    continue;
                }
            }
        }
        sprite_memory_dot(d, ctrl, visible);
        ++d;
    }
}

// Whole fetch groups of a rendering line at once (of dots 1-256, or the
// next line's first two tiles at 321-336), the registers constant. From
// the first group's first dot on, with the shift registers S as that dot
// leaves them, the line shows the pixel sequence S (16 pixels) followed by
// the tiles the groups fetch, 8 pixels each, from pixel x on: column
// first - 1 + i shows pixel i + x.
void PPU::rendering_span(int groups) {
    const uint8_t ctrl = *register_ptrs[0];
    const uint8_t mask = *register_ptrs[1];
    const int first = dot, last = dot + 8 * groups - 1;
    const bool drawing = first <= 256;
    const bool visible = scanline < 240 && drawing;
    const int64_t start = cycles;
    rendering = true;

    // A line's first group (dot 1 or 321) neither shifts nor reloads.
    if (first != 1 && first != 321) {
        shift_background();
        reload_background();
    }
    // Blocks of 8 pixels: pattern low and high, palette bits low and high.
    struct Block {
        uint8_t low, high, attr_low, attr_high;
    };
    Block blocks[2 + 32];
    blocks[0] = {static_cast<uint8_t>(bg_shift_low >> 8), static_cast<uint8_t>(bg_shift_high >> 8),
                 static_cast<uint8_t>(attr_shift_low >> 8), static_cast<uint8_t>(attr_shift_high >> 8)};
    blocks[1] = {static_cast<uint8_t>(bg_shift_low), static_cast<uint8_t>(bg_shift_high),
                 static_cast<uint8_t>(attr_shift_low), static_cast<uint8_t>(attr_shift_high)};
    const uint16_t table = (ctrl & CTRL_BG_TABLE) ? 0x1000 : 0;
    // A board that hears fetches is told them in order where the row holds
    // a tile it acts on (a latch switched by one tile's fetch picks the
    // bytes of the next).
    const bool told = hears_fetches && row_fetches_matter();
    for (int k = 0; k < groups; ++k) {
        cycles = start + 8 * k;
        drive_address(0x2000);
        fetch_name = fetch_byte(0x2000 | (v & 0x0FFF), PpuFetch::name_table, told);
        const uint8_t attr_byte = fetch_byte(attribute_address(v), PpuFetch::attribute, told);
        fetch_attr = (attr_byte >> ((v & 2) | ((v >> 4) & 4))) & 3;
        const uint16_t pattern = background_pattern_address(ctrl);
        cycles += 4;
        drive_address(table);
        fetch_low = fetch_byte(pattern, PpuFetch::background_low, told);
        fetch_high = fetch_byte(pattern | 8, PpuFetch::background_high, told);
        blocks[2 + k] = {fetch_low, fetch_high, static_cast<uint8_t>(spread(fetch_attr & 1)),
                         static_cast<uint8_t>(spread(fetch_attr & 2))};
        v = coarse_x_step(v);
    }
    if (last == 256) v_vert();
    // The shift registers after the last group: its start's reload, then 7 shifts.
    const Block& a = blocks[groups - 1];
    const Block& b = blocks[groups];
    bg_shift_low = static_cast<uint16_t>((a.low << 8 | b.low) << 7);
    bg_shift_high = static_cast<uint16_t>((a.high << 8 | b.high) << 7);
    attr_shift_low = static_cast<uint16_t>((a.attr_low << 8 | b.attr_low) << 7);
    attr_shift_high = static_cast<uint16_t>((a.attr_high << 8 | b.attr_high) << 7);

    if (drawing) sprite_memory_span(first, last, ctrl, scanline < 240);

    if (visible) {
        const int count = last - first + 1;
        uint8_t sprite_px[WIDTH + 16];
        uint8_t sprite_value[WIDTH + 16];
        const bool drawn =
            overlay_sprites(first, last, mask & MASK_SPRITES, sprite_patterns, ctrl, sprite_px, sprite_value);
        if (drawn && first == 1 && !(mask & MASK_SPRITES_LEFT)) std::memset(sprite_px, 0, 8);  // clipped
        // Each pixel of the sequence and its palette value; hidden or
        // clipped background pixels are transparent.
        uint8_t colour_index[8 * 34], bits[8 * 34], shown[8 * 34];  // room for 33 blocks rounded up to 16
        uint8_t palette_ram[32];
        std::memcpy(palette_ram, memory + 0x3F00, sizeof palette_ram);
        const bool bg_shown = mask & MASK_BG;
        for (int k = 0; k <= groups; ++k) {
            const Block& t = blocks[k];
            const uint64_t pixels = bg_shown ? PLANE[t.low] | PLANE[t.high] << 1 : 0;
            const uint64_t palettes = PLANE[t.attr_low] | PLANE[t.attr_high] << 1;
            const uint64_t index = pixels | palettes << 2;
            std::memcpy(colour_index + 8 * k, &index, 8);
        }
        colour_background(colour_index, 8 * (groups + 1), palette_ram, bg_shown, bits, shown);
        // Column c's pixel is sequence pixel c - (first - 1) + x.
        const int offset = x - (first - 1);
        if (first == 1 && !(mask & MASK_BG_LEFT)) {
            std::memset(bits + offset, 0, 8);
            std::memset(shown + offset, palette_ram[0], 8);
        }
        compose_layers(first, last, mask, bits + offset, shown + offset, drawn ? sprite_px : nullptr, sprite_value);
        uint8_t* out = shown + offset + first - 1;
        if (mask & 1)
            for (int i = 0; i < count; ++i) out[i] &= 0x30;
        store_pixels(scanline * WIDTH + first - 1, out, count);
    }
    if (!drawing) oam_bus = secondary_oam[0];
    finish_span(start, first, last);
}

// Dots dot..last (within 257-320) of the sprite fetches at once, the
// registers constant: slot (d - 257) / 8 drives the name-table address at
// its first dot and its pattern row's at its fifth, and fetches the row's
// planes at its sixth and eighth.
void PPU::sprite_fetch_span(int last) {
    const uint8_t ctrl = *register_ptrs[0];
    const int64_t start = cycles;
    const int first = dot;
    rendering = true;
    if (first == 257) {
        shift_background();
        reload_background();
        v = (v & 0xFBE0) | (t & 0x041F);
        start_line_sprites();
    }
    if (scanline == LAST_LINE && first <= 304 && last >= 280) v = (v & 0x841F) | (t & 0x7BE0);
    oam_addr = 0;
    for (int i = (first - 257) >> 3; i <= (last - 257) >> 3; ++i) {
        const int slot_dot = 257 + 8 * i;
        auto at = [&](int phase) { return slot_dot + phase >= first && slot_dot + phase <= last; };
        const uint16_t address = sprite_pattern_address(i, ctrl);
        if (at(0)) {
            cycles = start + (slot_dot - first);
            drive_address(0x2000);  // the name-table fetch whose byte is not used
        }
        if (at(4)) {
            cycles = start + (slot_dot + 4 - first);
            drive_address(address);
        }
        // An empty slot's fetch reaches the bus (and the board); its pattern stays clear.
        if (at(5)) {
            const uint8_t low = fetch_sprite_byte(address, PpuFetch::sprite_low);
            sprite_patterns[i] = i < next_sprite_count ? low : 0;
        }
        if (at(7)) {
            const uint8_t high = fetch_sprite_byte(address | 8, PpuFetch::sprite_high);
            if (i < next_sprite_count) sprite_patterns[i] = static_cast<uint16_t>(sprite_patterns[i] | high << 8);
        }
    }
    oam_bus = secondary_oam[4 * ((last - 257) >> 3) + std::min((last - 257) & 7, 3)];
    finish_span(start, first, last);
}

// The end of a span of dots first..last that began at dot count start:
// the counters, and the board's dot clock.
void PPU::finish_span(int64_t start, int first, int last) {
    cycles = start + (last - first + 1);
    if (dot_clocked) {
        if (mapper->dot_clock() == Mapper::DotClock::every_dot) {
            dot = last + 1;
            mapper->clock_dots(mapper_context, last - first + 1);
        } else if (first <= 255 && last >= 255) {
            dot = 256;
            mapper->clock(mapper_context);
        }
    }
    dot = last + 1;
}

// Dots that only count (no fetch, no flag), drawing the backdrop, or the
// palette entry v points at, on a visible line.
void PPU::hardware_quiet(int dots) {
    const uint8_t mask = *register_ptrs[1];
    rendering = (mask & (MASK_BG | MASK_SPRITES)) != 0;  // as the dot step leaves it
    if (scanline < 240 && dot <= 256) {
        const int from = std::max(dot, 1), to = std::min(dot + dots - 1, 256);
        if (from <= to) {
            uint8_t value = (v & 0x3F00) == 0x3F00 ? read(static_cast<short>(v & 0x3FFF)) : memory[0x3F00];
            value = palette_output(value, mask);
            uint8_t out[WIDTH];
            std::memset(out, value, to - from + 1);
            store_pixels(scanline * WIDTH + from - 1, out, to - from + 1);
        }
    }
    const bool wraps = scanline == LAST_LINE && dot + dots == DOTS_PER_LINE;
    quiet_span(dots);
    if (wraps) odd_frame = !odd_frame;
    post_render = scanline >= 240;
}

template <>
void PPU::run_until<Accuracy::hardware>(int64_t target) {
    while (cycles < target) {
        const int64_t left = target - cycles;
        if (scanline < 0 || scanline > LAST_LINE || dot < 0 || dot >= DOTS_PER_LINE) {
            cycle<Accuracy::hardware>();  // a position the counters never reach by themselves
            continue;
        }
        const bool on = *register_ptrs[1] & (MASK_BG | MASK_SPRITES);
        if (on && (scanline < 240 || scanline == LAST_LINE)) {
            // The pre-render line's dot 1 clears the flags: through the dot step.
            const bool group_start = ((dot - 1) & 7) == 0 && (dot > 1 || scanline != LAST_LINE);
            // A board that acts on every fetch's dot hears them dot by dot.
            if (hears_fetches && static_cast<uint8_t>(fetched_last - fetched_first) == 0xFF) {
                cycle<Accuracy::hardware>();
            } else if (group_start && left >= 8 && dot <= 256) {
                rendering_span(static_cast<int>(std::min<int64_t>((257 - dot) / 8, left / 8)));
            } else if (group_start && left >= 8 && dot >= 321 && dot <= PREFETCH_END) {
                rendering_span(static_cast<int>(std::min<int64_t>((PREFETCH_END + 1 - dot) / 8, left / 8)));
            } else if (dot >= 257 && dot <= SPRITE_FETCH_END) {
                sprite_fetch_span(static_cast<int>(std::min<int64_t>(SPRITE_FETCH_END, dot + left - 1)));
            } else {
                cycle<Accuracy::hardware>();
            }
            continue;
        }
        // Not fetching: the flags at dot 1 of lines 241 and 261, and the
        // board's clock after dot 255, go through the dot step.
        int next = DOTS_PER_LINE;
        auto work_at = [&](int d) {
            if (d >= dot && d < next) next = d;
        };
        if (scanline == VBLANK_LINE || scanline == LAST_LINE) work_at(1);
        if (scanline == LAST_LINE && odd_frame) work_at(339);  // whether dot 340 is skipped
        if (dot_clocked && mapper->dot_clock() == Mapper::DotClock::after_dot_255) work_at(255);
        if (next == dot)
            cycle<Accuracy::hardware>();
        else
            hardware_quiet(static_cast<int>(std::min<int64_t>(next - dot, left)));
    }
}

// The background pixel (0-3) that column shows later on this line, at a
// group's first dot, the registers as they stand: the shift registers as
// this dot leaves them, then the tiles from v on (see rendering_span).
int PPU::hardware_background_pixel(int column, uint8_t ctrl) const {
    const int i = column - (dot - 1) + x;
    int low, high, bit;
    if (i < 16) {
        low = bg_shift_low, high = bg_shift_high;
        if (dot != 1 && dot != 321) {
            low = (low << 1 & 0xFF00) | fetch_low;
            high = (high << 1 & 0xFF00) | fetch_high;
        }
        bit = 15 - i;
    } else {
        const uint16_t at = coarse_x_steps(v, (i - 16) / 8);
        const uint8_t name = memory[fold_nametable(0x2000 | (at & 0x0FFF), mirroring)];
        const int address = ((ctrl & CTRL_BG_TABLE) ? 0x1000 : 0) | name << 4 | ((v >> 12) & 7);
        low = memory[address];
        high = memory[address | 8];
        bit = 7 - (i - 16) % 8;
    }
    return ((high >> bit) & 1) << 1 | ((low >> bit) & 1);
}

// The hardware model's flags for the rest of a drawing line from a group's
// first dot: the sprite 0 hit from sprite 0's unit and the background to
// come, the overflow from the evaluation run on copies of its state.
void PPU::predict_hardware_line() {
    constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();
    predicted_at = cycles;
    predicted_hit = predicted_overflow = NEVER;
    const uint8_t ctrl = *register_ptrs[0];
    const uint8_t mask = *register_ptrs[1];
    uint8_t& status = *register_ptrs[2];
    const int first = dot;
    auto at_dot = [&](int d) { return cycles + (d - first) + 1; };
    const bool sprites_left = mask & MASK_SPRITES_LEFT, bg_left = mask & MASK_BG_LEFT;
    if (hit_possible(mask)) {
        if (const int d = sprite0_hit_dot(sprite_patterns[0], mask, [&](int column) {
                return (column >= 8 || (sprites_left && bg_left)) && hardware_background_pixel(column, ctrl) != 0;
            }))
            predicted_hit = at_dot(d);
    }
    if (!(status & STATUS_OVERFLOW)) {
        const uint8_t saved_status = status, saved_index = eval_index, saved_byte = overflow_byte,
                      saved_count = next_sprite_count, saved_bus = oam_bus;
        const bool saved_done = eval_done, saved_found = overflow_found, saved_zero = next_has_sprite0;
        uint8_t saved_secondary[32];
        std::memcpy(saved_secondary, secondary_oam, sizeof saved_secondary);
        for (int d = first; d <= 256; ++d) {
            sprite_memory_dot(d, ctrl, true);
            if (status & STATUS_OVERFLOW) {
                predicted_overflow = at_dot(d);
                break;
            }
        }
        status = saved_status, eval_index = saved_index, overflow_byte = saved_byte;
        next_sprite_count = saved_count, oam_bus = saved_bus;
        eval_done = saved_done, overflow_found = saved_found, next_has_sprite0 = saved_zero;
        std::memcpy(secondary_oam, saved_secondary, sizeof saved_secondary);
    }
}

template <>
uint8_t PPU::status_at<Accuracy::hardware>(int64_t target) {
    if (target > cycles && (*register_ptrs[1] & (MASK_BG | MASK_SPRITES))) {
        // Where the target lies: dots up to target_dot - 1 of its line drawn.
        const int64_t position = int64_t{scanline} * DOTS_PER_LINE + dot + (target - cycles);
        const int target_line = static_cast<int>(position / DOTS_PER_LINE);
        const int target_dot = static_cast<int>(position % DOTS_PER_LINE);
        if (target_line < 240 && target_dot >= 1 && target_dot <= 257 && !hears_fetches) {
            // Earlier lines, and the dots to a group's start, are run for
            // real; within the target's line the flags are predicted.
            const int64_t line_start = target - (target_dot - 1);
            if (cycles < line_start) run_until<Accuracy::hardware>(line_start);
            const int64_t group_start = cycles + ((9 - dot) & 7);
            if (group_start < target && dot <= 256) {
                run_until<Accuracy::hardware>(group_start);
                if (predicted_at != cycles) predict_hardware_line();
                uint8_t status = *register_ptrs[2];
                if (predicted_hit <= target) status |= STATUS_SPRITE0;
                if (predicted_overflow <= target) status |= STATUS_OVERFLOW;
                return status;
            }
        } else if (target_line < 240 && target_dot > 257) {
            // Past dot 256 the line sets no flag: drawn to there, in spans.
            run_until<Accuracy::hardware>(target - (target_dot - 257));
            return *register_ptrs[2];
        }
    }
    run_until<Accuracy::hardware>(target);
    return *register_ptrs[2];
}

// ---- Snapshot ----

// The PPU part of a snapshot. Snapshots are taken with every unit caught up
// to the CPU: the PPU at three dots per CPU cycle.
void PPU::state_fields(StateIO& io, int64_t cpu_cycles) {
    io.begin_section("PPU ");
    io.require(io.num(cycles, "ppu.cycles", 0, 3 * snapshot::MAX_CPU_CYCLES) == 3 * cpu_cycles,
               "ppu.cycles is not three times cpu.cycles (the units are not in step)");
    io.num(frames, "ppu.frames", 0, snapshot::MAX_COUNT);
    const int line = io.num(scanline, "ppu.scanline", 0, 261);
    io.num(dot, "ppu.dot", 0, 340);
    io.num(mirroring, "ppu.mirroring", 0, 4);
    const int bank = io.num(chr_bank, "ppu.chr_bank", 0, 4095 * 8);
    io.require(bank % 8 == 0, "ppu.chr_bank is not a whole 8 KiB bank");
    io.flag(in_vblank, "ppu.in_vblank");
    io.flag(suppress_vblank, "ppu.suppress_vblank");
    io.flag(nmi_occurred, "ppu.nmi_occurred");
    io.flag(suppress_nmi, "ppu.suppress_nmi");
    io.flag(rendering, "ppu.rendering");
    io.num(v, "ppu.v");
    io.num(t, "ppu.t", 0, 0x7FFF);
    io.num(x, "ppu.x", 0, 7);
    io.flag(w, "ppu.w");
    io.num(oam_addr, "ppu.oam_addr");
    io.num(tile_addr, "ppu.tile_addr", 0, 0x2FFF);
    io.num(attr_addr, "ppu.attr_addr", 0, 0x2FFF);
    io.num(pattern_high, "ppu.pattern_high", 0, 0xFF);
    io.num(pattern_low, "ppu.pattern_low", 0, 0xFF);
    io.num(read_buffer, "ppu.read_buffer");
    io.num(fine_x_counter, "ppu.fine_x_counter", 0, 7);
    io.num(nt_byte, "ppu.nt_byte");
    io.num(pattern_addr, "ppu.pattern_addr", 0, 0x1FF7);
    // Lines 240-261 are the idle ones; a drawing line there would draw past the picture.
    io.require(io.flag(post_render, "ppu.post_render") == (line >= 240), "ppu.post_render does not match ppu.scanline");
    const uint8_t entry = io.num(eval_index, "ppu.eval_index");
    io.require(entry % 4 == 0, "ppu.eval_index is not the start of an OAM entry");
    io.num(overflow_byte, "ppu.overflow_byte", 0, 3);
    io.flag(eval_done, "ppu.eval_done");
    io.num(next_sprite_count, "ppu.next_sprite_count", 0, 8);
    io.bytes(line_sprites, sizeof line_sprites, "ppu.line_sprites");
    const int line_count = io.num(line_sprite_count, "ppu.line_sprite_count", 0, 8);
    int counter[8];
    for (int i = 0; i < 8; ++i) counter[i] = io.num(sprite_x_counter[i], "ppu.sprite_x_counter", -9, 255);
    for (int& n : next_sprite_x) io.num(n, "ppu.next_sprite_x", 0, 255);
    const uint8_t active = io.num(sprite_active, "ppu.sprite_active");
    io.require((active >> line_count) == 0, "ppu.sprite_active marks a sprite the line does not have");
    for (int i = 0; i < 8; ++i) {
        // A sprite's shift runs 7 down to 0 while it is shown and ends at 255.
        const uint8_t shift = io.num(sprite_shift[i], "ppu.sprite_shift");
        io.require(shift <= 7 || shift == 255, "ppu.sprite_shift is neither 0..7 nor 255");
        io.require(!((active >> i) & 1) || shift <= 7, "ppu.sprite_shift of a shown sprite is not 0..7");
        if (i >= line_count) continue;
        // A sprite of the line counts its X down to 0, is shown while the
        // counter runs -1 to -8 (its shift 7 to 0 alongside), and stops at -9
        // with the shift at 255.
        const int n = counter[i];
        if ((active >> i) & 1)
            io.require(n >= -8 && n <= -1 && shift == n + 8,
                       "ppu.sprite_shift of a shown sprite does not follow its ppu.sprite_x_counter");
        else
            io.require((n >= 0 && shift == 7) || (n == -9 && shift == 255),
                       "ppu.sprite_shift of a hidden sprite does not follow its ppu.sprite_x_counter");
    }
    io.flag(next_has_sprite0, "ppu.next_has_sprite0");
    io.flag(line_has_sprite0, "ppu.line_has_sprite0");
    io.bytes(oam, sizeof oam, "ppu.oam");
    io.bytes(secondary_oam, sizeof secondary_oam, "ppu.secondary_oam");
    io.bytes(index_buffer, sizeof index_buffer, "ppu.index_buffer");
    io.end_section();
    if (accuracy != Accuracy::hardware) return;
    // What the hardware model adds: its fetch pipeline, sprite units, I/O
    // latch and the bus line the board hears.
    io.begin_section("HPPU");
    io.num(bg_shift_low, "ppu.bg_shift_low");
    io.num(bg_shift_high, "ppu.bg_shift_high");
    io.num(attr_shift_low, "ppu.attr_shift_low");
    io.num(attr_shift_high, "ppu.attr_shift_high");
    io.num(fetch_name, "ppu.fetch_name");
    io.num(fetch_attr, "ppu.fetch_attr", 0, 3);
    io.num(fetch_low, "ppu.fetch_low");
    io.num(fetch_high, "ppu.fetch_high");
    for (uint16_t& pattern : sprite_patterns) io.num(pattern, "ppu.sprite_patterns");
    io.num(oam_bus, "ppu.oam_bus");
    io.flag(overflow_found, "ppu.overflow_found");
    io.flag(odd_frame, "ppu.odd_frame");
    io.num(io_latch, "ppu.io_latch");
    // Moments at or before the dot count (the reset winds the count back).
    for (int64_t& at : io_driven) io.num(at, "ppu.io_driven", -snapshot::MAX_COUNT, snapshot::MAX_COUNT);
    io.flag(a12_high, "ppu.a12_high");
    io.num(a12_fell_at, "ppu.a12_fell_at", -snapshot::MAX_COUNT, snapshot::MAX_COUNT);
    io.end_section();
}

}  // namespace NES
