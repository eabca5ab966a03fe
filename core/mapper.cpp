#include "mapper.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "cpu.h"
#include "cpu_helper.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

namespace {

constexpr std::size_t KIB = 1024;

CPU* cpu_of(void** context) { return static_cast<CPU*>(context[0]); }
PPU* ppu_of(void** context) { return static_cast<PPU*>(context[1]); }

// CPU address of a location, or -1 when it lies outside the CPU's memory
// (the accumulator operand).
int cpu_address(const CPU* cpu, const signed char* location) {
    auto p = reinterpret_cast<uintptr_t>(location);
    auto base = reinterpret_cast<uintptr_t>(cpu->memory);
    if (p < base || p - base >= sizeof cpu->memory) return -1;
    return static_cast<int>(p - base);
}

void put_i32(char* block, int32_t v) {
    auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) block[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

int32_t get_i32(const char* block) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t{static_cast<uint8_t>(block[i])} << (8 * i);
    return static_cast<int32_t>(u);
}

// The UxROM bank (a KiB index) into $8000-$BFFF; $C000-$FFFF keeps the last bank.
void place_uxrom_bank(CPU* cpu, int32_t bank) {
    cpu->uxrom_bank = bank;
    cpu->rom->copy_prg(bank, cpu->memory + 0x8000, 16 * KIB);
}

}  // namespace

// ---- UxROM ----

void UxROM::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    if (cpu_address(cpu, address) < 0x8000) return;
    // Only the low four bits select one of sixteen 16 KiB banks.
    bank = (static_cast<uint8_t>(*value) & 0x0F) * 16;
    place_uxrom_bank(cpu, bank);
}

void UxROM::serialize(void**, char* block) { put_i32(block, bank); }

void UxROM::deserialize(void** context, char* block) {
    // What the 4-bit register can select: one of sixteen 16 KiB banks.
    bank = static_cast<int32_t>(static_cast<uint32_t>(get_i32(block)) / 16 % 16 * 16);
    place_uxrom_bank(cpu_of(context), bank);
}

// ---- CNROM ----

void CNROM::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    PPU* ppu = ppu_of(context);
    if (cpu_address(cpu, address) < 0x8000 || !ppu) return;
    // CHR-ROM comes in whole 8 KiB banks; with CHR-RAM there is nothing to
    // select and the PPU's reload would only re-register the pattern memory.
    int banks = cpu->rom->chr_size / 8192;
    if (banks <= 0) {
        bank = 0;
        ppu->chr_bank = 0;
        return;
    }
    bank = (static_cast<uint8_t>(*value) % banks) * 8;
    ppu->chr_bank = bank;
    ppu->loadRom(ppu->rom);
}

void CNROM::serialize(void**, char* block) { put_i32(block, bank); }

void CNROM::deserialize(void** context, char* block) {
    PPU* ppu = ppu_of(context);
    // One of the cartridge's whole 8 KiB CHR banks (the same bytes a copy
    // wrapping at the CHR size shows); none to select with CHR-RAM.
    const int banks = cpu_of(context)->rom->chr_size / 8192;
    bank = banks > 0 ? static_cast<int32_t>(static_cast<uint32_t>(get_i32(block)) / 8 % banks * 8) : 0;
    ppu->chr_bank = bank;
    ppu->loadRom(ppu->rom);
}

// ---- NTDEC 2722 ----

void NTDEC2722::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    int a = cpu_address(cpu, address);
    if (a < 0x8000) return;
    switch (a >> 13) {
        case 4:  // $8000-$9FFF: stop and rewind the counter
            irq_enabled = false;
            irq_counter = 0x3000;
            break;
        case 5:  // $A000-$BFFF: let it run from where it stands
            irq_enabled = true;
            break;
        case 7:  // $E000-$FFFF: 8 KiB bank at $C000
            cpu->rom->copy_prg(static_cast<uint8_t>(*value) * 8, cpu->memory + 0xC000, 8 * KIB);
            break;
        default:
            break;
    }
}

