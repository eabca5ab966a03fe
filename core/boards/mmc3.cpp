#include "mmc3.h"

#include <algorithm>
#include <cstdint>

#include "cpu.h"
#include "cpu_helper.h"
#include "parts.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

bool MMC3::write_reaches_ppu(uint32_t address, uint8_t value) const {
    switch (address >> 13) {
        case 4:  // a CHR inversion change, or a CHR register (R0-R5)
            return (address & 1) ? (bank_select & 7) < 6 : ((value ^ prev_bank_select) & 0x80) != 0;
        case 5:  // the arrangement; $A001 is the PRG-RAM control
            return (address & 1) == 0;
        default:  // the interrupt counter
            return true;
    }
}

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

void MMC3::insert(CPU& cpu) { cpu.rom->copy_prg(cpu.rom->last_prg_16k(), cpu.memory + 0xC000, 16 * KIB); }

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
