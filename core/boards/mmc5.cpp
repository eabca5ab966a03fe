#include "mmc5.h"

#include <algorithm>
#include <cstring>

#include "apu.h"
#include "cpu_helper.h"
#include "parts.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

namespace {

constexpr int DOTS_PER_LINE = 341;
constexpr int64_t FRAME_DOTS = 262 * DOTS_PER_LINE;
// A line is counted once the PPU stands past its dot 2 (frame-relative
// position line * 341 + COUNT_AT).
constexpr int COUNT_AT = 3;
constexpr int RAM = 0x100;  // a PRG source: RAM bank (else ROM bank)
constexpr std::size_t BANK = 8 * KIB;

}  // namespace

// ---- PRG ----

int MMC5::prg_source(int window) const {
    if (window == 0) return RAM | (prg[0] & 7);
    const int slot = window - 1;
    int reg = 4, bank = 0;
    switch (prg_mode) {
        case 0:
            bank = (prg[4] & 0x7C) | slot;
            break;
        case 1:
            reg = slot < 2 ? 2 : 4;
            bank = (prg[reg] & 0x7E) | (slot & 1);
            break;
        case 2:
            reg = slot < 2 ? 2 : slot + 1;
            bank = slot < 2 ? (prg[2] & 0x7E) | slot : prg[reg] & 0x7F;
            break;
        default:
            reg = slot + 1;
            bank = prg[reg] & 0x7F;
            break;
    }
    return reg == 4 || (prg[reg] & 0x80) ? bank : RAM | (bank & 7);
}

// The store's bank for a RAM bank number, or -1 without RAM. Two 8 KiB chips
// are told apart by bit 2 (the chip select); one chip takes the low bits.
int MMC5::ram_bank(int bank) const {
    const int banks = static_cast<int>(ram.size() / BANK);
    if (banks == 0) return -1;
    return banks == 2 ? (bank >> 2) & 1 : bank % banks;
}

void MMC5::place_prg_windows(CPU& cpu) {
    for (int w = 0; w < 5; ++w) {
        const int source = prg_source(w);
        if (source == shown_prg[w]) continue;
        shown_prg[w] = static_cast<int16_t>(source);
        const auto window = static_cast<uint16_t>(0x6000 + w * BANK);
        if (!(source & RAM)) {
            place_prg(cpu, window, 8, source);
        } else if (const int i = ram_bank(source & 7); i >= 0) {
            std::memcpy(cpu.memory + window, ram.data() + i * BANK, BANK);
        } else {
            std::memset(cpu.memory + window, 0, BANK);
        }
    }
}

// A CPU write at $6000-$FFFF: into the store and every window showing the
// bank, when the window shows RAM and the protection allows.
void MMC5::write_ram(CPU& cpu, int address, uint8_t value) {
    const int source = shown_prg[(address - 0x6000) / BANK];
    const bool writable = (ram_protect[0] & 3) == 2 && (ram_protect[1] & 3) == 1;
    const int i = source & RAM ? ram_bank(source & 7) : -1;
    if (!writable || i < 0) return;
    const std::size_t offset = address & (BANK - 1);
    ram[i * BANK + offset] = value;
    for (int w = 0; w < 5; ++w)
        if ((shown_prg[w] & RAM) && ram_bank(shown_prg[w] & 7) == i) cpu.memory[0x6000 + w * BANK + offset] = value;
}

const uint8_t* MMC5::battery_ram(const CPU& cpu) const { return ram.size() >= BANK ? ram.data() : cpu.memory + 0x6000; }

void MMC5::load_battery(CPU& cpu, const uint8_t* data, std::size_t size) {
    if (ram.size() < BANK) return;
    std::memcpy(ram.data(), data, std::min({size, battery_bytes, ram.size()}));
    std::fill(std::begin(shown_prg), std::end(shown_prg), -1);
    place_prg_windows(cpu);
}