void NTDEC2722::clock(void** context) {
    if (!irq_enabled) return;
    if (--irq_counter == 0) {
        cpu_of(context)->raise_irq(IRQ_CARTRIDGE);
        irq_counter = 0x3000;  // 12288 dots, 4096 CPU cycles
    }
}

void NTDEC2722::clock_dots(void** context, int64_t n) {
    if (!irq_enabled || n <= 0) return;
    const int64_t to_request = clocks_to_request();
    if (n < to_request) {
        irq_counter = static_cast<uint16_t>(to_request - n);
        return;
    }
    cpu_of(context)->raise_irq(IRQ_CARTRIDGE);
    irq_counter = static_cast<uint16_t>(0x3000 - (n - to_request) % 0x3000);
}

int64_t NTDEC2722::clocks_to_request() const {
    if (!irq_enabled) return -1;
    return irq_counter == 0 ? 0x10000 : irq_counter;  // a counter at 0 wraps round first
}

// ---- MMC1 ----

void MMC1::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    PPU* ppu = ppu_of(context);
    int a = cpu_address(cpu, address);
    if (a < 0x8000) return;
    auto v = static_cast<uint8_t>(*value);
    if (v & 0x80) {
        // Reset: the shift register empties and the control register gains
        // PRG mode 3 ($C000 fixed to the last bank), keeping its other bits.
        shift = 0x10;
        control(cpu, ppu, control_value(ppu) | 0x0C);
        return;
    }
    bool fifth = (shift & 1) != 0;  // the marker bit has reached bit 0
    shift = static_cast<uint8_t>((shift >> 1) | ((v & 1) << 4));
    if (!fifth) return;

    last_value = shift;
    shift = 0x10;
    ROM* rom = cpu->rom;
    uint8_t committed = last_value;
    switch (a >> 13) {
        case 4:
            control(cpu, ppu, committed);
            break;
        case 5:  // CHR bank 0
            if (!ppu) break;
            if (chr_mode == 0)
                rom->copy_chr((committed & 0x1E) * 4, ppu->memory, 8 * KIB);
            else
                rom->copy_chr(committed * 4, ppu->memory, 4 * KIB);
            break;
        case 6:  // CHR bank 1, only in 4 KiB mode
            if (ppu && chr_mode == 1) rom->copy_chr(committed * 4, ppu->memory + 0x1000, 4 * KIB);
            break;
        case 7:  // PRG bank
            if (prg_mode <= 1) {
                rom->copy_prg((committed * 16) & 0x1E0, cpu->memory + 0x8000, 32 * KIB);
            } else if (prg_mode == 2) {
                rom->copy_prg(0, cpu->memory + 0x8000, 16 * KIB);
                rom->copy_prg(committed * 16, cpu->memory + 0xC000, 16 * KIB);
            } else {
                rom->copy_prg(committed * 16, cpu->memory + 0x8000, 16 * KIB);
                rom->copy_prg(rom->last_prg_16k(), cpu->memory + 0xC000, 16 * KIB);
            }
            break;
        default:
            break;
    }
}

namespace {
// Name-table arrangement of the control register's bits 0-1: single-screen
// on the $2000 table, on the $2400 table, vertical, horizontal.
constexpr int MMC1_ARRANGEMENT[4] = {3, 4, 1, 0};
}  // namespace

uint8_t MMC1::control_value(const PPU* ppu) const {
    uint8_t arrangement_bits = 3;
    for (uint8_t bits = 0; bits < 4; ++bits)
        if (ppu && MMC1_ARRANGEMENT[bits] == ppu->mirroring) arrangement_bits = bits;
    return static_cast<uint8_t>(chr_mode << 4 | prg_mode << 2 | arrangement_bits);
}

void MMC1::control(CPU* cpu, PPU* ppu, uint8_t value) {
    if (ppu) ppu->set_mirroring(MMC1_ARRANGEMENT[value & 3]);
    prg_mode = (value >> 2) & 3;
    chr_mode = (value >> 4) & 1;
    if (prg_mode == 2)
        cpu->rom->copy_prg(0, cpu->memory + 0x8000, 16 * KIB);
    else if (prg_mode == 3)
        cpu->rom->copy_prg(cpu->rom->last_prg_16k(), cpu->memory + 0xC000, 16 * KIB);
}

