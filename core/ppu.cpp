// The picture processing unit: construction, cartridge binding, the 14-bit
// PPU address space and the dot-by-dot renderer.
#include "ppu.h"

#include <cstdio>
#include <cstring>

#include "cpu.h"
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
}

void PPU::set_mirroring(int arrangement) {
    // The second 1 KiB table sits at $2800 under horizontal arrangement and at
    // $2400 under the others; a change between the two moves it.
    auto second_table = [](int m) { return m == 0 ? 0x2800 : 0x2400; };
    const int from = second_table(mirroring), to = second_table(arrangement);
    if (mirroring != 2 && arrangement != 2 && from != to) std::memcpy(memory + to, memory + from, 0x400);
    mirroring = arrangement;
}

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

void PPU::cycle() {
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
        // Sprite countdown: a sprite at X is active on dots X+1..X+8, its
        // counter running from X down to -8 (the bit is set at 0 and cleared
        // at -8). Past -8 a sprite stays inactive, so its counter stops at -9
        // instead of running on towards a wrap.
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

        if (((dot - 1) & 7) == 0 && rendering) {
            fetch_tile(*this, v, ctrl);
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
                const bool tall = ctrl & CTRL_TALL_SPRITES;
                for (int i = line_sprite_count - 1; i >= 0; --i) {
                    if (!(sprite_active & (1u << i))) continue;
                    int tile = line_sprites[4 * i + 1];
                    const uint8_t attr = line_sprites[4 * i + 2];
                    int table;
                    if (tall) {
                        table = tile & 1;
                        tile &= 0xFE;
                    } else {
                        table = (ctrl & CTRL_SPRITE_TABLE) ? 1 : 0;
                    }
                    int row = scanline - line_sprites[4 * i];
                    if (attr & 0x80) row = (tall ? 15 : 7) - row;
                    const int addr = table * 0x1000 + (row & 7) + (((row >> 3) + tile) & 0xFF) * 16;
                    int b = sprite_shift[i];
                    if (attr & 0x40) b = 7 - b;
                    const int p = ((memory[addr] >> b) & 1) | (((memory[addr | 8] >> b) & 1) << 1);
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
                const uint8_t a = memory[fold_nametable(attr_addr, mirroring)];
                // Coarse X bit 1 selects 2 bits, coarse Y bit 1 (address bit 6) 4 bits.
                const int attr_shift = (tile_addr & 2) | ((tile_addr >> 4) & 4);
                colour = 0x3F00 + bg + 4 * ((a >> attr_shift) & 3);
            }
        }
        const uint8_t pv = memory[colour];
        const int q = scanline * WIDTH + column;
        if (index_buffer[q] != pv) {
            index_buffer[q] = pv;
            // Palette RAM holds whole bytes; a value above 63 shows the colour
            // of its low six bits.
            const uint8_t* rgb = NTSC_TO_RGB[pv & 63];
            uint8_t* out = frame_buffer + 3 * q;
            out[0] = rgb[0];
            out[1] = rgb[1];
            out[2] = rgb[2];
        }

        if (++fine_x_counter == 8) {
            fine_x_counter = 0;
            fetch_tile(*this, coarse_x_step(v), ctrl);  // look-ahead: v itself is not changed
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
        }
    } else if (dot == 340 && scanline == 239) {
        post_render = true;
    }

    ++cycles;
    if (++dot == DOTS_PER_LINE) {
        dot = 0;
        if (scanline == LAST_LINE) {
            ++frames;
            scanline = 0;
            post_render = false;
        } else {
            ++scanline;
        }
    }
    if (mapper) mapper->clock(mapper_context);
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
    for (int q = 0; q < HEIGHT * WIDTH; ++q) {
        const uint8_t* rgb = NTSC_TO_RGB[index_buffer[q] & 63];
        uint8_t* out = frame_buffer + 3 * q;
        out[0] = rgb[0];
        out[1] = rgb[1];
        out[2] = rgb[2];
    }
}

}  // namespace NES