void MMC5::insert(CPU& cpu) {
    ppu = cpu.ppu;
    const ROM& rom = *cpu.rom;
    // An iNES 1.0 header cannot tell the size: the most the board addresses.
    const int bytes = rom.nes2 ? rom.prg_ram_size + rom.prg_nvram_size : static_cast<int>(8 * BANK);
    const int banks = std::clamp((bytes + static_cast<int>(BANK) - 1) / static_cast<int>(BANK), 0, 8);
    ram.assign(banks * BANK, 0);
    // NES 2.0 can give more battery-backed RAM than 8 KiB: its first banks.
    battery_bytes = std::clamp<std::size_t>(rom.prg_nvram_size, BANK, std::max(ram.size(), std::size_t{BANK}));
    // The battery RAM (and a trainer) read at insertion go to the first bank.
    if (!ram.empty()) std::memcpy(ram.data(), cpu.memory + 0x6000, BANK);
    cpu.rom->mirroring = FOUR_SCREEN;  // the board fills the four tables itself
    std::fill(std::begin(shown_prg), std::end(shown_prg), -1);
    place_prg_windows(cpu);
    attach_sound(cpu, sound);
}

// ---- CHR ----

void MMC5::place_chr_set(uint8_t* dest, bool set_b) const {
    for (int i = 0; i < 8; ++i) {
        int kib = 0;
        switch (chr_mode) {
            case 0:
                kib = chr[set_b ? 11 : 7] * 8 + i;
                break;
            case 1:
                kib = chr[set_b ? 11 : i < 4 ? 3 : 7] * 4 + (i & 3);
                break;
            case 2:
                kib = chr[set_b ? 8 + (((i >> 1) * 2 + 1) & 3) : (i >> 1) * 2 + 1] * 2 + (i & 1);
                break;
            default:
                kib = chr[set_b ? 8 + (i & 3) : i];
                break;
        }
        ppu->rom->copy_chr(kib, dest + i * KIB, KIB);
    }
}

// Pattern memory gets the background's set; 8x16 sprites get set A of their own.
void MMC5::place_chr() {
    if (!ppu || !ppu->rom || ppu->rom->chr.empty()) return;
    place_chr_set(ppu->memory, big_sprites());
    if (big_sprites()) place_chr_set(sprite_set, false);
    ppu->sprite_patterns_of_board = big_sprites() ? sprite_set : nullptr;
}

uint8_t MMC5::chr_byte(uint32_t address) const {
    const std::vector<uint8_t>& data = ppu->rom->chr;
    return data[address % data.size()];
}

// ---- Name tables ----

uint8_t MMC5::name_table_byte(int table, int offset) const {
    switch ((name_tables >> (2 * table)) & 3) {
        case 0:
        case 1:
            return ciram[(name_tables >> (2 * table)) & 1][offset];
        case 2:
            return exram_mode <= 1 ? exram[offset] : 0;  // modes 2 and 3 show zeros
        default:
            return offset < 0x3C0 ? fill_tile : static_cast<uint8_t>(fill_attribute * 0x55);
    }
}

void MMC5::fill_name_table(int table) {
    if (!ppu) return;
    uint8_t* dest = ppu->memory + 0x2000 + table * 0x400;
    for (int offset = 0; offset < 0x400; ++offset) dest[offset] = name_table_byte(table, offset);
}

void MMC5::vram_written(void** context, uint16_t address, uint8_t value) {
    ppu = ppu_of(context);
    if (address < 0x2000 || address >= 0x3000) return;
    const int table = (address >> 10) & 3, offset = address & 0x3FF;
    const int source = (name_tables >> (2 * table)) & 3;
    if (source <= 1) ciram[source][offset] = value;
    if (source == 2 && exram_mode <= 1) exram[offset] = value;
    // The tables showing the same memory show the byte; a fill table keeps its own.
    for (int t = 0; t < 4; ++t)
        if (((name_tables >> (2 * t)) & 3) == source)
            ppu->memory[0x2000 + t * 0x400 + offset] = name_table_byte(t, offset);
}

uint8_t MMC5::vram_read(void** context, uint16_t address, uint8_t byte) {
    ppu = ppu_of(context);
    if (address < 0x2000 && ppu->sprite_patterns_of_board && !set_b_written_last) return sprite_set[address];
    return byte;
}

