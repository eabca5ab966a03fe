#include "ntdec2722.h"

#include <algorithm>
#include <cstdint>

#include "cpu.h"
#include "cpu_helper.h"
#include "parts.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

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

void NTDEC2722::insert(CPU& cpu) {
    cpu.rom->copy_prg(48, cpu.memory + 0x6000, 8 * KIB);
    cpu.rom->copy_prg(32, cpu.memory + 0x8000, 8 * KIB);
    cpu.rom->copy_prg(40, cpu.memory + 0xA000, 8 * KIB);
    cpu.rom->copy_prg(56, cpu.memory + 0xE000, 8 * KIB);
}

void NTDEC2722::snapshot(StateIO& io) {
    io.num(irq_counter, "ntdec2722.irq_counter", 1, 0x3000);
    io.flag(irq_enabled, "ntdec2722.irq_enabled");
}

}  // namespace NES
