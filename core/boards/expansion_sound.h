// The sound chip of a cartridge, mixed with the console's channels. The APU
// runs it lazily: before each sample it hands the chip the CPU cycles run
// since the last time (a whole quiet stretch at once), and before a write to
// the chip's ports the board brings it to the APU's cycle the same way. A
// chip's run of a + b cycles must therefore equal its runs of a and of b.
// While the chip is silent its counters are left behind, and caught up in
// one run before a write, a saved state or a reset.
#pragma once

#include <cstdint>

namespace NES {

class CPU;

class ExpansionSound {
public:
    virtual ~ExpansionSound() = default;
    // The chip runs on by `cycles` CPU cycles (0 or more, any number).
    virtual void run(int64_t cycles) = 0;
    // Its output now, in the mix's unit (1.0 is full scale), at the level the
    // board gives it against the console's channels.
    virtual float level() const = 0;
    // Whether the level is 0 however the counters run on: only a write to the
    // chip's registers ends it.
    virtual bool silent() const { return false; }
};

namespace board {

// Makes chip the sound of the cartridge the CPU holds (at insertion): its
// APU, if any, runs it and mixes it from here on.
void attach_sound(CPU& cpu, ExpansionSound& chip);
// Brings the chip to the APU's cycle before its registers change.
void bring_sound_up(CPU& cpu);

// The clocks a divider counting down from `divider` gives in `cycles` steps,
// reloading `period` at each: the one at 0, then every period + 1. A chip's
// run of many cycles at once, as cheap as one.
inline int64_t count_down(uint16_t& divider, int period, int64_t cycles) {
    if (cycles <= divider) {
        divider = static_cast<uint16_t>(divider - cycles);
        return 0;
    }
    const int64_t after_first = cycles - divider - 1;
    divider = static_cast<uint16_t>(period - after_first % (period + 1));
    return 1 + after_first / (period + 1);
}

}  // namespace board

}  // namespace NES
