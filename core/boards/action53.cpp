#include "action53.h"

#include "cpu_helper.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

namespace {
constexpr int ARRANGEMENTS[4] = {SCREEN_A, SCREEN_B, VERTICAL, HORIZONTAL};
}  // namespace

int Action53::prg_bank(int a14) const {
    const int prg_mode = (mode >> 2) & 3;
    const int low_bits = (2 << ((mode >> 4) & 3)) - 1;
    int current = inner;
    if (prg_mode < 2)
        current = inner << 1 | a14;
    else if (prg_mode == 2 && a14 == 0)
        current = 0;
    else if (prg_mode == 3 && a14 == 1)
        current = 0xFF;
    return ((outer << 1) & ~low_bits) | (current & low_bits);
}

void Action53::place(CPU& cpu, PPU* ppu) {
    place_prg(cpu, 0x8000, 16, prg_bank(0));
    place_prg(cpu, 0xC000, 16, prg_bank(1));
    chr_ram.select(ppu, chr & 3);
    arrange(ppu, ARRANGEMENTS[mode & 3]);
}

void Action53::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    const auto v = static_cast<uint8_t>(*value);
    if (a >= 0x5000 && a < 0x6000) select = v & 0x81;
    if (a < 0x8000) return;  // the CPU's and the PPU's registers pass by too
    switch (select) {
        case 0x00:
            chr = v & 3;
            break;
        case 0x01:
            inner = v & 15;
            break;
        case 0x80:
            mode = v & 0x3F;
            break;
        default:
            outer = v;
            break;
    }
    if (select < 2 && !(mode & 2)) mode = static_cast<uint8_t>((mode & ~1) | (v >> 4 & 1));
    place(*cpu, ppu_of(context));
}

void Action53::insert(CPU& cpu) {
    chr_ram.insert(*cpu.rom);
    place(cpu, nullptr);
}

void Action53::snapshot(StateIO& io) {
    io.num(select, "action53.select");
    io.num(chr, "action53.chr", 0, 3);
    io.num(inner, "action53.inner", 0, 15);
    io.num(mode, "action53.mode", 0, 0x3F);
    io.num(outer, "action53.outer");
    chr_ram.snapshot(io);
}

}  // namespace NES
