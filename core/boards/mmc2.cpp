#include "mmc2.h"

#include "cpu_helper.h"
#include "parts.h"
#include "ppu.h"

namespace NES {

using namespace board;

void MMC2::place_table(void** context, int table) {
    place_chr(ppu_of(context), static_cast<uint16_t>(table * 0x1000), 4, chr[2 * table + latch[table]]);
}

void MMC2::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    if (a < 0xA000) return;
    const auto v = static_cast<uint8_t>(*value);
    const int reg = (a >> 12) - 0xA;
    if (reg == 0) {
        prg = v & 0x0F;
        if (number == 9)
            place_prg(*cpu, 0x8000, 8, prg);
        else
            place_prg(*cpu, 0x8000, 16, prg);
    } else if (reg <= 4) {
        chr[reg - 1] = v & 0x1F;
        const int table = (reg - 1) / 2;
        if ((reg - 1) % 2 == latch[table]) place_table(context, table);
    } else {
        arrangement = v & 1;
        arrange(ppu_of(context), arrangement ? HORIZONTAL : VERTICAL);
    }
}

void MMC2::insert(CPU& cpu) {
    if (number == 9) {
        place_prg(cpu, 0x8000, 8, 0);
        for (int w = 1; w < 4; ++w)
            place_prg(cpu, static_cast<uint16_t>(0x8000 + w * 0x2000), 8, last_prg_8k(cpu, 4 - w));
    } else {
        place_prg(cpu, 0x8000, 16, 0);
        place_last_16k(cpu);
    }
}

uint8_t MMC2::fetched(void** context, uint16_t address, PpuFetch, uint8_t byte) {
    if (address >= 0x2000) return byte;
    const int table = address >> 12;
    const uint16_t low = address & 0x0FFF;
    // The MMC2's $0000 latch decodes all twelve address bits.
    const bool exact = number == 9 && table == 0;
    const uint16_t tile = exact ? low : (low & 0x0FF8);
    const int set = tile == 0x0FD8 ? 0 : tile == 0x0FE8 ? 1 : -1;
    if (set >= 0 && set != latch[table]) {
        latch[table] = static_cast<uint8_t>(set);
        if (chr[2 * table] != chr[2 * table + 1]) place_table(context, table);  // else the window holds it
    }
    return byte;
}

void MMC2::snapshot(StateIO& io) {
    io.num(prg, "mmc2.prg", 0, 15);
    for (uint8_t& c : chr) io.num(c, "mmc2.chr", 0, 31);
    for (uint8_t& l : latch) io.num(l, "mmc2.latch", 0, 1);
    io.num(arrangement, "mmc2.arrangement", 0, 1);
}

}  // namespace NES
