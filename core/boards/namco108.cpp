#include "namco108.h"

#include "cpu_helper.h"
#include "parts.h"

namespace NES {

using namespace board;

void Namco108::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    if (a < 0x8000 || a >= 0xA000) return;
    const auto v = static_cast<uint8_t>(*value);
    if (!(a & 1)) {
        select = v & 7;
        return;
    }
    const int r = select;
    banks[r] = r < 6 ? v & 0x3F : v & 0x0F;
    PPU* ppu = ppu_of(context);
    if (r < 2)
        place_chr(ppu, static_cast<uint16_t>(r * 0x800), 2, banks[r] >> 1);
    else if (r < 6)
        place_chr(ppu, static_cast<uint16_t>(0x1000 + (r - 2) * 0x400), 1, banks[r]);
    else
        place_prg(*cpu, static_cast<uint16_t>(0x8000 + (r - 6) * 0x2000), 8, banks[r]);
}

void Namco108::insert(CPU& cpu) {
    place_prg(cpu, 0x8000, 8, banks[6]);
    place_prg(cpu, 0xA000, 8, banks[7]);
    place_last_16k(cpu);
}

void Namco108::snapshot(StateIO& io) {
    io.num(select, "namco108.select", 0, 7);
    for (int r = 0; r < 8; ++r) io.num(banks[r], "namco108.bank", 0, r < 6 ? 0x3F : 0x0F);
}

}  // namespace NES
