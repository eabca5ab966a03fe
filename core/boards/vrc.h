// Konami's VRC boards. Each decodes its registers from A12-A15 (the group)
// and two low address lines that the board wires (the variant), which give
// the register's index 0-3 within the group.
//
// VRC2 and VRC4 (21, 22, 23, 25): $8000 and $A000 8 KiB PRG banks (the
// second-last bank at $C000, or $8000 with the VRC4's swap bit), $9000 the
// arrangement (VRC2: vertical or horizontal; VRC4: also one-screen A, B;
// index 2 the swap bit), $B000-$E003 eight 1 KiB CHR banks as low and high
// nibbles, $F000-$F003 (VRC4) the interrupt latch's low and high nibbles,
// control and acknowledge. Index lines by mapper and submapper:
//   21: 1 VRC4a (A1, A2), 2 VRC4c (A6, A7)
//   22: VRC2a (A1, A0), whose CHR banks are the register halved
//   23: 1 VRC4f (A0, A1), 2 VRC4e (A2, A3), 3 VRC2b (A0, A1)
//   25: 1 VRC4b (A1, A0), 2 VRC4d (A3, A2), 3 VRC2c (A1, A0)
// Without a submapper both variants' lines of a mapper are heard.
//
// VRC6 (24 VRC6a: A0, A1; 26 VRC6b: A1, A0): $8000 a 16 KiB PRG bank,
// $C000 an 8 KiB one (the last fixed at $E000), $B003 the CHR mode (bits
// 0-1) and arrangement (bits 2-3: vertical, horizontal, one-screen A, B),
// $D000-$E003 eight CHR registers, $F000-$F002 the interrupt latch, control
// and acknowledge; $9000-$B002 and $9003 its sound (Vrc6Sound). The $B003
// bits that put CHR-ROM in the name tables or disable the PRG-RAM are not
// heard yet.
#pragma once

#include <cstdint>

#include "expansion_sound.h"
#include "mapper.h"
#include "parts.h"

namespace NES {

class KonamiVrc : public board::CycleCountingBoard {
public:
    using CycleCountingBoard::CycleCountingBoard;
    board::VrcIrq irq;
    void map_write(void** context, signed char* address, signed char* value) final;

protected:
    // A write to the register of a group ($8000-$F000) and index (0-3).
    virtual void write_register(CPU& cpu, PPU* ppu, int group, int index, uint8_t value) = 0;
    void count_cycles(CPU* cpu, int64_t cycles) override { irq.count(cpu, cycles); }
    int64_t cycles_to_request() const override { return irq.cycles_to_request(); }
    uint8_t line0 = 1, line1 = 2;  // the address bits of index bits 0 and 1
};

class VRC4 : public KonamiVrc {
public:
    explicit VRC4(int32_t number) : KonamiVrc(number) {}
    uint8_t prg[2] = {};
    uint16_t chr[8] = {};
    bool swap = false;
    void insert(CPU& cpu) override;
    DotClock dot_clock() const override { return vrc2 ? DotClock::none : DotClock::every_dot; }
    void snapshot(StateIO& io) override;

private:
    void write_register(CPU& cpu, PPU* ppu, int group, int index, uint8_t value) override;
    void place_prg_banks(CPU& cpu) const;
    bool vrc2 = false;        // no counter, one arrangement bit
    bool halved_chr = false;  // VRC2a
};

// The VRC6's sound: two pulses ($9000-$9002, $A000-$A002: mode, duty and
// volume; period low; enable and period high) and the sawtooth ($B000-$B002:
// accumulator rate; period low; enable and period high), their dividers
// stopped (bit 0) or their periods shifted right by 4 or 8 bits (bits 1, 2)
// by $9003. A pulse steps through 16 steps, loud on the last duty + 1 (all
// of them in the digitized mode, bit 7); the sawtooth adds its rate on every
// second clock and starts again from 0 on the seventh. The three sum
// linearly, a step of it as loud as a step of the console's pulse.
class Vrc6Sound : public ExpansionSound {
public:
    uint8_t regs[3][3] = {};  // pulse 1, pulse 2, sawtooth; by index 0-2
    uint8_t frequency = 0;    // $9003
    uint16_t divider[3] = {};
    uint8_t step[3] = {15, 15, 0};  // a pulse's counts down from 15, the sawtooth's up from 0 to 13
    uint8_t accumulator = 0;
    // A write to a channel's register 0-2, or to $9003 (index 3).
    void write(int channel, int index, uint8_t value);
    void run(int64_t cycles) override;
    float level() const override;
    void snapshot(StateIO& io);

private:
    bool enabled(int channel) const { return regs[channel][2] & 0x80; }
    void clock_sawtooth(int64_t clocks);
};

class VRC6 : public KonamiVrc {
public:
    explicit VRC6(int32_t number) : KonamiVrc(number) {}
    Vrc6Sound sound;
    uint8_t prg16 = 0;
    uint8_t prg8 = 0;
    uint8_t chr[8] = {};
    uint8_t control = 0;  // $B003
    void insert(CPU& cpu) override;
    void snapshot(StateIO& io) override;

private:
    void write_register(CPU& cpu, PPU* ppu, int group, int index, uint8_t value) override;
    void write_sound(CPU& cpu, int group, int index, uint8_t value);
    void place_chr_banks(PPU* ppu) const;
};

}  // namespace NES