void MMC5::ppu_register_written(void** context, uint16_t reg, uint8_t value) {
    ppu = ppu_of(context);
    if (reg == 0x2000) {
        const bool changed = (value ^ ppu_ctrl) & 0x20;
        ppu_ctrl = value;
        if (changed) place_chr();
    } else if (reg == 0x2001 && !(value & 0x18)) {
        in_frame = false;
    }
}

// ---- Fetches: extended attributes and the split ----

void MMC5::hook_ppu() {
    if (!ppu) return;
    const bool split = (split_control & 0x80) && exram_mode <= 1;
    const bool chr_rom = ppu->rom && !ppu->rom->chr.empty();
    ppu->answer_fetches(chr_rom && (exram_mode == 1 || split));
}

uint8_t MMC5::fetched(void** context, uint16_t address, PpuFetch kind, uint8_t byte) {
    const PPU& p = *ppu_of(context);
    switch (kind) {
        case PpuFetch::name_table: {
            tile_kind = 0;
            // The tile's column on the line (the MMC5 counts the fetches) and its line.
            int column = -1, line = p.scanline;
            if (p.accuracy == Accuracy::hardware) {
                if (p.dot >= 1 && p.dot <= 256) {
                    column = (p.dot - 2) / 8 + 2;
                } else if (p.dot >= 321 && p.dot <= 336) {
                    column = (p.dot - 322) / 8;
                    line = p.scanline == 261 ? 0 : p.scanline + 1;
                }
            } else {
                // The standard model fetches at dot 1 of each tile the tile under
                // v, and ahead of it the next one.
                column = (p.dot - 1) / 8 + (address != (0x2000 | (p.v & 0x0FFF)) ? 1 : 0);
            }
            const int edge = split_control & 0x1F;
            const bool right = split_control & 0x40;
            if ((split_control & 0x80) && exram_mode <= 1 && column >= 0 && (right ? column >= edge : column < edge)) {
                const int y = (split_scroll + line) % 240, row = y >> 3, col = column & 31;
                tile_kind = 2;
                tile_fine_y = y & 7;
                tile_bank = split_bank;
                const uint8_t attribute = exram[0x3C0 + (row >> 2) * 8 + (col >> 2)];
                tile_palette = (attribute >> (((row & 2) << 1) | (col & 2))) & 3;
                return exram[row * 32 + col];
            }
            if (exram_mode == 1) {
                const uint8_t e = exram[address & 0x3FF];
                tile_kind = 1;
                tile_palette = e >> 6;
                tile_bank = static_cast<uint16_t>(chr_upper << 6 | (e & 0x3F));
            }
            return byte;
        }
        case PpuFetch::attribute:
            return tile_kind ? static_cast<uint8_t>(tile_palette * 0x55) : byte;
        case PpuFetch::background_low:
        case PpuFetch::background_high: {
            if (!tile_kind) return byte;
            const uint32_t offset = tile_kind == 2 ? (address & 0x0FF8) | tile_fine_y : address & 0x0FFF;
            return chr_byte(tile_bank * 0x1000u + offset);
        }
        default:
            return byte;
    }
}

// ---- Registers ----

