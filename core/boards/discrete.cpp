#include "discrete.h"

#include <algorithm>
#include <cstdint>

#include "cpu.h"
#include "cpu_helper.h"
#include "parts.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

namespace {

// Up to 32 KiB of PRG from $8000 on, unbanked.
void place_whole_prg(CPU& cpu) {
    cpu.rom->copy_prg(0, cpu.memory + 0x8000, static_cast<std::size_t>(std::clamp(cpu.rom->prg_size, 0, 0x8000)));
}

// A single 16 KiB bank: stored once at $8000-$BFFF and read at $C000 too.
bool single_16k_bank(const ROM& rom) { return rom.prg_size >= 0x4000 && rom.prg_size < 0x8000; }

// The UxROM bank (a KiB index) into $8000-$BFFF; $C000-$FFFF keeps the last bank.
void place_uxrom_bank(CPU* cpu, int32_t bank) {
    cpu->uxrom_bank = bank;
    cpu->rom->copy_prg(bank, cpu->memory + 0x8000, 16 * KIB);
}

}  // namespace

// ---- NROM ----

void NROM::insert(CPU& cpu) { place_whole_prg(cpu); }

bool NROM::upper_prg_mirrors_lower(const ROM& rom) const { return single_16k_bank(rom); }

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

void UxROM::insert(CPU& cpu) {
    cpu.rom->copy_prg(cpu.uxrom_bank, cpu.memory + 0x8000, 16 * KIB);
    cpu.rom->copy_prg(cpu.rom->last_prg_16k(), cpu.memory + 0xC000, 16 * KIB);
}

void UxROM::snapshot(StateIO& io) {
    const int32_t b = io.num(bank, "uxrom.bank", 0, 15 * 16);
    io.require(b % 16 == 0, "uxrom.bank is not a whole 16 KiB bank");
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

void CNROM::insert(CPU& cpu) { place_whole_prg(cpu); }

bool CNROM::upper_prg_mirrors_lower(const ROM& rom) const { return single_16k_bank(rom); }

void CNROM::snapshot(StateIO& io) {
    const int32_t b = io.num(bank, "cnrom.bank", 0, 4095 * 8);
    io.require(b % 8 == 0, "cnrom.bank is not a whole 8 KiB bank");
}

// ---- Latch boards ----

void LatchBoard::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    if (a < static_cast<int>(first) || !decodes(a)) return;
    latch = static_cast<uint8_t>(*value);
    if (bus_conflicts && a >= 0x8000) latch &= cpu->memory[a];
    apply(*cpu, ppu_of(context));
}

void LatchBoard::insert(CPU& cpu) { apply(cpu, nullptr); }

void LatchBoard::snapshot(StateIO& io) { io.num(latch, "latch.value"); }

void AxROM::insert(CPU& cpu) {
    bus_conflicts = cpu.rom->submapper == 2;
    cpu.rom->mirroring = SCREEN_A;
    LatchBoard::insert(cpu);
}

void AxROM::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 32, latch & 7);
    arrange(ppu, latch & 0x10 ? SCREEN_B : SCREEN_A);
}

void ColorDreams::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 32, latch & 3);
    place_chr(ppu, 0x0000, 8, latch >> 4);
}

void GxROM::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 32, (latch >> 4) & 3);
    place_chr(ppu, 0x0000, 8, latch & 3);
}

void NINA03::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 32, (latch >> 3) & 1);
    place_chr(ppu, 0x0000, 8, latch & 7);
}

void Multicart113::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 32, (latch >> 3) & 7);
    place_chr(ppu, 0x0000, 8, (latch & 7) | (latch >> 3 & 8));
    arrange(ppu, latch & 0x80 ? VERTICAL : HORIZONTAL);
}

void Jaleco140::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 32, (latch >> 4) & 3);
    place_chr(ppu, 0x0000, 8, latch & 15);
}

void UNROM180::insert(CPU& cpu) {
    place_prg(cpu, 0x8000, 16, 0);
    LatchBoard::insert(cpu);
}

void UNROM180::apply(CPU& cpu, PPU*) { place_prg(cpu, 0xC000, 16, latch & 7); }

void Camerica::map_write(void** context, signed char* address, signed char* value) {
    const int a = cpu_address(cpu_of(context), address);
    if (a >= 0xC000) {
        LatchBoard::map_write(context, address, value);
    } else if ((a >= 0x9000 || (fire_hawk && a >= 0x8000)) && a < 0xA000) {
        arrange(ppu_of(context), *value & 0x10 ? SCREEN_B : SCREEN_A);
    }
}

void Camerica::insert(CPU& cpu) {
    fire_hawk = cpu.rom->submapper == 1;
    place_last_16k(cpu);
    LatchBoard::insert(cpu);
}

void Camerica::apply(CPU& cpu, PPU*) { place_prg(cpu, 0x8000, 16, latch & 15); }

void UNROM512::insert(CPU& cpu) {
    ROM& rom = *cpu.rom;
    bus_conflicts = !rom.battery;
    one_screen = (rom.header[6] & 0x09) == 0x08;
    if (one_screen) rom.mirroring = SCREEN_A;
    chr_ram.insert(rom);
    place_last_16k(cpu);
    LatchBoard::insert(cpu);
}

void UNROM512::apply(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 16, latch & 31);
    chr_ram.select(ppu, (latch >> 5) & 3);
    if (one_screen) arrange(ppu, latch & 0x80 ? SCREEN_B : SCREEN_A);
}

void UNROM512::snapshot(StateIO& io) {
    LatchBoard::snapshot(io);
    chr_ram.snapshot(io);
}

// ---- BNROM / NINA-001 ----

void BNROM::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    PPU* ppu = ppu_of(context);
    const int a = cpu_address(cpu, address);
    uint8_t v = static_cast<uint8_t>(*value);
    if (!nina) {
        if (a < 0x8000) return;
        prg = v & cpu->memory[a];
        place_prg(*cpu, 0x8000, 32, prg);
    } else if (a == 0x7FFD) {
        prg = v & 1;
        place_prg(*cpu, 0x8000, 32, prg);
    } else if (a == 0x7FFE || a == 0x7FFF) {
        chr[a - 0x7FFE] = v & 15;
        place_chr(ppu, static_cast<uint16_t>((a - 0x7FFE) * 0x1000), 4, chr[a - 0x7FFE]);
    }
}

void BNROM::insert(CPU& cpu) {
    const ROM& rom = *cpu.rom;
    nina = rom.submapper == 1 || (rom.submapper != 2 && rom.chr_size > 0x2000);
    place_prg(cpu, 0x8000, 32, prg);
}

void BNROM::snapshot(StateIO& io) {
    io.num(prg, "bnrom.prg");
    io.num(chr[0], "bnrom.chr", 0, 15);
    io.num(chr[1], "bnrom.chr", 0, 15);
}

}  // namespace NES