void MMC1::serialize(void**, char* block) {
    block[0] = static_cast<char>(prg_mode);
    block[1] = static_cast<char>(chr_mode);
    block[2] = static_cast<char>(shift);
    block[3] = static_cast<char>(last_value);
}

void MMC1::deserialize(void**, char* block) {
    prg_mode = static_cast<uint8_t>(block[0]) & 3;
    chr_mode = static_cast<uint8_t>(block[1]) & 1;
    // A shift register without its marker bit would never commit again.
    shift = static_cast<uint8_t>(block[2]) & 0x1F;
    if (shift == 0) shift = 0x10;
    last_value = static_cast<uint8_t>(block[3]) & 0x1F;
}

// ---- MMC3 ----

void MMC3::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    PPU* ppu = ppu_of(context);
    int a = cpu_address(cpu, address);
    if (a < 0) return;
    auto v = static_cast<uint8_t>(*value);
    if (a < 0x8000) {
        // PRG-RAM protection: have the CPU store the byte that is already there.
        if (ram_protect && a >= 0x6000) *value = static_cast<signed char>(cpu->memory[a]);
        return;
    }
    bool odd = (a & 1) != 0;
    switch (a >> 13) {
        case 4:
            if (!odd) {
                bank_select = v;
                // A mode change swaps the two windows whose roles it exchanges.
                if ((v ^ prev_bank_select) & 0x40)
                    std::swap_ranges(cpu->memory + 0x8000, cpu->memory + 0xA000, cpu->memory + 0xC000);
                if (((v ^ prev_bank_select) & 0x80) && ppu)
                    std::swap_ranges(ppu->memory, ppu->memory + 0x1000, ppu->memory + 0x1000);
                prev_bank_select = v;
            } else {
                int r = bank_select & 7;
                unsigned invert = (prev_bank_select & 0x80) ? 0x1000 : 0;
                switch (r) {
                    case 0:
                    case 1:
                        if (ppu) cpu->rom->copy_chr(v & 0xFE, ppu->memory + ((r * 0x800) ^ invert), 2 * KIB);
                        break;
                    case 6: {
                        uint16_t window = (prev_bank_select & 0x40) ? 0xC000 : 0x8000;
                        cpu->rom->copy_prg((v & 0x3F) * 8, cpu->memory + window, 8 * KIB);
                        break;
                    }
                    case 7:
                        cpu->rom->copy_prg((v & 0x3F) * 8, cpu->memory + 0xA000, 8 * KIB);
                        break;
                    default:  // 2-5: 1 KiB banks
                        if (ppu) cpu->rom->copy_chr(v, ppu->memory + ((0x1000 + (r - 2) * 0x400) ^ invert), KIB);
                        break;
                }
            }
            break;
        case 5:
            if (!odd) {
                if (ppu && ppu->mirroring != 2) ppu->set_mirroring((v & 1) ? 0 : 1);
            } else {
                ram_enable = (v >> 7) & 1;
                ram_protect = (v >> 6) & 1;
            }
            break;
        case 6:
            if (!odd)
                irq_latch = v;
            else
                irq_counter = 0;  // the next counted line reloads from the latch
            break;
        default:  // 7
            irq_enabled = odd;
            // $E000 also acknowledges: the board lets its request line go.
            if (!odd) cpu->clear_irq(IRQ_CARTRIDGE);
            break;
    }
}

void MMC3::a12_rose(void** context, int64_t, int64_t) { scanline_clock(cpu_of(context)); }

void MMC3::clock(void** context) {
    // Counted lines: 0-239 and the pre-render line 261, while rendering is on.
    PPU* ppu = ppu_of(context);
    if (ppu->dot != 256 || (ppu->scanline >= 240 && ppu->scanline != 261)) return;
    CPU* cpu = cpu_of(context);
    if (cpu->memory[0x2001] & 0x18) scanline_clock(cpu);
}

