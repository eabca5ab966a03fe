#include "parts.h"

#include <algorithm>

#include "cpu_helper.h"
#include "ppu.h"
#include "rom.h"

namespace NES::board {

void place_prg(CPU& cpu, uint16_t window, std::size_t kib, int bank) {
    cpu.rom->copy_prg(bank * static_cast<int>(kib), cpu.memory + window, kib * KIB);
}

void place_chr(PPU* ppu, uint16_t window, std::size_t kib, int bank) {
    if (ppu) ppu->rom->copy_chr(bank * static_cast<int>(kib), ppu->memory + window, kib * KIB);
}

void place_last_16k(CPU& cpu) { cpu.rom->copy_prg(cpu.rom->last_prg_16k(), cpu.memory + 0xC000, 16 * KIB); }

int last_prg_8k(const CPU& cpu, int from_end) { return static_cast<int>(cpu.rom->prg.size() / (8 * KIB)) - from_end; }

void arrange(PPU* ppu, int arrangement) {
    if (ppu) ppu->set_mirroring(arrangement);
}

// ---- Counters of CPU cycles ----

void CycleCountingBoard::clock_dots(void** context, int64_t n) {
    phase += n;
    const int64_t cycles = phase / 3;
    phase %= 3;
    if (cycles > 0) count_cycles(cpu_of(context), cycles);
}

int64_t CycleCountingBoard::clocks_to_request() const {
    const int64_t cycles = cycles_to_request();
    return cycles < 0 ? -1 : 3 * cycles - phase;
}

void VrcIrq::write_control(CPU* cpu, uint8_t value) {
    control = value & 7;
    if (control & 2) {
        counter = latch;
        prescaler = 341;
    }
    cpu->clear_irq(IRQ_CARTRIDGE);
}

void VrcIrq::acknowledge(CPU* cpu) {
    cpu->clear_irq(IRQ_CARTRIDGE);
    control = static_cast<uint8_t>((control & ~2) | (control & 1) << 1);
}

void VrcIrq::count(CPU* cpu, int64_t cycles) {
    if (!(control & 2)) return;
    int64_t clocks = cycles;
    if (!(control & 4)) {
        // Scanline mode: a clock whenever the prescaler reaches 0 or below,
        // which then gains 341.
        const int64_t left = prescaler - 3 * cycles;
        clocks = left >= 1 ? 0 : (1 - left + 340) / 341;
        prescaler = static_cast<int16_t>(left + 341 * clocks);
    }
    const int64_t to_overflow = 0x100 - counter;
    if (clocks < to_overflow) {
        counter = static_cast<uint8_t>(counter + clocks);
        return;
    }
    cpu->raise_irq(IRQ_CARTRIDGE);
    counter = static_cast<uint8_t>(latch + (clocks - to_overflow) % (0x100 - latch));
}

int64_t VrcIrq::cycles_to_request() const {
    if (!(control & 2)) return -1;
    const int clocks = 0x100 - counter;
    if (control & 4) return clocks;
    int64_t cycles = 0, p = prescaler;
    for (int i = 0; i < clocks; ++i) {
        const int64_t wait = (p + 2) / 3;  // cycles until it reaches 0 or below
        cycles += wait;
        p += 341 - 3 * wait;
    }
    return cycles;
}

void VrcIrq::snapshot(StateIO& io) {
    io.num(latch, "vrc.irq_latch");
    io.num(counter, "vrc.irq_counter");
    io.num(control, "vrc.irq_control", 0, 7);
    io.num(prescaler, "vrc.irq_prescaler", 1, 341);
}

// ---- Banked CHR-RAM ----

void ChrRamBanks::insert(const ROM& rom) {
    const std::size_t named = static_cast<std::size_t>(std::max(rom.chr_ram_size, 0)) / (8 * KIB) * (8 * KIB);
    store.assign(named > 8 * KIB ? named : 32 * KIB, 0);
    bank = 0;
}

void ChrRamBanks::select(PPU* ppu, int to) {
    const int banks = static_cast<int>(store.size() / (8 * KIB));
    to %= banks;
    if (!ppu || to == bank) return;
    std::memcpy(store.data() + bank * 8 * KIB, ppu->memory, 8 * KIB);
    std::memcpy(ppu->memory, store.data() + to * 8 * KIB, 8 * KIB);
    bank = static_cast<uint8_t>(to);
}

void ChrRamBanks::snapshot(StateIO& io) {
    io.num(bank, "chr_ram.bank", 0, static_cast<int64_t>(store.size() / (8 * KIB)) - 1);
    // The selected bank's bytes are the PPU's pattern memory; its place here
    // holds what it had when it was last switched out.
    io.bytes(store.data(), store.size(), "chr_ram.banks");
}

}  // namespace NES::board
