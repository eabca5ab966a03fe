// The audio processing unit. Channel control bits are read in place from the
// register bytes in the CPU memory array; the memory map forwards the writes
// whose effects go beyond storing the byte (register_write).
#include "apu.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "boards/expansion_sound.h"
#include "cpu.h"
#include "cpu_helper.h"

namespace NES {

namespace {

// Length-counter loads, indexed by bits 7-3 of a $4003/$4007/$400B/$400F write.
constexpr uint8_t LENGTH_TABLE[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                                      12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};

// Envelope registers of pulse 1, pulse 2 and noise.
constexpr uint16_t ENVELOPE_REG[3] = {0x4000, 0x4004, 0x400C};

// Sequencer points, in APU cycles after the frame origin.
constexpr int64_t QUARTER_1 = 3729;
constexpr int64_t HALF = 7458;
constexpr int64_t QUARTER_3 = 11187;
constexpr int64_t PERIOD_4STEP = 14916;
constexpr int64_t PERIOD_5STEP = 18640;

// (t + 1) mod m for t >= 0, m > 0; the division is only needed when a period
// was shortened below the running timer.
inline int next_timer(int t, int m) {
    ++t;
    if (t < m) return t;
    return t == m ? 0 : t % m;
}

// The DMC's output level after playing the shifter's low bit: 2 up or down,
// staying within 0-127.
inline void play_dmc_bit(int& level, uint8_t shift) {
    if (shift & 1) {
        if (level <= 125) level += 2;
    } else if (level >= 2) {
        level -= 2;
    }
}

// The timer after `calls` calls of next_timer, and how many of them gave 0.
struct TimerRun {
    int timer;
    int64_t zeros;
};
inline TimerRun run_timer(int t, int m, int64_t calls) {
    if (calls <= 0) return {t, 0};
    int64_t zeros = 0;
    if (t >= m) {
        // A period shortened below the timer: the first call wraps it.
        t = (t + 1) % m;
        zeros = t == 0;
        --calls;
    }
    const int64_t total = t + calls;
    if (total < m) return {static_cast<int>(total), zeros};
    if (total < 2 * int64_t{m}) return {static_cast<int>(total - m), zeros + 1};  // the common case, no division
    return {static_cast<int>(total % m), zeros + total / m};
}

}  // namespace

APU::APU()
    : sample_buffer(std::make_unique<int16_t[]>(BUFFER_LEN)), output_buffer(std::make_unique<int16_t[]>(BUFFER_LEN)) {}

APU::~APU() = default;

void APU::setCPU(CPU* c) {
    cpu = c;
    apu_rate = c->clock_hz / 2;
}

template <Accuracy A>
void APU::cycle() {
    // The hardware model's frame sequencer counts CPU cycles (run_hardware).
    if constexpr (A == Accuracy::standard) func_frame_counter();
    pulse(false);
    pulse(true);
    // The triangle timer runs at the CPU rate, twice per APU cycle.
    triangle();
    triangle();
    noise();
    if constexpr (A == Accuracy::standard)
        dmc();
    else
        dmc_output_unit();

    // A sample is due while samples < cycles * sample_rate / apu_rate (truncated); for
    // apu_rate > 0 this is the comparison below, without a division. A clock rate
    // below 2 Hz gives no APU rate and therefore no samples.
    // 128-bit: cycles × sample_rate leaves the 64-bit range after about 3.7 years of emulated time.
    if (apu_rate > 0 && static_cast<__int128>(samples + 1) * apu_rate <= static_cast<__int128>(cycles) * sample_rate)
        emit_sample(expansion ? mix_with_expansion(cycles + 1) : mix(this));
    ++cycles;
}

bool APU::may_request_irq() const {
    return (dmc_control & 0xC0) == 0x80 && channel_enabled[4] && dmc_bytes_remaining != 0;
}

// ---- Fast path ----
//
// run_until gives the same result as calling cycle() that many times. The
// cycles in which nothing but timers move are run in bulk by quiet_run; a
// sample falls due in such a stretch is mixed from the outputs of its cycle,
// as cycle() does. Cycles with a frame-sequencer step or with DMC work other
// than a bit played inside a byte go through cycle() itself.

template <Accuracy A>
void APU::run_until(int64_t target) {
    while (cycles < target) {
        const int64_t busy = next_busy_cycle<A>();
        if (busy == cycles) {
            cycle<A>();
            continue;
        }
        quiet_run(std::min(busy, target));
    }
}

int64_t APU::next_sample_cycle() {
    if (apu_rate <= 0 || sample_rate <= 0) return std::numeric_limits<int64_t>::max();
    // The first cycle c with (samples + 1) * apu_rate <= c * sample_rate, and
    // its excess e = c * sample_rate - (samples + 1) * apu_rate. One sample on,
    // the demand grows by apu_rate = a * sample_rate + b, so c grows by a, and
    // by one more when b exceeds e.
    if (due.samples == samples - 1 && due.apu_rate == apu_rate && due.sample_rate == sample_rate) {
        const int64_t a = apu_rate / sample_rate, b = apu_rate % sample_rate;
        const bool carry = b > due.excess;
        due.cycle += a + carry;
        due.excess += (carry ? sample_rate : 0) - b;
    } else if (due.samples != samples || due.apu_rate != apu_rate || due.sample_rate != sample_rate) {
        const __int128 need = static_cast<__int128>(samples + 1) * apu_rate;
        due.cycle = static_cast<int64_t>((need + sample_rate - 1) / sample_rate);
        due.excess = static_cast<int64_t>(static_cast<__int128>(due.cycle) * sample_rate - need);
    }
    due.samples = samples;
    due.apu_rate = apu_rate;
    due.sample_rate = sample_rate;
    return std::max(due.cycle, cycles);
}

template <>
int64_t APU::next_busy_cycle<Accuracy::hardware>() {
    // The sequencer runs outside; the DMC's output unit counts its bits
    // whenever its timer runs out, silent or not.
    const int m = dmc_rates[dmc_control & 15] / 2;
    if (dmc_timer == 0 || dmc_timer >= m) return cycles;
    return cycles + (dmc_timer < 0 ? -dmc_timer : m - dmc_timer);
}

template <>
int64_t APU::next_busy_cycle<Accuracy::standard>() {
    // The next frame-sequencer step, kept until it is passed or the sequence
    // changes.
    const bool five_step = cpu->memory[0x4017] & 0x80;
    if (cycles < step_due.from || cycles > step_due.cycle || step_due.origin != frame_origin ||
        step_due.five_step != five_step) {
        step_due.from = cycles;
        const int64_t period = five_step ? PERIOD_5STEP : PERIOD_4STEP;
        int64_t r = (cycles - frame_origin) % period;
        if (r < 0) r += period;
        step_due.cycle = cycles + period - r;  // the step at the period's end (r = 0)
        for (int64_t step : {int64_t{0}, QUARTER_1, HALF, QUARTER_3}) {
            if (step >= r) {
                step_due.cycle = cycles + step - r;
                break;
            }
        }
        step_due.origin = frame_origin;
        step_due.five_step = five_step;
    }
    int64_t busy = step_due.cycle;
    // DMC work: a sample byte fetched at the next cycle, a direct load, or
    // the output-unit step that ends a byte. The steps before it only play
    // their bits, which quiet_run does.
    if (channel_enabled[4] && dmc_buffer_empty && dmc_bytes_remaining != 0) return cycles;
    if (dmc_direct_load != -1 || !dmc_silence) {
        const int m = dmc_rates[dmc_control & 15] / 2;
        // A timer past the period (after a rate change) or below 0 (a
        // hardware-model count, which only a crafted state file brings
        // here) runs cycle by cycle.
        if (dmc_timer < 0 || dmc_timer >= m) return cycles;
        const int playing = dmc_direct_load == -1 ? std::max(dmc_bits_remaining - 1, 0) : 0;
        busy = std::min<int64_t>(busy, cycles + (dmc_timer == 0 ? 0 : m - dmc_timer) + int64_t{playing} * m);
    }
    return busy;
}

// The cycles up to `end`, none of them busy, with the samples that fall due
// in them. How each channel shows its step stays the same throughout (only
// a register write or a frame-sequencer step changes it), so it is worked
// out once; the timers and steps move from sample to sample.
void APU::quiet_run(int64_t end) {
    const uint8_t* mem = cpu->memory;
    struct Pulse {
        int m;
        int8_t volume;  // 0 while muted
        const uint8_t* duty;
        int timer;
        uint8_t step;
    } pulses[2];
    for (int i = 0; i < 2; ++i) {
        const uint8_t ctrl = mem[0x4000 + 4 * i];
        const bool muted =
            ((mem[0x4001 + 4 * i] & 0x80) && sweep[i].mute) || pulse_period[i] <= 7 || length_counter[i] == 0;
        const int8_t volume = static_cast<int8_t>((ctrl & 0x10) ? (ctrl & 15) : envelope[i].decay);
        pulses[i] = {pulse_period[i] + 1, muted ? int8_t{0} : volume, duty_table[ctrl >> 6], pulse_timer[i],
                     pulse_step[i]};
    }
    const int triangle_m = triangle_period + 1;
    const bool triangle_shown = linear_counter != 0 && length_counter[2] != 0 && triangle_period > 1;
    int tri_timer = triangle_timer;
    uint8_t tri_step = triangle_step;
    const uint8_t mode_period = mem[0x400E];
    const int noise_m = noise_periods[mode_period & 15] / 2;
    const int tap_shift = (mode_period & 0x80) ? 6 : 1;
    const uint8_t noise_ctrl = mem[0x400C];
    const int8_t noise_volume = length_counter[3] == 0
                                    ? int8_t{0}
                                    : static_cast<int8_t>((noise_ctrl & 0x10) ? (noise_ctrl & 15) : envelope[2].decay);
    int noi_timer = noise_timer;
    uint16_t noi_shift = noise_shift;
    const int dmc_m = dmc_rates[dmc_control & 15] / 2;

    while (cycles < end) {
        const int64_t sample = next_sample_cycle();
        const int64_t n = (sample < end ? sample + 1 : end) - cycles;
        for (int i = 0; i < 2; ++i) {
            Pulse& p = pulses[i];
            // Up to the last cycle, whose output is the one that stays.
            const TimerRun before_last = run_timer(p.timer, p.m, n - 1);
            p.step = static_cast<uint8_t>((p.step + before_last.zeros) & 7);
            pulse_output[i] = p.duty[p.step] ? p.volume : static_cast<int8_t>(-p.volume);
            p.timer = next_timer(before_last.timer, p.m);
            if (p.timer == 0) p.step = (p.step + 1) & 7;
        }
        {
            // Two timer calls per cycle; the output is taken before the last.
            const TimerRun before_last = run_timer(tri_timer, triangle_m, 2 * n - 1);
            tri_step = static_cast<uint8_t>((tri_step + before_last.zeros) & 31);
            triangle_output = triangle_shown ? (triangle_table[tri_step] - 7.5f) * 2 : 0;
            tri_timer = next_timer(before_last.timer, triangle_m);
            if (tri_timer == 0) tri_step = (tri_step + 1) & 31;
        }
        {
            // The shift register moves at the start of each cycle whose timer is 0.
            const TimerRun before_last = run_timer(noi_timer, noise_m, n - 1);
            for (int64_t shifts = (noi_timer == 0) + before_last.zeros; shifts > 0; --shifts) {
                const int feedback = ((noi_shift >> tap_shift) ^ noi_shift) & 1;
                noi_shift = static_cast<uint16_t>(((noi_shift & 0x7FFF) | feedback << 15) >> 1);
            }
            noise_output = (noi_shift & 1) ? int8_t{0} : noise_volume;
            noi_timer = next_timer(before_last.timer, noise_m);
        }
        {
            // The output unit's steps inside a byte play its bits (the
            // standard model's; the hardware model's stretches end before
            // any step).
            const TimerRun before_last = run_timer(dmc_timer, dmc_m, n - 1);
            int64_t steps = (dmc_timer == 0) + before_last.zeros;
            for (; steps > 0 && !dmc_silence; --steps) {
                play_dmc_bit(dmc_output, dmc_shift);
                dmc_shift >>= 1;
                --dmc_bits_remaining;
            }
            dmc_timer = next_timer(before_last.timer, dmc_m);
        }
        cycles += n;
        if (sample < end) emit_sample(expansion ? mix_with_expansion(cycles) : mix(this));
    }
    for (int i = 0; i < 2; ++i) {
        pulse_timer[i] = static_cast<uint16_t>(pulses[i].timer);
        pulse_step[i] = pulses[i].step;
    }
    triangle_timer = static_cast<uint16_t>(tri_timer);
    triangle_step = tri_step;
    noise_timer = noi_timer;
    noise_shift = noi_shift;
}

void APU::func_frame_counter() {
    const uint8_t control = cpu->memory[0x4017];
    // Constant divisors let the compiler replace the division by a multiplication.
    const int64_t elapsed = cycles - frame_origin;
    int64_t r;
    if (control & 0x80) {
        r = elapsed % PERIOD_5STEP;
        if (r < 0) r += PERIOD_5STEP;  // a CPU reset rewinds cycles below an earlier origin
    } else {
        r = elapsed % PERIOD_4STEP;
        if (r < 0) r += PERIOD_4STEP;
    }

    if (r == QUARTER_1 || r == QUARTER_3) {
        clock_envs();
        clock_linear();
    } else if (r == HALF || r == 0) {
        clock_envs();
        clock_linear();
        clock_length();
        clock_sweep();
        if (r == 0 && (control & 0xC0) == 0) frame_irq = true;
    }
}

void APU::clock_every_unit() {
    clock_envs();
    clock_length();
    clock_linear();
    clock_sweep();
}

void APU::clock_envs() {
    for (int k = 0; k < 3; ++k) envelope[k].clock(cpu->memory[ENVELOPE_REG[k]]);
}

void APU::Envelope::clock(uint8_t reg) {
    if (start) {
        start = 0;
        decay = 15;
        divider = reg & 15;
    } else if (divider != 0) {
        --divider;
    } else {
        divider = reg & 15;
        if (decay != 0) {
            --decay;
        } else if (reg & 0x20) {
            decay = 15;
        }
    }
}

void APU::clock_linear() {
    const uint8_t control = cpu->memory[0x4008];
    if (linear_reload) {
        linear_counter = control & 0x7F;
    } else if (linear_counter != 0) {
        --linear_counter;
    }
    if (!(control & 0x80)) linear_reload = false;
}

void APU::clock_length() {
    const bool halt[4] = {(cpu->memory[0x4000] & 0x20) != 0, (cpu->memory[0x4004] & 0x20) != 0,
                          (cpu->memory[0x4008] & 0x80) != 0, (cpu->memory[0x400C] & 0x20) != 0};
    for (int i = 0; i < 4; ++i) {
        if (!channel_enabled[i]) {
            length_counter[i] = 0;
        } else if (!halt[i] && length_counter[i] != 0) {
            --length_counter[i];
        }
    }
}

void APU::clock_sweep() {
    for (int n = 0; n < 2; ++n) {
        Sweep& sw = sweep[n];
        const uint8_t reg = cpu->memory[0x4001 + 4 * n];
        const int period = pulse_period[n];
        int change = period >> (reg & 7);
        // Pulse 1 negates in ones' complement, pulse 2 in two's complement.
        if (reg & 0x08) change = n == 0 ? -change - 1 : -change;
        const int16_t target = static_cast<int16_t>(period + change);
        sw.mute = period < 8 || target > 2047;

        if (sw.divider != 0 && !sw.reload) {
            --sw.divider;
            continue;
        }
        if (sw.divider == 0 && (reg & 0x80)) pulse_period[n] = target < 0 ? 0 : static_cast<uint16_t>(target);
        sw.divider = (reg >> 4) & 7;
        sw.reload = 0;
    }
}

void APU::pulse(bool n) {
    const int i = n;
    const uint8_t ctrl = cpu->memory[0x4000 + 4 * i];
    const uint8_t sweep_reg = cpu->memory[0x4001 + 4 * i];

    int8_t out = 0;
    const bool muted = ((sweep_reg & 0x80) && sweep[i].mute) || pulse_period[i] <= 7 || length_counter[i] == 0;
    if (!muted) {
        const int8_t volume = static_cast<int8_t>((ctrl & 0x10) ? (ctrl & 15) : envelope[i].decay);
        out = duty_table[ctrl >> 6][pulse_step[i]] ? volume : static_cast<int8_t>(-volume);
    }
    pulse_output[i] = out;

    pulse_timer[i] = static_cast<uint16_t>(next_timer(pulse_timer[i], pulse_period[i] + 1));
    if (pulse_timer[i] == 0) pulse_step[i] = (pulse_step[i] + 1) & 7;
}

void APU::triangle() {
    if (linear_counter != 0 && length_counter[2] != 0 && triangle_period > 1) {
        triangle_output = (triangle_table[triangle_step] - 7.5f) * 2;
    } else {
        triangle_output = 0;
    }
    // The sequencer keeps stepping while the output is silenced.
    triangle_timer = static_cast<uint16_t>(next_timer(triangle_timer, triangle_period + 1));
    if (triangle_timer == 0) triangle_step = (triangle_step + 1) & 31;
}

void APU::noise() {
    const uint8_t mode_period = cpu->memory[0x400E];
    if (noise_timer == 0) {
        const int tap = (mode_period & 0x80) ? (noise_shift >> 6) : (noise_shift >> 1);
        const int feedback = (tap ^ noise_shift) & 1;
        noise_shift = static_cast<uint16_t>(((noise_shift & 0x7FFF) | feedback << 15) >> 1);
    }

    const uint8_t ctrl = cpu->memory[0x400C];
    if (length_counter[3] == 0 || (noise_shift & 1)) {
        noise_output = 0;
    } else {
        noise_output = static_cast<int8_t>((ctrl & 0x10) ? (ctrl & 15) : envelope[2].decay);
    }

    // The period table is in CPU cycles; the timer runs once per APU cycle.
    noise_timer = next_timer(noise_timer, noise_periods[mode_period & 15] / 2);
}

void APU::dmc() {
    if (channel_enabled[4] && dmc_buffer_empty && dmc_bytes_remaining != 0) {
        // Bit 15 of the fetch address is wired high, so fetches stay in
        // $8000-$FFFF (an older state file may hold an address below it).
        dmc_sample_buffer = static_cast<uint8_t>(cpu->read(cpu->location(dmc_address | 0x8000), false));
        dmc_address = static_cast<uint16_t>((dmc_address + 1) | 0x8000);
        if (--dmc_bytes_remaining == 0) {
            const bool loop = dmc_control & 0x40;
            if (loop) start_sample();
            if ((!loop || dmc_bytes_remaining == 0) && (dmc_control & 0x80)) cpu->raise_irq(IRQ_DMC);
        }
        dmc_shift = dmc_sample_buffer;
        dmc_bits_remaining = 8;
        dmc_silence = false;
        dmc_buffer_empty = false;
    }

    if (dmc_timer == 0) {
        if (dmc_direct_load != -1) {
            dmc_output = dmc_direct_load;
            dmc_direct_load = -1;
        } else if (!dmc_silence) {
            play_dmc_bit(dmc_output, dmc_shift);
            dmc_shift >>= 1;
            if (--dmc_bits_remaining == 0) {
                dmc_bits_remaining = 8;
                if (dmc_buffer_empty) {
                    // The sample ran out: the emptied shifter has played eight zero bits.
                    dmc_silence = true;
                    dmc_output = 64;
                } else {
                    dmc_silence = false;
                    dmc_buffer_empty = true;
                }
            }
        }
    }

    // The rate table is in CPU cycles; the timer runs once per APU cycle.
    dmc_timer = next_timer(dmc_timer, dmc_rates[dmc_control & 15] / 2);
}

// ---- The hardware model ----
//
// The DMC's output unit takes the sample buffer whenever it starts eight
// bits; an empty buffer with bytes to go asks the CPU for a DMA, which
// delivers the byte through dmc_fetched. The frame sequencer counts CPU
// cycles from the moment a $4017 write takes effect.

void APU::dmc_output_unit() {
    if (dmc_timer == 0) {
        if (!dmc_silence) play_dmc_bit(dmc_output, dmc_shift);
        dmc_shift >>= 1;
        if (--dmc_bits_remaining <= 0) {
            dmc_bits_remaining = 8;
            dmc_silence = dmc_buffer_empty;
            if (!dmc_buffer_empty) {
                dmc_shift = dmc_sample_buffer;
                dmc_buffer_empty = true;
                request_dmc_fetch();
            }
        }
    }
    dmc_timer = next_timer(dmc_timer, dmc_rates[dmc_control & 15] / 2);
}

void APU::request_dmc_fetch() {
    if (dmc_buffer_empty && dmc_bytes_remaining != 0) cpu->dmc_dma_request = true;
}

void APU::dmc_fetched(uint8_t byte) {
    dmc_sample_buffer = byte;
    dmc_buffer_empty = false;
    dmc_address = static_cast<uint16_t>((dmc_address + 1) | 0x8000);
    if (--dmc_bytes_remaining == 0) {
        if (dmc_control & 0x40) {
            start_sample();
        } else if (dmc_control & 0x80) {
            dmc_irq = true;
            cpu->raise_irq(IRQ_DMC);
        }
    }
}

namespace {

// The hardware sequencer's steps, in CPU cycles from its start: quarter
// frames, half frames, and the interrupt flag, which the 4-step sequence
// sets on its last three cycles (the third is the next sequence's first).
constexpr int64_t STEP_QUARTER_1 = 7457, STEP_HALF_1 = 14913, STEP_QUARTER_3 = 22371;
constexpr int64_t STEP_FLAG = 29828, STEP_HALF_2 = 29829, PERIOD_4 = 29830;
constexpr int64_t STEP_HALF_5 = 37281, PERIOD_5 = 37282;

}  // namespace

int64_t APU::next_frame_step(int64_t from) const {
    static constexpr int64_t FOUR[] = {STEP_QUARTER_1, STEP_HALF_1, STEP_QUARTER_3, STEP_FLAG, STEP_HALF_2, PERIOD_4};
    static constexpr int64_t FIVE[] = {STEP_QUARTER_1, STEP_HALF_1, STEP_QUARTER_3, STEP_HALF_5, PERIOD_5};
    const int64_t r = from - frame_origin;
    int64_t next = frame_origin + ((frame_mode & 0x80) ? PERIOD_5 : PERIOD_4);
    if (frame_mode & 0x80) {
        for (int64_t step : FIVE) {
            if (step >= r) {
                next = frame_origin + step;
                break;
            }
        }
    } else {
        for (int64_t step : FOUR) {
            if (step >= r) {
                next = frame_origin + step;
                break;
            }
        }
    }
    if (frame_irq_line_at >= from) next = std::min(next, frame_irq_line_at);
    return frame_write_at >= from ? std::min(next, frame_write_at) : next;
}

void APU::frame_step(int64_t at) {
    // The interrupt line follows the flag a cycle later.
    if (at == frame_irq_line_at) {
        frame_irq_line_at = -1;
        if (frame_irq) cpu->raise_irq(IRQ_FRAME);
    }
    if (at == frame_write_at) {
        // The write takes effect: the sequence starts again, and the 5-step
        // one clocks every unit at once.
        frame_write_at = -1;
        frame_mode = frame_write_value;
        frame_origin = at;
        if (frame_mode & 0x80) clock_every_unit();
        return;
    }
    const int64_t r = at - frame_origin;
    const bool five = frame_mode & 0x80;
    const bool quarter = r == STEP_QUARTER_1 || r == STEP_HALF_1 || r == STEP_QUARTER_3 ||
                         (!five && r == STEP_HALF_2) || (five && r == STEP_HALF_5);
    const bool half = r == STEP_HALF_1 || (!five && r == STEP_HALF_2) || (five && r == STEP_HALF_5);
    if (quarter) {
        clock_envs();
        clock_linear();
    }
    if (half) {
        clock_length_racing(at);
        clock_sweep();
    }
    if (!five && r >= STEP_FLAG && !(frame_mode & 0x40)) {
        frame_irq = true;
        frame_irq_line_at = at + 1;
    }
    if (r == (five ? PERIOD_5 : PERIOD_4)) frame_origin = at;
}

namespace {

// The halt bit of each length counter's channel register.
constexpr uint16_t HALT_REG[4] = {0x4000, 0x4004, 0x4008, 0x400C};
constexpr uint8_t HALT_BIT[4] = {0x20, 0x20, 0x80, 0x20};

}  // namespace

bool APU::length_clock_at(int64_t at) const {
    if (at == frame_write_at) return frame_write_value & 0x80;
    const int64_t r = at - frame_origin;
    return r == STEP_HALF_1 || r == ((frame_mode & 0x80) ? STEP_HALF_5 : STEP_HALF_2);
}

// A length clock on the cycle of a write to a channel's registers: the
// clock sees the halt bit as it was, and a load of a counter that was not 0
// is lost (one that was 0 loads, unclocked).
void APU::clock_length_racing(int64_t at) {
    if (race.at != at) {
        clock_length();
        return;
    }
    uint8_t* mem = cpu->memory;
    uint8_t kept[4];
    for (int i = 0; i < 4; ++i) {
        kept[i] = length_counter[i];
        if (race.halt_written & (1 << i)) mem[HALT_REG[i]] ^= HALT_BIT[i] & (mem[HALT_REG[i]] ^ race.old_halt[i]);
    }
    clock_length();
    for (int i = 0; i < 4; ++i) {
        if (race.loaded & (1 << i)) length_counter[i] = kept[i];
        if (race.halt_written & (1 << i)) mem[HALT_REG[i]] ^= HALT_BIT[i] & (mem[HALT_REG[i]] ^ race.new_halt[i]);
    }
    race.at = -1;
}

template <bool EXACT>
void APU::run_hardware(int64_t cpu_cycles) {
    for (int64_t at = next_frame_step(sequenced); at < cpu_cycles; at = next_frame_step(sequenced)) {
        channels_to<EXACT>((at + 1) / 2);
        frame_step(at);
        sequenced = at + 1;
    }
    sequenced = std::max(sequenced, cpu_cycles);
    channels_to<EXACT>((cpu_cycles + 1) / 2);
}

template <bool EXACT>
void APU::channels_to(int64_t target) {
    if constexpr (EXACT) {
        while (cycles < target) cycle<Accuracy::hardware>();
    } else {
        run_until<Accuracy::hardware>(target);
    }
}

int64_t APU::next_event_cpu() const {
    int64_t next = std::numeric_limits<int64_t>::max();
    // The interrupt flag, when it can rise: the next of the sequence's last
    // three cycles.
    if (!(frame_mode & 0xC0) && !frame_irq) {
        const int64_t r = sequenced - frame_origin;
        const int64_t step = r <= PERIOD_4 ? std::max(r, STEP_FLAG) : PERIOD_4 + STEP_FLAG;
        next = frame_origin + step + 2;
    }
    if (frame_irq_line_at >= 0) next = std::min(next, frame_irq_line_at + 1);
    if (frame_write_at >= 0) next = std::min(next, frame_write_at + 1);
    // The output unit taking the buffer, which asks for a DMA.
    if (!dmc_buffer_empty && dmc_bytes_remaining != 0) {
        const int m = dmc_rates[dmc_control & 15] / 2;
        const int64_t to_expiry = dmc_timer <= 0 ? -dmc_timer : (dmc_timer >= m ? 1 : m - dmc_timer);
        const int64_t apu_cycle = cycles + to_expiry + int64_t{std::max(dmc_bits_remaining, 1) - 1} * m;
        next = std::min(next, 2 * apu_cycle + 1);
    }
    return next;
}

uint8_t APU::read_status_hardware() {
    uint8_t status = 0;
    for (int i = 0; i < 4; ++i) {
        if (length_counter[i] != 0) status |= static_cast<uint8_t>(1 << i);
    }
    if (dmc_bytes_remaining != 0) status |= 0x10;
    if (frame_irq) status |= 0x40;
    if (dmc_irq) status |= 0x80;
    frame_irq = false;
    cpu->clear_irq(IRQ_FRAME);
    return status;
}

void APU::register_write_hardware(uint16_t address, uint8_t value, int64_t at) {
    switch (address) {
        case 0x4010: {
            // The timer runs out as it would have: a new rate counts from its next reload.
            const int remaining = dmc_timer <= 0 ? -dmc_timer : dmc_rates[dmc_control & 15] / 2 - dmc_timer;
            const int period = dmc_rates[value & 15] / 2;
            dmc_timer = remaining == 0 ? 0 : remaining < period ? period - remaining : -remaining;
            dmc_control = value;
            if (!(value & 0x80)) {
                dmc_irq = false;
                cpu->clear_irq(IRQ_DMC);
            }
            break;
        }
        case 0x4011:
            dmc_output = value & 0x7F;
            break;
        case 0x4015:
            dmc_irq = false;
            cpu->clear_irq(IRQ_DMC);
            register_write(address, value);
            cpu->dmc_dma_request = false;  // a stopped DMC wants no byte
            request_dmc_fetch();
            break;
        case 0x4017:
            // The sequence restarts 3 or 4 CPU cycles after the write cycle
            // (as a read sees it), by the write's place in the APU cycle;
            // the interrupt inhibit acts at once.
            frame_write_value = value;
            frame_write_at = at + ((at & 1) ? 3 : 2);
            frame_mode = static_cast<uint8_t>((frame_mode & 0x80) | (value & 0x40));
            if (value & 0x40) {
                frame_irq = false;
                cpu->clear_irq(IRQ_FRAME);
            }
            break;
        default: {
            const int channel = address < 0x4010 ? (address - 0x4000) >> 2 : -1;
            if (channel < 0 || !length_clock_at(at)) {
                register_write(address, value);
                break;
            }
            if (race.at != at) race = {at, 0, 0, {}, {}};
            if ((address & 3) == 0) {
                race.halt_written |= static_cast<uint8_t>(1 << channel);
                race.old_halt[channel] = cpu->memory[address];
                race.new_halt[channel] = value;
            }
            const uint8_t before = length_counter[channel];
            register_write(address, value);
            if ((address & 3) == 3) {
                if (before != 0)
                    length_counter[channel] = before;  // the load is lost
                else
                    race.loaded |= static_cast<uint8_t>(1 << channel);
            }
            break;
        }
    }
}

void APU::restart_count(int64_t cpu_cycles) {
    frame_origin -= cpu_cycles;
    if (frame_write_at >= 0) frame_write_at -= cpu_cycles;
    if (frame_irq_line_at >= 0) frame_irq_line_at -= cpu_cycles;
    sequenced = 0;
}

template void APU::cycle<Accuracy::standard>();
template void APU::cycle<Accuracy::hardware>();
template void APU::run_until<Accuracy::standard>(int64_t);
template void APU::run_until<Accuracy::hardware>(int64_t);
template void APU::run_hardware<false>(int64_t);
template void APU::run_hardware<true>(int64_t);

void APU::start_sample() {
    dmc_address = dmc_sample_address;
    dmc_bytes_remaining = dmc_sample_length;
}

uint16_t APU::get_pulse_period(bool n) const {
    const int base = 0x4002 + 4 * n;
    return static_cast<uint16_t>((cpu->memory[base + 1] & 7) << 8 | cpu->memory[base]);
}

void APU::set_pulse_period(unsigned short p, bool n) {
    const int base = 0x4002 + 4 * n;
    cpu->memory[base] = static_cast<uint8_t>(p & 0xFF);
    cpu->memory[base + 1] = static_cast<uint8_t>((cpu->memory[base + 1] & 0xF8) | ((p >> 8) & 7));
}

uint8_t APU::length_lookup(unsigned char i) { return LENGTH_TABLE[i & 31]; }

// A disabled channel's length counter stays at 0 whatever is written.
void APU::load_length(int channel, uint8_t value) {
    if (channel_enabled[channel]) length_counter[channel] = length_lookup(value >> 3);
}

void APU::register_write(uint16_t address, uint8_t value) {
    // The CPU stores value after this call: the written register comes from
    // value, the other byte of a register pair from the memory array.
    const uint8_t* mem = cpu->memory;
    const int n = (address >> 2) & 1;  // pulse channel of $4000-$4007
    switch (address) {
        case 0x4001:
        case 0x4005:
            sweep[n].reload = 1;
            break;
        case 0x4002:
        case 0x4006:
            pulse_period[n] = static_cast<uint16_t>((mem[address + 1] & 7) << 8 | value);
            break;
        case 0x4003:
        case 0x4007:
            load_length(n, value);
            envelope[n].start = 1;
            pulse_period[n] = static_cast<uint16_t>((value & 7) << 8 | mem[address - 1]);
            break;
        case 0x400A:
            triangle_period = static_cast<uint16_t>((mem[0x400B] & 7) << 8 | value);
            break;
        case 0x400B:
            triangle_period = static_cast<uint16_t>((value & 7) << 8 | mem[0x400A]);
            load_length(2, value);
            linear_reload = true;
            break;
        case 0x400F:
            load_length(3, value);
            envelope[2].start = 1;
            break;
        case 0x4010:
            dmc_control = value;
            break;
        case 0x4011:
            dmc_direct_load = value;
            break;
        case 0x4012:
            dmc_sample_address = static_cast<uint16_t>(0xC000 | value << 6);
            break;
        case 0x4013:
            dmc_sample_length = static_cast<uint16_t>(value << 4 | 1);
            break;
        case 0x4015:
            for (int i = 0; i < 5; ++i) channel_enabled[i] = (value >> i) & 1;
            for (int i = 0; i < 4; ++i) {
                if (!channel_enabled[i]) length_counter[i] = 0;
            }
            if (!channel_enabled[4]) {
                dmc_bytes_remaining = 0;
            } else if (dmc_bytes_remaining == 0) {
                start_sample();
            }
            break;
        case 0x4017:
            // The next APU cycle is the first of the new sequence.
            frame_origin = cycles - 1;
            if (value & 0x80) clock_every_unit();
            break;
        default:
            break;
    }
}

uint8_t APU::read_status() {
    uint8_t status = 0;
    for (int i = 0; i < 4; ++i) {
        if (length_counter[i] != 0) status |= static_cast<uint8_t>(1 << i);
    }
    frame_irq = false;
    return status;
}

bool APU::take_block(int16_t* out) {
    if (!buffer_ready.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> hold(buffer_lock);
    if (!buffer_ready.load(std::memory_order_relaxed)) return false;
    std::memcpy(out, output_buffer.get(), BUFFER_LEN * sizeof(int16_t));
    buffer_ready.store(false, std::memory_order_relaxed);
    return true;
}

namespace {

// The five channels' sum, in the mix's unit (1.0 is full scale).
float console_level(const APU* apu) {
    const int p =
        (apu->channel_enabled[0] ? apu->pulse_output[0] : 0) + (apu->channel_enabled[1] ? apu->pulse_output[1] : 0);
    const double tri = apu->channel_enabled[2] ? apu->triangle_output * 0.00851 : 0.0;
    const double noi = apu->channel_enabled[3] ? apu->noise_output * 0.00494 : 0.0;
    const double dmc = apu->channel_enabled[4] ? (2 * apu->dmc_output - 128) * 0.00335 : 0.0;
    const float tnd = static_cast<float>((tri + noi) + dmc);
    return static_cast<float>(p * 0.00752 + tnd);
}

int16_t full_scale(float s) {
    const float scaled = s * 32767.0f;
    // A direct-loaded DMC level above 127 (or a loud chip) can drive the sum past full scale: clip, never wrap.
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<int16_t>(scaled);
}

}  // namespace

int16_t mix(APU* apu) { return full_scale(console_level(apu)); }

void APU::run_expansion(int64_t to) {
    if (to <= expansion_at) return;
    expansion->run(2 * (to - expansion_at));
    expansion_at = to;
}

int16_t APU::mix_with_expansion(int64_t to) {
    if (expansion->silent()) return mix(this);
    run_expansion(to);
    return full_scale(console_level(this) + expansion->level());
}

std::size_t APU::read_ring(int16_t* out) {
    const uint64_t w = ring_written.load(std::memory_order_acquire);
    uint64_t r = ring_read;
    if (w - r > RING_LEN) {
        ring_dropped += w - r - RING_LEN;
        r = w - RING_LEN;
    }
    std::size_t n = static_cast<std::size_t>(w - r);
    for (std::size_t k = 0; k < n; ++k) out[k] = ring[(r + k) % RING_LEN].load(std::memory_order_relaxed);
    // The producer may have overwritten the oldest of these while they were
    // copied: a slot claimed for sample c holds sample c - RING_LEN no more.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint64_t claimed = ring_claimed.load(std::memory_order_relaxed);
    if (claimed > r + RING_LEN) {
        const std::size_t lost = static_cast<std::size_t>(std::min<uint64_t>(n, claimed - RING_LEN - r));
        ring_dropped += lost;
        std::memmove(out, out + lost, (n - lost) * sizeof(int16_t));
        n -= lost;
    }
    ring_read = w;
    return n;
}

void APU::discard_undelivered() {
    ring_read = ring_written.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> hold(buffer_lock);
    buffer_ready.store(false, std::memory_order_relaxed);
}

void APU::on_reset() {
    const bool hardware = accuracy == Accuracy::hardware;
    if (hardware)
        register_write_hardware(0x4015, 0, cpu->cycles);
    else
        register_write(0x4015, 0);
    cpu->memory[0x4015] = 0;
    triangle_step = 0;
    dmc_output &= 1;
    frame_irq = false;
    cpu->clear_irq(IRQ_FRAME);
    // The sequence starts again as after a write of the last $4017 value
    // (in the hardware model, one that took effect as the reset sequence began).
    if (hardware) {
        frame_write_at = -1;
        frame_mode = cpu->memory[0x4017] & 0xC0;
        frame_origin = 0;
    } else {
        register_write(0x4017, cpu->memory[0x4017]);
    }
}

// ---- Snapshot ----

namespace {

// A pending cycle of the hardware sequencer, stored as its distance ahead of
// the CPU's count (-1 for none).
void pending_cycle(StateIO& io, int64_t& at, int64_t cpu_cycles, const char* name, int64_t most) {
    int32_t distance = at < 0 ? -1 : static_cast<int32_t>(std::clamp<int64_t>(at - cpu_cycles, 0, most));
    distance = io.num(distance, name, -1, most);
    if (io.mode() == StateIO::Mode::Load) at = distance < 0 ? -1 : cpu_cycles + distance;
}

}  // namespace

// The APU part of a snapshot, taken at one APU cycle per two CPU cycles
// (rounded up).
void APU::state_fields(StateIO& io, int64_t cpu_cycles) {
    io.begin_section("APU ");
    const int64_t counted = io.num(cycles, "apu.cycles", 0, snapshot::MAX_CPU_CYCLES);
    io.require(counted == (cpu_cycles + 1) / 2, "apu.cycles is not half of cpu.cycles (the units are not in step)");
    // The hardware model counts it in CPU cycles, a sequence back at most after a reset.
    io.num(frame_origin, "apu.frame_origin", accuracy == Accuracy::hardware ? -PERIOD_5 : -1, snapshot::MAX_COUNT);
    // At most one sample per APU cycle since the last reset.
    io.require(io.num(samples, "apu.samples", 0, snapshot::MAX_CPU_CYCLES) <= counted,
               "apu.samples exceeds apu.cycles");
    for (std::size_t i = 0; i < BUFFER_LEN; ++i) io.num(sample_buffer[i], "apu.sample_buffer");
    for (bool& on : channel_enabled) io.flag(on, "apu.channel_enabled");
    for (int8_t& out : pulse_output) io.num(out, "apu.pulse_output", -15, 15);
    for (uint8_t& step : pulse_step) io.num(step, "apu.pulse_step", 0, 7);
    for (uint16_t& timer : pulse_timer) io.num(timer, "apu.pulse_timer");
    for (uint16_t& period : pulse_period) io.num(period, "apu.pulse_period");
    io.num(triangle_period, "apu.triangle_period", 0, 0x7FF);
    io.real(triangle_output, "apu.triangle_output", -15.0f, 15.0f);
    io.num(triangle_step, "apu.triangle_step", 0, 31);
    io.num(triangle_timer, "apu.triangle_timer");
    for (APU::Envelope& env : envelope) {
        io.num(env.start, "apu.envelope.start", 0, 1);
        io.num(env.divider, "apu.envelope.divider", 0, 15);
        io.num(env.decay, "apu.envelope.decay", 0, 15);
    }
    io.num(linear_counter, "apu.linear_counter", 0, 127);
    io.flag(linear_reload, "apu.linear_reload");
    io.num(noise_shift, "apu.noise_shift", 0, 0x7FFF);
    io.num(noise_output, "apu.noise_output", 0, 15);
    io.num(noise_timer, "apu.noise_timer", 0, 2033);
    io.num(dmc_output, "apu.dmc_output", 0, 255);
    io.num(dmc_sample_buffer, "apu.dmc_sample_buffer");
    io.num(dmc_control, "apu.dmc_control");
    // Negative in the hardware model: a rate change counts the old period out.
    io.num(dmc_timer, "apu.dmc_timer", -213, 213);
    const bool silent = io.flag(dmc_silence, "apu.dmc_silence");
    io.num(dmc_shift, "apu.dmc_shift");
    // A playing output unit counts its bits down from 8 and reloads at 0; 0 only while silent (at power-on).
    io.require(io.num(dmc_bits_remaining, "apu.dmc_bits_remaining", 0, 8) > 0 || silent,
               "apu.dmc_bits_remaining is 0 while the DMC plays");
    io.flag(dmc_buffer_empty, "apu.dmc_buffer_empty");
    io.num(dmc_sample_address, "apu.dmc_sample_address");
    io.num(dmc_sample_length, "apu.dmc_sample_length", 0, 0xFF1);
    io.num(dmc_direct_load, "apu.dmc_direct_load", -1, 255);
    io.num(dmc_address, "apu.dmc_address");
    io.num(dmc_bytes_remaining, "apu.dmc_bytes_remaining", 0, 0xFF1);
    for (uint8_t& length : length_counter) io.num(length, "apu.length_counter", 0, 254);
    for (APU::Sweep& sw : sweep) {
        io.num(sw.divider, "apu.sweep.divider", 0, 7);
        io.num(sw.reload, "apu.sweep.reload", 0, 1);
        io.num(sw.mute, "apu.sweep.mute", 0, 1);
    }
    io.flag(frame_irq, "apu.frame_irq");
    if (io.version >= 2) {
        // The hardware model's sequencer and DMC interrupt flag.
        io.num(frame_mode, "apu.frame_mode");
        pending_cycle(io, frame_write_at, cpu_cycles, "apu.frame_write_in", 4);
        io.num(frame_write_value, "apu.frame_write_value");
        pending_cycle(io, frame_irq_line_at, cpu_cycles, "apu.frame_irq_line_in", 1);
        io.flag(dmc_irq, "apu.dmc_irq");
        if (io.mode() == StateIO::Mode::Load) sequenced = cpu_cycles;
    }
    // The cartridge's chip keeps its state in the board's part, as at this cycle.
    if (expansion && io.mode() == StateIO::Mode::Save) run_expansion(cycles);
    if (expansion && io.mode() == StateIO::Mode::Load) expansion_at = cycles;
    io.end_section();
}

}  // namespace NES
