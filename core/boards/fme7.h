// The Sunsoft FME-7 (69): a command register at $8000-$9FFF and its
// parameter at $A000-$BFFF. Commands 0-7: 1 KiB CHR banks; 8: $6000-$7FFF
// (bits 0-5 the PRG-ROM bank, bit 6 RAM instead of ROM, bit 7 RAM enabled);
// 9-B: 8 KiB PRG banks at $8000-$DFFF (the last bank fixed at $E000);
// C: the arrangement (vertical, horizontal, one-screen A, B); D: the
// interrupt control (bit 0 requests on, bit 7 counting on; a write
// acknowledges); E, F: the low and high bytes of the 16-bit counter, which
// counts down every CPU cycle and requests as it wraps from 0 to $FFFF.
// $C000 and $E000 are the register select and data ports of its Sunsoft 5B
// sound (Sunsoft5B).
#pragma once

#include <cstdint>

#include "expansion_sound.h"
#include "mapper.h"
#include "parts.h"

namespace NES {

// The Sunsoft 5B: three square channels and a noise, each channel gated by
// its square and the noise as register 7 enables them (bits 0-2 squares off,
// 3-5 noise off; a channel with both off plays its volume as a level), at a
// volume of 15 steps of about 3 dB or from the envelope (32 steps of about
// 1.5 dB). Registers: 0-5 the squares' 12-bit periods (low, high), 6 the
// noise's 5-bit period, 8-10 the volumes (bit 4: the envelope), 11-12 the
// envelope's 16-bit period, 13 its shape (bit 3 continue, 2 attack,
// 1 alternate, 0 hold; a write starts it again). Everything counts ticks of
// 16 CPU cycles: a square flips each period of ticks, the 17-bit noise
// register shifts every two, the envelope steps every period.
class Sunsoft5B : public ExpansionSound {
public:
    uint8_t select = 0;
    uint8_t regs[16] = {};
    uint8_t prescaler = 0;  // CPU cycles into the tick
    uint16_t tone_counter[3] = {};
    uint8_t tone_high = 0;  // the squares' outputs, one bit each
    uint8_t noise_counter = 0;
    uint32_t noise = 1;
    uint16_t envelope_counter = 0;
    uint8_t envelope_step = 0;  // into the ramp, 0-31
    bool envelope_rising = false;
    bool envelope_held = false;
    void write(uint8_t value);
    void run(int64_t cycles) override;
    float level() const override;
    bool silent() const override { return ((regs[8] | regs[9] | regs[10]) & 0x1F) == 0; }
    void snapshot(StateIO& io);

private:
    void step_envelope(int64_t steps);
};

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
    Sunsoft5B sound;
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return 0x6000; }
    bool write_reaches_ppu(uint32_t address, uint8_t value) const override;
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