void MMC5::write_register(CPU& cpu, int a, uint8_t v) {
    if (a >= 0x5C00) {
        if (exram_mode == 3) return;  // read-only
        exram[a - 0x5C00] = v;
        for (int t = 0; t < 4; ++t)
            if (ppu && ((name_tables >> (2 * t)) & 3) == 2)
                ppu->memory[0x2000 + t * 0x400 + a - 0x5C00] = name_table_byte(t, a - 0x5C00);
        return;
    }
    if (a <= 0x5015) {
        bring_sound_up(cpu);
        sound.write(a - 0x5000, v);
        return;
    }
    if (a >= 0x5113 && a <= 0x5117) {
        prg[a - 0x5113] = v;
        place_prg_windows(cpu);
        return;
    }
    if (a >= 0x5120 && a <= 0x512B) {
        const int reg = a - 0x5120;
        chr[reg] = static_cast<uint16_t>(v | chr_upper << 8);
        set_b_written_last = reg >= 8;
        place_chr();
        return;
    }
    switch (a) {
        case 0x5100:
            prg_mode = v & 3;
            place_prg_windows(cpu);
            break;
        case 0x5101:
            chr_mode = v & 3;
            place_chr();
            break;
        case 0x5102:
        case 0x5103:
            ram_protect[a - 0x5102] = v & 3;
            break;
        case 0x5104:
            exram_mode = v & 3;
            for (int t = 0; t < 4; ++t)
                if (((name_tables >> (2 * t)) & 3) == 2) fill_name_table(t);
            hook_ppu();
            break;
        case 0x5105:
        case 0x5106:
        case 0x5107:
            if (a == 0x5105) name_tables = v;
            if (a == 0x5106) fill_tile = v;
            if (a == 0x5107) fill_attribute = v & 3;
            for (int t = 0; t < 4; ++t) fill_name_table(t);
            break;
        case 0x5130:
            chr_upper = v & 3;
            break;
        case 0x5200:
            split_control = v;
            hook_ppu();
            break;
        case 0x5201:
            split_scroll = v;
            break;
        case 0x5202:
            split_bank = v;
            break;
        case 0x5203:
            irq_compare = v;
            break;
        case 0x5204:
            irq_enabled = v & 0x80;
            if (irq_enabled && irq_pending)
                cpu.raise_irq(IRQ_CARTRIDGE);
            else
                cpu.clear_irq(IRQ_CARTRIDGE);
            break;
        case 0x5205:
        case 0x5206:
            factors[a - 0x5205] = v;
            break;
        default:
            break;
    }
}

void MMC5::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    ppu = ppu_of(context);
    const int a = cpu_address(cpu, address);
    if (a < 0x5000) return;
    const auto v = static_cast<uint8_t>(*value);
    if (a >= 0x6000) {
        write_ram(*cpu, a, v);
        if (a < 0x8000) *value = static_cast<signed char>(cpu->memory[a]);  // the window has the byte if it took it
        return;
    }
    cpu->catch_up_for(static_cast<uint32_t>(a), true);
    write_register(*cpu, a, v);
}

void MMC5::map_read(void** context, signed char* address) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    if (a < 0x4020 || a >= 0x6000) return;
    auto out = static_cast<uint8_t>(a >> 8);  // nothing drives the bus: the address's high byte stays
    if (a == 0x5015) {
        bring_sound_up(*cpu);
        out = sound.status();
    } else if (a == 0x5204) {
        out = static_cast<uint8_t>((irq_pending ? 0x80 : 0) | (in_frame ? 0x40 : 0));
        irq_pending = false;
        cpu->clear_irq(IRQ_CARTRIDGE);
    } else if (a == 0x5205 || a == 0x5206) {
        const int product = factors[0] * factors[1];
        out = static_cast<uint8_t>(a == 0x5205 ? product : product >> 8);
    } else if (a >= 0x5C00 && exram_mode >= 2) {
        out = exram[a - 0x5C00];
    }
    cpu->memory[a] = out;
}

// ---- The scanline interrupt ----

void MMC5::count_line(CPU& cpu, int line) {
    if (line == 240 || !(cpu.memory[0x2001] & 0x18)) {
        in_frame = false;
        return;
    }
    if (!in_frame) {
        in_frame = true;
        irq_counter = 0;
        if (irq_pending) cpu.clear_irq(IRQ_CARTRIDGE);
        irq_pending = false;
        return;
    }
    if (++irq_counter != irq_compare) return;
    irq_pending = true;
    if (irq_enabled) cpu.raise_irq(IRQ_CARTRIDGE);
}

