#include "mmc1.h"

#include <algorithm>
#include <cstdint>

#include "cpu.h"
#include "cpu_helper.h"
#include "parts.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

bool MMC1::write_reaches_ppu(uint32_t address, uint8_t value) const {
    // A reset, or the fifth write into the control or a CHR register; the
    // other writes only shift, and the PRG register is the CPU's.
    return (value & 0x80) || ((shift & 1) && address < 0xE000);
}

void MMC1::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    PPU* ppu = ppu_of(context);
    int a = cpu_address(cpu, address);
    if (a < 0x8000) return;
    if (cpu->accuracy == Accuracy::hardware) {
        // The serial port ignores a write on the CPU cycle right after
        // another: the second write of a read-modify-write instruction.
        const bool follows = cpu->cycles == last_write_cycle + 1;
        last_write_cycle = cpu->cycles;
        if (follows) return;
    }
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
        case 7:  // PRG bank; the fixed one of modes 2 and 3 is in place since the mode was set
            if (prg_mode <= 1)
                rom->copy_prg((committed * 16) & 0x1E0, cpu->memory + 0x8000, 32 * KIB);
            else if (prg_mode == 2)
                rom->copy_prg(committed * 16, cpu->memory + 0xC000, 16 * KIB);
            else
                rom->copy_prg(committed * 16, cpu->memory + 0x8000, 16 * KIB);
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
    const uint8_t was = prg_mode;
    prg_mode = (value >> 2) & 3;
    chr_mode = (value >> 4) & 1;
    if (prg_mode == was) return;  // the fixed bank stays where it is
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

void MMC1::insert(CPU& cpu) {
    cpu.rom->copy_prg(0, cpu.memory + 0x8000, 16 * KIB);
    cpu.rom->copy_prg(cpu.rom->last_prg_16k(), cpu.memory + 0xC000, 16 * KIB);
}

void MMC1::snapshot(StateIO& io) {
    io.num(prg_mode, "mmc1.prg_mode", 0, 3);
    io.num(chr_mode, "mmc1.chr_mode", 0, 1);
    io.num(shift, "mmc1.shift", 1, 0x1F);
    io.num(last_value, "mmc1.last_value", 0, 0x1F);
}

}  // namespace NES
