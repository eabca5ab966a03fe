// Action 53 (28): the homebrew multicart board. A write to $5000-$5FFF picks
// one of four registers (bits 7 and 0), a write to $8000-$FFFF sets it:
// $00 the 8 KiB CHR-RAM bank (bits 0-1), $01 the inner 16 KiB PRG bank
// (bits 0-3), $80 the mode (bits 0-1 arrangement: one-screen A, one-screen B,
// vertical, horizontal; bits 2-3 PRG mode: 32 KiB, 32 KiB, $8000 fixed,
// $C000 fixed; bits 4-5 game size: how many low bank bits the inner bank
// gives, 1 to 4) and $81 the outer 32 KiB bank. Writes to $00 and $01 set
// the one-screen table from bit 4 while the arrangement is one-screen.
#pragma once

#include <cstdint>

#include "mapper.h"
#include "parts.h"

namespace NES {

class Action53 : public Mapper {
public:
    Action53() : Mapper(28) {}
    uint8_t select = 0;
    uint8_t chr = 0;
    uint8_t inner = 0;
    uint8_t mode = 0x3C;  // power-on: $C000 fixed to the last bank of the largest game
    uint8_t outer = 0xFF;
    board::ChrRamBanks chr_ram;
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return 0x5000; }
    void snapshot(StateIO& io) override;
    // The 16 KiB bank at $8000 (a14 0) or $C000 (a14 1).
    int prg_bank(int a14) const;

private:
    void place(CPU& cpu, PPU* ppu);
};

}  // namespace NES
