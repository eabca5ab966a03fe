// The audio processing unit: two pulses, triangle, noise, delta modulation,
// the frame sequencer, and the mixing into 16-bit sample blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "glob_const.h"

namespace NES {

class CPU;
class ExpansionSound;
class StateIO;

class APU {
public:
    struct Envelope {
        uint8_t start = 0;
        uint8_t divider = 0;
        uint8_t decay = 0;
        // A quarter-frame clock, reg being the channel's volume register
        // (its bit 5 loops the decay).
        void clock(uint8_t reg);
    };
    struct Sweep {
        uint8_t divider = 0;
        uint8_t reload = 0;
        uint8_t mute = 0;
    };

    std::chrono::steady_clock::time_point start_time = std::chrono::steady_clock::now();
    int64_t cycles = 0;                        // APU cycles (one per two CPU cycles)
    int64_t frame_origin = 0;                  // APU cycle the frame sequencer counts from
    std::unique_ptr<int16_t[]> sample_buffer;  // the block being filled
    std::unique_ptr<int16_t[]> output_buffer;  // the last completed block
    std::atomic<bool> buffer_ready{false};
    std::mutex buffer_lock;  // guards output_buffer and buffer_ready against the host's reader
    int apu_rate = 0;        // APU cycles per emulated second
    CPU* cpu = nullptr;
    int64_t samples = 0;           // samples produced since construction
    bool channel_enabled[5] = {};  // pulse 1, pulse 2, triangle, noise, DMC
    int8_t pulse_output[2] = {};
    uint8_t duty_table[4][8] = {
        {0, 1, 0, 0, 0, 0, 0, 0},
        {0, 1, 1, 0, 0, 0, 0, 0},
        {0, 1, 1, 1, 1, 0, 0, 0},
        {1, 0, 0, 1, 1, 1, 1, 1},
    };
    uint8_t pulse_step[2] = {};
    uint16_t pulse_timer[2] = {};
    uint16_t pulse_period[2] = {};
    uint16_t triangle_period = 0;
    uint8_t triangle_table[32] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5,  4,  3,  2,  1,  0,
                                  0,  1,  2,  3,  4,  5,  6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    float triangle_output = 0;
    uint8_t triangle_step = 0;
    uint16_t triangle_timer = 0;
    Envelope envelope[3];  // pulse 1, pulse 2, noise
    uint8_t linear_counter = 0;
    bool linear_reload = false;
    uint16_t noise_shift = 1;
    int8_t noise_output = 0;
    int noise_periods[16] = {4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068};  // CPU cycles
    int noise_timer = 0;
    int dmc_output = 0;
    uint8_t dmc_sample_buffer = 0;
    uint8_t dmc_control = 0;
    uint16_t dmc_rates[16] = {428, 380, 340, 320, 286, 254, 226, 214,
                              190, 160, 142, 128, 106, 84,  72,  54};  // CPU cycles
    int dmc_timer = 0;
    bool dmc_silence = true;
    uint8_t dmc_shift = 0;
    int dmc_bits_remaining = 0;
    bool dmc_buffer_empty = true;
    uint16_t dmc_sample_address = 0xC000;  // $4012 holding 0
    uint16_t dmc_sample_length = 0;
    int dmc_direct_load = -1;
    uint16_t dmc_address = 0xC000;
    int dmc_bytes_remaining = 0;
    uint8_t length_counter[4] = {};  // pulse 1, pulse 2, triangle, noise
    Sweep sweep[2];
    bool frame_irq = false;
    int sample_rate = 0;
    Accuracy accuracy = Accuracy::standard;  // fixed before the cartridge goes in

    APU();
    ~APU();

    void setCPU(CPU* cpu);
    // One APU cycle of the exact path; the hardware model's leaves the frame
    // sequencer to run_hardware.
    template <Accuracy A = Accuracy::standard>
    void cycle();
    void func_frame_counter();
    // The quarter- and half-frame clocks at once (a write of the 5-step mode).
    void clock_every_unit();
    void clock_envs();
    void clock_linear();
    void clock_length();
    void clock_sweep();
    void pulse(bool n);
    void triangle();
    void noise();
    void dmc();
    void start_sample();
    uint16_t get_pulse_period(bool n) const;
    void set_pulse_period(unsigned short p, bool n);
    static uint8_t length_lookup(unsigned char i);
    // The length-counter load of a $4003/$4007/$400B/$400F write.
    void load_length(int channel, uint8_t value);

    // Fast path: runs APU cycles until `cycles` reaches target, with the same
    // result as that many calls of cycle(); the registers must not change
    // meanwhile (the CPU brings the APU up to date before it writes them).
    template <Accuracy A = Accuracy::standard>
    void run_until(int64_t target);
    // Whether the DMC may request an interrupt before a register changes:
    // interrupts enabled, no loop, and a sample playing.
    bool may_request_irq() const;

