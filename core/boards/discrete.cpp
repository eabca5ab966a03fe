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

}  // namespace NES
