// The Sunsoft FME-7 (69): a command register at $8000-$9FFF and its
// parameter at $A000-$BFFF. Commands 0-7: 1 KiB CHR banks; 8: $6000-$7FFF
// (bits 0-5 the PRG-ROM bank, bit 6 RAM instead of ROM, bit 7 RAM enabled);
// 9-B: 8 KiB PRG banks at $8000-$DFFF (the last bank fixed at $E000);
// C: the arrangement (vertical, horizontal, one-screen A, B); D: the
// interrupt control (bit 0 requests on, bit 7 counting on; a write
// acknowledges); E, F: the low and high bytes of the 16-bit counter, which
// counts down every CPU cycle and requests as it wraps from 0 to $FFFF.
#pragma once

#include <cstdint>

#include "mapper.h"
#include "parts.h"

namespace NES {

class FME7 : public board::CycleCountingBoard {
public:
    FME7() : CycleCountingBoard(69) {}
    uint8_t command = 0;
    uint8_t regs[13] = {0, 1, 2, 3, 4, 5, 6, 7};  // commands 0-C
    uint8_t irq_control = 0;
    uint16_t irq_counter = 0;
    // The 8 KiB of PRG-RAM while $6000-$7FFF shows something else; while it
    // shows the RAM, the CPU's memory there is the RAM.
    uint8_t ram[0x2000] = {};
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return 0x6000; }
    const uint8_t* battery_ram(const CPU& cpu) const override;
    void snapshot(StateIO& io) override;

protected:
    void count_cycles(CPU* cpu, int64_t cycles) override;
    int64_t cycles_to_request() const override;

private:
    bool ram_shown() const { return (regs[8] & 0xC0) == 0xC0; }
    void place_6000(CPU& cpu, uint8_t before);
};

}  // namespace NES