    // Effects of a CPU write to an APU register ($4000-$4013, $4015, $4017),
    // called by the memory map after the value is known.
    void register_write(uint16_t address, uint8_t value);
    // The $4015 status read: length counters in bits 0-3; clears frame_irq.
    uint8_t read_status();
    // ---- The hardware model ----
    // The frame sequencer: its mode ($4017 bits 7 and 6) in effect, the CPU
    // cycle its sequence counts from, a write waiting to take effect, and the
    // CPU cycle count it has run to.
    uint8_t frame_mode = 0;
    int64_t frame_write_at = -1;
    uint8_t frame_write_value = 0;
    int64_t sequenced = 0;
    int64_t frame_irq_line_at = -1;  // the CPU cycle the interrupt line follows a raised flag
    bool dmc_irq = false;            // the DMC's interrupt flag
    // Brings the APU to a CPU cycle count: the channels (EXACT: one APU cycle
    // at a time) and the sequencer's steps, in their order.
    template <bool EXACT>
    void run_hardware(int64_t cpu_cycles);
    // The CPU cycle count by which the CPU must have brought the APU up to
    // date for an interrupt or a DMA request to come on time.
    int64_t next_event_cpu() const;
    uint8_t read_status_hardware();
    void register_write_hardware(uint16_t address, uint8_t value, int64_t at);
    // The sample byte a DMC DMA read.
    void dmc_fetched(uint8_t byte);
    // The CPU's cycle count starts again from 0 (a reset).
    void restart_count(int64_t cpu_cycles);

    // Takes the last completed block if one is waiting: copies it into out
    // (BUFFER_LEN samples) and returns true; otherwise returns false.
    bool take_block(int16_t* out);

    // ---- Sample delivery ----
    // Every sample also goes into a ring of one second, which a single reader
    // empties with read_ring; the oldest samples are overwritten (and counted
    // as dropped) when the reader falls more than a second behind.
    static constexpr std::size_t RING_LEN = 44100;
    std::unique_ptr<std::atomic<int16_t>[]> ring = std::make_unique<std::atomic<int16_t>[]>(RING_LEN);
    std::atomic<uint64_t> ring_claimed{0};  // samples whose slot the producer has started to write
    std::atomic<uint64_t> ring_written{0};  // samples completely written
    uint64_t ring_read = 0;                 // the reader's position
    uint64_t ring_dropped = 0;              // samples overwritten before the reader took them

    // Hands one mixed sample over: into the block being filled (publishing
    // the completed block first when a new one begins) and into the ring.
    void emit_sample(int16_t s) {
        const std::size_t i = static_cast<uint64_t>(samples) % BUFFER_LEN;
        if (i == 0) {
            // Publish the completed block whole; the host copies it under the same lock.
            std::lock_guard<std::mutex> hold(buffer_lock);
            std::memcpy(output_buffer.get(), sample_buffer.get(), BUFFER_LEN * sizeof(int16_t));
            buffer_ready.store(true, std::memory_order_release);
        }
        sample_buffer[i] = s;
        ++samples;
        const uint64_t w = ring_written.load(std::memory_order_relaxed);
        ring_claimed.store(w + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        ring[w % RING_LEN].store(s, std::memory_order_relaxed);
        ring_written.store(w + 1, std::memory_order_release);
    }
    // Moves the samples written since the last call (at most RING_LEN) into
    // out, which holds RING_LEN samples, and returns their count. One reader
    // at a time; safe while the producer runs.
    std::size_t read_ring(int16_t* out);
    // Forgets every sample not yet handed out, by read_ring and take_block alike.
    void discard_undelivered();
    // The console's reset button: $4015 written with 0 (every channel
    // silenced), the triangle back at its first step, the DMC level kept to
    // its lowest bit, the frame sequencer restarted as by a $4017 write.
    void on_reset();
    // This unit's part of a snapshot, in step with the CPU's cycle count.
    void state_fields(StateIO& io, int64_t cpu_cycles);

    // The cartridge's sound chip, if it has one (set at insertion), and the
    // APU cycle it has run to. Only its samples take the path that runs and
    // mixes it; the chip's state is the board's.
    ExpansionSound* expansion = nullptr;
    int64_t expansion_at = 0;
    // Runs the chip on to APU cycle `to` (2 CPU cycles each).
    void run_expansion(int64_t to);

private:
    // A sample with the chip's output, the chip run to APU cycle `to`.
    int16_t mix_with_expansion(int64_t to);
    // The cycle at which the next sample falls due, kept from sample to
    // sample without a division.
    struct SampleDue {
        int64_t samples = -2;  // the sample count it was worked out for
        int apu_rate = 0, sample_rate = 0;
        int64_t cycle = 0, excess = 0;
    } due;
    int64_t next_sample_cycle();
    // The cycle of the next frame-sequencer step, worked out at cycle `from`
    // for a frame origin and mode.
    struct StepDue {
        int64_t from = 0;
        int64_t cycle = -1;
        int64_t origin = 0;
        bool five_step = false;
    } step_due;
    template <Accuracy A>
    int64_t next_busy_cycle();
    template <bool EXACT>
    void channels_to(int64_t target);
    void dmc_output_unit();
    void request_dmc_fetch();
    int64_t next_frame_step(int64_t from) const;
    void frame_step(int64_t at);
    bool length_clock_at(int64_t at) const;
    void clock_length_racing(int64_t at);
    // Writes to the channels' registers on the cycle of a length clock.
    struct LengthRace {
        int64_t at = -1;
        uint8_t halt_written = 0;  // one bit per channel
        uint8_t loaded = 0;        // counters loaded from 0, which the clock leaves
        uint8_t old_halt[4] = {}, new_halt[4] = {};
    } race;
    void quiet_run(int64_t end);
};

// The current mixed sample of the five channels.
int16_t mix(APU* apu);

}  // namespace NES