void MMC5::clock_dots(void** context, int64_t n) {
    CPU& cpu = *cpu_of(context);
    ppu = ppu_of(context);
    // The PPU stands after the n dots: the lines counted at positions in (from, now].
    const int64_t now = int64_t{ppu->scanline} * DOTS_PER_LINE + ppu->dot;
    const int64_t from = now - std::min(n, FRAME_DOTS);
    auto count_in = [&](int64_t lo, int64_t hi) {
        for (int64_t line = lo < COUNT_AT ? 0 : (lo - COUNT_AT) / DOTS_PER_LINE + 1;
             line <= 240 && line * DOTS_PER_LINE + COUNT_AT <= hi; ++line)
            count_line(cpu, static_cast<int>(line));
    };
    if (from < 0) {
        count_in(from + FRAME_DOTS, FRAME_DOTS - 1);
        count_in(-1, now);
    } else {
        count_in(from, now);
    }
}

int64_t MMC5::clocks_to_request() const {
    if (!irq_enabled || irq_compare == 0 || irq_compare > 239 || !ppu) return -1;
    // As if rendering stayed on: the line whose count equals the compare value.
    const int64_t now = int64_t{ppu->scanline} * DOTS_PER_LINE + ppu->dot;
    const int64_t first = now < COUNT_AT ? 0 : (now - COUNT_AT) / DOTS_PER_LINE + 1;
    if (first <= 239) {
        const int count_there = in_frame ? irq_counter + 1 : 0;
        const int64_t line = first + irq_compare - count_there;
        if (irq_compare >= count_there && line <= 239) return line * DOTS_PER_LINE + COUNT_AT - now;
    }
    return FRAME_DOTS - now + int64_t{irq_compare} * DOTS_PER_LINE + COUNT_AT;
}

// ---- Sound ----

namespace {

constexpr int FRAME_PERIOD = 7457;  // CPU cycles between envelope and length clocks
// The duties' 8 steps, a bit each (step 0 the lowest), as the console's pulses play them.
constexpr uint8_t DUTY[4] = {0x02, 0x06, 0x1E, 0xF9};
// A step of a pulse's volume against the console's pulse, whose volume v
// swings from -v to +v in the mix.
constexpr float PULSE_STEP = 2 * 0.00752f;
// The DMC's 7-bit level enters the mix doubled, 8 bits of this each: the
// PCM's byte takes the same steps.
constexpr float PCM_STEP = 0.00335f;

}  // namespace

void Mmc5Sound::write(int reg, uint8_t v) {
    if (reg < 8) {
        const int c = reg >> 2;
        Pulse& p = pulse[c];
        p.regs[reg & 3] = v;
        if ((reg & 3) != 3) return;
        if ((enable >> c) & 1) p.length = APU::length_lookup(v >> 3);
        p.envelope.start = 1;
        p.step = 0;
    } else if (reg == 0x10) {
        pcm_control = v;
    } else if (reg == 0x11) {
        if (!(pcm_control & 1) && v != 0) pcm = v;
    } else if (reg == 0x15) {
        enable = v & 3;
        for (int c = 0; c < 2; ++c)
            if (!((enable >> c) & 1)) pulse[c].length = 0;
    }
}

uint8_t Mmc5Sound::status() const {
    return static_cast<uint8_t>((pulse[0].length ? 1 : 0) | (pulse[1].length ? 2 : 0));
}

// The quarter- and half-frame clocks of the console's frame sequencer, at once.
void Mmc5Sound::clock_units() {
    for (Pulse& p : pulse) {
        const uint8_t r = p.regs[0];
        const bool halt = r & 0x20;  // the length counter's, also the envelope's loop
        p.envelope.clock(r);
        if (!halt && p.length != 0) --p.length;
    }
}

void Mmc5Sound::run(int64_t cycles) {
    // The units change only the outputs' volume, the timers only their steps:
    // each runs the stretch on its own.
    for (int64_t n = count_down(frame_divider, FRAME_PERIOD - 1, cycles); n > 0; --n) clock_units();
    const int64_t apu_cycles = (half_cycle + cycles) / 2;
    half_cycle = static_cast<uint8_t>((half_cycle + cycles) & 1);
    for (Pulse& p : pulse) {
        const int period = (p.regs[3] & 7) << 8 | p.regs[2];
        p.step = static_cast<uint8_t>((p.step + count_down(p.timer, period, apu_cycles)) & 7);
    }
}

