#include "fme7.h"

#include <cstring>

#include "cpu_helper.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

namespace {
constexpr int ARRANGEMENTS[4] = {VERTICAL, HORIZONTAL, SCREEN_A, SCREEN_B};
}  // namespace

// $6000-$7FFF after command 8 changed from `before`: the RAM goes out to its
// store or comes back from it, and a ROM bank is copied in.
void FME7::place_6000(CPU& cpu, uint8_t before) {
    const bool was_ram = (before & 0xC0) == 0xC0;
    if (was_ram && !ram_shown()) std::memcpy(ram, cpu.memory + 0x6000, sizeof ram);
    if (ram_shown()) {
        if (!was_ram) std::memcpy(cpu.memory + 0x6000, ram, sizeof ram);
    } else if (regs[8] & 0x40) {
        std::memset(cpu.memory + 0x6000, 0, sizeof ram);  // RAM disabled: nothing drives the bus
    } else {
        place_prg(cpu, 0x6000, 8, regs[8] & 0x3F);
    }
}

void FME7::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    const auto v = static_cast<uint8_t>(*value);
    if (a < 0x8000) {
        // Only RAM that is shown keeps a write.
        if (a >= 0x6000 && !ram_shown()) *value = static_cast<signed char>(cpu->memory[a]);
        return;
    }
    if (a < 0xA000) {
        command = v & 15;
        return;
    }
    if (a >= 0xC000) return;  // the sound chip's ports
    PPU* ppu = ppu_of(context);
    if (command < 8) {
        regs[command] = v;
        place_chr(ppu, static_cast<uint16_t>(command * 0x400), 1, v);
    } else if (command == 8) {
        const uint8_t before = regs[8];
        regs[8] = v;
        place_6000(*cpu, before);
    } else if (command < 12) {
        regs[command] = v & 0x3F;
        place_prg(*cpu, static_cast<uint16_t>(0x8000 + (command - 9) * 0x2000), 8, regs[command]);
    } else if (command == 12) {
        regs[12] = v & 3;
        arrange(ppu, ARRANGEMENTS[regs[12]]);
    } else if (command == 13) {
        irq_control = v & 0x81;
        cpu->clear_irq(IRQ_CARTRIDGE);
    } else if (command == 14) {
        irq_counter = static_cast<uint16_t>((irq_counter & 0xFF00) | v);
    } else {
        irq_counter = static_cast<uint16_t>((irq_counter & 0x00FF) | v << 8);
    }
}

void FME7::insert(CPU& cpu) {
    // The battery RAM read at insertion goes to the store: ROM shows first.
    std::memcpy(ram, cpu.memory + 0x6000, sizeof ram);
    place_6000(cpu, 0);
    for (int r = 9; r < 12; ++r) place_prg(cpu, static_cast<uint16_t>(0x8000 + (r - 9) * 0x2000), 8, regs[r]);
    place_prg(cpu, 0xE000, 8, last_prg_8k(cpu, 1));
}

const uint8_t* FME7::battery_ram(const CPU& cpu) const { return ram_shown() ? cpu.memory + 0x6000 : ram; }

void FME7::count_cycles(CPU* cpu, int64_t cycles) {
    if (!(irq_control & 0x80)) return;
    const int64_t to_wrap = int64_t{irq_counter} + 1;
    if (cycles >= to_wrap && (irq_control & 1)) cpu->raise_irq(IRQ_CARTRIDGE);
    irq_counter = static_cast<uint16_t>(irq_counter - cycles);
}

int64_t FME7::cycles_to_request() const { return (irq_control & 0x81) == 0x81 ? int64_t{irq_counter} + 1 : -1; }

void FME7::snapshot(StateIO& io) {
    io.num(command, "fme7.command", 0, 15);
    for (uint8_t& r : regs) io.num(r, "fme7.register");
    io.num(irq_control, "fme7.irq_control");
    io.num(irq_counter, "fme7.irq_counter");
    io.bytes(ram, sizeof ram, "fme7.ram");
}

}  // namespace NES