void MMC3::scanline_clock(CPU* cpu) {
    // A counter at 0 (also after a $C001 write) reloads; a request follows
    // whenever the counter is 0 afterwards, so latch N requests every N + 1
    // lines and latch 0 on every line.
    if (irq_counter == 0)
        irq_counter = irq_latch;
    else
        --irq_counter;
    if (irq_counter == 0 && irq_enabled) cpu->raise_irq(IRQ_CARTRIDGE);
}

int64_t MMC3::clocks_to_request() const {
    if (!irq_enabled) return -1;
    // A counter at 0 reloads first; latch 0 requests at that very clock.
    if (irq_counter > 0) return irq_counter;
    return irq_latch == 0 ? 1 : irq_latch + 1;
}

void MMC3::serialize(void**, char* block) {
    block[0] = static_cast<char>(bank_select);
    block[1] = static_cast<char>(prev_bank_select);
    block[2] = static_cast<char>(ram_protect);
    block[3] = static_cast<char>(ram_enable);
    block[4] = irq_enabled ? 1 : 0;
    block[5] = static_cast<char>(reserved0 & 0xFF);
    block[6] = static_cast<char>(reserved0 >> 8);
    put_i32(block + 7, irq_counter);
    block[11] = static_cast<char>(irq_latch);
    block[12] = static_cast<char>(reserved1[0]);
    block[13] = static_cast<char>(reserved1[1]);
}

void MMC3::deserialize(void**, char* block) {
    auto u8 = [block](int i) { return static_cast<uint8_t>(block[i]); };
    bank_select = u8(0);
    prev_bank_select = u8(1);
    // One-bit registers.
    ram_protect = u8(2) != 0;
    ram_enable = u8(3) != 0;
    irq_enabled = u8(4) != 0;
    reserved0 = static_cast<uint16_t>(u8(5) | (u8(6) << 8));
    // An 8-bit counter; a negative value (a reload pending in older states) is 0.
    irq_counter = std::clamp(get_i32(block + 7), 0, 255);
    irq_latch = u8(11);
    reserved1[0] = u8(12);
    reserved1[1] = u8(13);
}

// ---- Snapshot fields ----

void UxROM::snapshot(StateIO& io) {
    const int32_t b = io.num(bank, "uxrom.bank", 0, 15 * 16);
    io.require(b % 16 == 0, "uxrom.bank is not a whole 16 KiB bank");
}

void CNROM::snapshot(StateIO& io) {
    const int32_t b = io.num(bank, "cnrom.bank", 0, 4095 * 8);
    io.require(b % 8 == 0, "cnrom.bank is not a whole 8 KiB bank");
}

void NTDEC2722::snapshot(StateIO& io) {
    io.num(irq_counter, "ntdec2722.irq_counter", 1, 0x3000);
    io.flag(irq_enabled, "ntdec2722.irq_enabled");
}

void MMC1::snapshot(StateIO& io) {
    io.num(prg_mode, "mmc1.prg_mode", 0, 3);
    io.num(chr_mode, "mmc1.chr_mode", 0, 1);
    io.num(shift, "mmc1.shift", 1, 0x1F);
    io.num(last_value, "mmc1.last_value", 0, 0x1F);
}

void MMC3::snapshot(StateIO& io) {
    io.num(bank_select, "mmc3.bank_select");
    io.num(prev_bank_select, "mmc3.prev_bank_select");
    io.num(ram_protect, "mmc3.ram_protect", 0, 1);
    io.num(ram_enable, "mmc3.ram_enable", 0, 1);
    io.flag(irq_enabled, "mmc3.irq_enabled");
    io.num(reserved0, "mmc3.reserved0");
    io.num(irq_counter, "mmc3.irq_counter", 0, 255);
    io.num(irq_latch, "mmc3.irq_latch");
    io.num(reserved1[0], "mmc3.reserved1");
    io.num(reserved1[1], "mmc3.reserved1");
}

}  // namespace NES