float Mmc5Sound::level() const {
    int sum = 0;
    for (const Pulse& p : pulse) {
        const uint8_t r = p.regs[0];
        if (p.length != 0 && ((DUTY[r >> 6] >> p.step) & 1)) sum += (r & 0x10) ? r & 15 : p.envelope.decay;
    }
    return static_cast<float>(sum) * PULSE_STEP + static_cast<float>(pcm) * PCM_STEP;
}

void Mmc5Sound::snapshot(StateIO& io) {
    for (Pulse& p : pulse) {
        for (uint8_t& r : p.regs) io.num(r, "mmc5.sound.register");
        io.num(p.timer, "mmc5.sound.timer", 0, 0x7FF);
        io.num(p.step, "mmc5.sound.step", 0, 7);
        io.num(p.length, "mmc5.sound.length");
        io.num(p.envelope.start, "mmc5.sound.envelope_start", 0, 1);
        io.num(p.envelope.divider, "mmc5.sound.envelope_divider", 0, 15);
        io.num(p.envelope.decay, "mmc5.sound.decay", 0, 15);
    }
    io.num(enable, "mmc5.sound.enable", 0, 3);
    io.num(frame_divider, "mmc5.sound.frame_divider", 0, FRAME_PERIOD - 1);
    io.num(half_cycle, "mmc5.sound.half_cycle", 0, 1);
    io.num(pcm_control, "mmc5.sound.pcm_control");
    io.num(pcm, "mmc5.sound.pcm");
}

// ---- Snapshots ----

void MMC5::snapshot(StateIO& io) {
    io.num(prg_mode, "mmc5.prg_mode", 0, 3);
    io.num(chr_mode, "mmc5.chr_mode", 0, 3);
    for (uint8_t& r : ram_protect) io.num(r, "mmc5.ram_protect", 0, 3);
    io.num(exram_mode, "mmc5.exram_mode", 0, 3);
    io.num(name_tables, "mmc5.name_tables");
    io.num(fill_tile, "mmc5.fill_tile");
    io.num(fill_attribute, "mmc5.fill_attribute", 0, 3);
    for (uint8_t& r : prg) io.num(r, "mmc5.prg");
    for (uint16_t& r : chr) io.num(r, "mmc5.chr", 0, 0x3FF);
    io.num(chr_upper, "mmc5.chr_upper", 0, 3);
    io.flag(set_b_written_last, "mmc5.set_b_written_last");
    io.num(split_control, "mmc5.split_control");
    io.num(split_scroll, "mmc5.split_scroll");
    io.num(split_bank, "mmc5.split_bank");
    io.num(irq_compare, "mmc5.irq_compare");
    io.flag(irq_enabled, "mmc5.irq_enabled");
    io.flag(irq_pending, "mmc5.irq_pending");
    io.flag(in_frame, "mmc5.in_frame");
    io.num(irq_counter, "mmc5.irq_counter");
    for (uint8_t& f : factors) io.num(f, "mmc5.factor");
    io.num(ppu_ctrl, "mmc5.ppu_ctrl");
    io.num(tile_kind, "mmc5.tile_kind", 0, 2);
    io.num(tile_palette, "mmc5.tile_palette", 0, 3);
    io.num(tile_bank, "mmc5.tile_bank", 0, 0xFF);
    io.num(tile_fine_y, "mmc5.tile_fine_y", 0, 7);
    io.bytes(exram, sizeof exram, "mmc5.exram");
    io.bytes(&ciram[0][0], sizeof ciram, "mmc5.ciram");
    if (!ram.empty()) io.bytes(ram.data(), ram.size(), "mmc5.prg_ram");  // as many banks as the cartridge has
    sound.snapshot(io);
    if (io.mode() != StateIO::Mode::Load) return;
    // The windows, pattern memory and name tables came back with the machine's
    // memory; what the board derives from its registers follows them.
    for (int w = 0; w < 5; ++w) shown_prg[w] = static_cast<int16_t>(prg_source(w));
    place_chr();
    hook_ppu();
}

}  // namespace NES
