// The audio unit driven through the CPU's register writes, as a program drives
// it, and the cartridges' sound chips on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "apu.h"
#include "boards/fme7.h"
#include "boards/mmc5.h"
#include "boards/vrc.h"
#include "console.h"
#include "cpu.h"
#include "cpu_helper.h"

namespace {

class Apu : public ::testing::Test {
protected:
    test::Console con{test::Cart{}};
    NES::APU& apu = *con.apu;
    NES::CPU& cpu = *con.cpu;

    void poke(std::initializer_list<std::pair<uint16_t, uint8_t>> writes) {
        for (auto [address, value] : writes) con.poke(address, value);
    }
    uint8_t status() { return con.peek(0x4015); }
    void run(int64_t n) {
        for (int64_t i = 0; i < n; ++i) apu.cycle();
    }
    void run_until_samples(int64_t n) {
        while (apu.samples < n) apu.cycle();
    }
    void run_until_dmc_remaining(int bytes_left) {
        for (int guard = 0; guard < 1000000 && apu.dmc_bytes_remaining != bytes_left; ++guard) apu.cycle();
        ASSERT_EQ(apu.dmc_bytes_remaining, bytes_left);
    }
    // A five-step $4017 write clocks every unit once: one half frame.
    void half_frame() { poke({{0x4017, 0x80}}); }
    std::vector<int16_t> take() {
        std::vector<int16_t> out(NES::BUFFER_LEN, 0x7F7F);
        if (!apu.take_block(out.data())) out.clear();
        return out;
    }
};

using ApuFrame = Apu;
using ApuSweep = Apu;
using ApuChannels = Apu;
using ApuDmc = Apu;
using ApuSamples = Apu;

int count_of(const std::vector<int16_t>& v, size_t from, size_t to, int16_t value) {
    return static_cast<int>(std::count(v.begin() + from, v.begin() + to, value));
}

TEST_F(Apu, LengthTableAndLoads) {
    const int lengths[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                             12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
    for (int i = 0; i < 32; ++i) EXPECT_EQ(NES::APU::length_lookup(i), lengths[i]) << "index " << i;
    poke({{0x4015, 0x0F}, {0x4003, 0x08}});
    EXPECT_EQ(apu.length_counter[0], 254);
    poke({{0x4003, 0x80}, {0x4007, 0xF8}, {0x400B, 0xD0}, {0x400F, 0x18}});
    EXPECT_EQ(apu.length_counter[0], 12);
    EXPECT_EQ(apu.length_counter[1], 30);
    EXPECT_EQ(apu.length_counter[2], 72);
    EXPECT_EQ(apu.length_counter[3], 2);
    EXPECT_TRUE(apu.linear_reload);
    EXPECT_EQ(apu.envelope[2].start, 1);

    // A disabled channel ignores the load and keeps its counter at 0; the
    // other effects of the write still happen.
    poke({{0x4015, 0x00}, {0x4003, 0x08}, {0x400B, 0x08}});
    for (int i = 0; i < 4; ++i) EXPECT_EQ(apu.length_counter[i], 0) << "channel " << i;
    EXPECT_EQ(apu.pulse_period[0], 0x0000 | (0x08 & 7) << 8 | cpu.memory[0x4002]);
    EXPECT_EQ(apu.envelope[0].start, 1);
}

TEST_F(ApuFrame, FirstCycleIsAHalfFrame) {
    poke({{0x4015, 0x01}, {0x4003, 0x08}});
    run(1);
    EXPECT_EQ(apu.length_counter[0], 253);
    EXPECT_EQ(apu.envelope[0].decay, 15);
    EXPECT_TRUE(apu.frame_irq);
    EXPECT_EQ(status(), 0x01);
    EXPECT_FALSE(apu.frame_irq);
}

TEST_F(ApuFrame, SequencerPointsAfterAWrite) {
    run(1000);
    // Pulse 1 length 254 and triangle linear reload 5, neither halted.
    poke({{0x4015, 0x0F}, {0x4003, 0x08}, {0x4008, 0x05}, {0x400B, 0x08}, {0x4017, 0x00}});
    status();
    const auto at = [&](int64_t cycle_after_write, int length, int linear) {
        run(cycle_after_write - (apu.cycles - 1000));
        EXPECT_EQ(apu.length_counter[0], length) << cycle_after_write;
        EXPECT_EQ(apu.linear_counter, linear) << cycle_after_write;
    };
    // Four-step mode: quarter frames at 3729 and 11187, half frames at 7458 and 14916.
    at(3728, 254, 0);
    at(3729, 254, 5);
    at(7457, 254, 5);
    at(7458, 253, 4);
    at(11187, 253, 3);
    at(14915, 253, 3);
    EXPECT_FALSE(apu.frame_irq);
    at(14916, 252, 2);
    EXPECT_TRUE(apu.frame_irq);

    // Five-step mode: the write clocks everything once; the end moves to 18640, without IRQ.
    status();
    poke({{0x4017, 0x80}});
    EXPECT_EQ(apu.linear_counter, 1);
    const auto length_after = [&](int64_t cycles) { return run(cycles), apu.length_counter[0]; };
    EXPECT_EQ(length_after(0), 251);
    EXPECT_EQ(length_after(7457), 251);
    EXPECT_EQ(length_after(1), 250);
    EXPECT_EQ(length_after(18639 - 7458), 250);
    EXPECT_EQ(length_after(1), 249);
    EXPECT_FALSE(apu.frame_irq);

    // Four-step mode with the IRQ inhibited.
    poke({{0x4017, 0x40}});
    EXPECT_EQ(length_after(14916), 247);
    EXPECT_FALSE(apu.frame_irq);
}

TEST_F(ApuFrame, CpuResetKeepsTheSequencePhase) {
    run(20001);
    poke({{0x4017, 0x00}});  // origin at APU cycle 20000
    cpu.reset();             // APU cycles back to 0
    ASSERT_EQ(apu.cycles, 0);
    poke({{0x4008, 0x05}, {0x400B, 0x00}});
    status();
    // Quarter frame 11187 falls on cycle 1355, the end of the sequence on 5084.
    run(1355);
    EXPECT_EQ(apu.linear_counter, 0);
    run(1);
    EXPECT_EQ(apu.linear_counter, 5);
    run(5084 - 1356);
    EXPECT_FALSE(apu.frame_irq);
    run(1);
    EXPECT_TRUE(apu.frame_irq);
}

TEST_F(ApuFrame, LengthHaltAndEnvelope) {
    // Pulse 1 halted by bit 5, the triangle by bit 7; bit 7 does not halt the noise.
    poke({{0x4015, 0x0F}, {0x4000, 0x20}, {0x4003, 0x08}, {0x4007, 0x08}});
    poke({{0x4008, 0x80}, {0x400B, 0x08}, {0x400C, 0x80}, {0x400F, 0x08}});
    apu.channel_enabled[1] = false;  // disabled without the $4015 side effect
    half_frame();
    EXPECT_EQ(apu.length_counter[0], 254);
    EXPECT_EQ(apu.length_counter[1], 0);
    EXPECT_EQ(apu.length_counter[2], 254);
    EXPECT_EQ(apu.length_counter[3], 253);

    // Envelope period 1 with loop: one level per two clocks, 0 wraps to 15.
    poke({{0x4000, 0x21}, {0x4003, 0x00}});
    half_frame();
    std::vector<int> levels;
    for (int i = 0; i < 32; ++i) levels.push_back((apu.clock_envs(), apu.envelope[0].decay));
    EXPECT_EQ(std::vector<int>({levels[0], levels[1], levels[2], levels[29], levels[30], levels[31]}),
              std::vector<int>({15, 14, 14, 0, 0, 15}));
}

TEST_F(ApuSweep, PeriodChanges) {
    poke({{0x4002, 100}, {0x4003, 0x00}, {0x4001, 0x81}});
    half_frame();
    EXPECT_EQ(apu.pulse_period[0], 150);
    half_frame();
    EXPECT_EQ(apu.pulse_period[0], 225);

    // Negate: ones' complement on pulse 1, two's complement on pulse 2.
    poke({{0x4002, 100}, {0x4003, 0x00}, {0x4001, 0x89}, {0x4006, 100}, {0x4007, 0x00}, {0x4005, 0x89}});
    half_frame();
    EXPECT_EQ(apu.pulse_period[0], 49);
    EXPECT_EQ(apu.pulse_period[1], 50);

    // Shift 0 doubles, or with negate clamps to 0.
    poke({{0x4002, 100}, {0x4001, 0x80}});
    half_frame();
    EXPECT_EQ(apu.pulse_period[0], 200);
    poke({{0x4001, 0x88}});
    half_frame();
    EXPECT_EQ(apu.pulse_period[0], 0);

    // Divider period 2: an update every third half frame; a $4001 write restarts the divider.
    poke({{0x4002, 100}, {0x4003, 0x00}, {0x4001, 0xA1}});
    std::vector<int> periods;
    for (int i = 0; i < 9; ++i) {
        if (i == 5) poke({{0x4001, 0xA1}});
        half_frame();
        periods.push_back(apu.pulse_period[0]);
    }
    EXPECT_EQ(periods, (std::vector<int>{150, 150, 150, 225, 225, 225, 225, 225, 337}));

    apu.set_pulse_period(0x345, true);
    EXPECT_EQ(cpu.memory[0x4006], 0x45);
    EXPECT_EQ(apu.get_pulse_period(true), 0x345);
}

TEST_F(ApuChannels, PulseOutputAndMuting) {
    // Duty 2 (half), halt, constant volume 15, period 8: nine calls per duty step.
    poke({{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 8}, {0x4003, 0x08}});
    int high = 0, low = 0;
    for (int i = 0; i < 8 * 9; ++i) {
        apu.pulse(false);
        high += apu.pulse_output[0] == 15;
        low += apu.pulse_output[0] == -15;
    }
    EXPECT_EQ(high, 36);
    EXPECT_EQ(low, 36);

    poke({{0x4002, 7}});
    for (int i = 0; i < 64; ++i) {
        apu.pulse(false);
        ASSERT_EQ(apu.pulse_output[0], 0);
    }

    // Period 2000 with shift 1: the target overflows, which mutes only with the sweep enabled.
    poke({{0x4002, 0xD0}, {0x4003, 0x0F}, {0x4001, 0x01}});
    half_frame();
    apu.pulse(false);
    EXPECT_NE(apu.pulse_output[0], 0);
    poke({{0x4001, 0x81}});
    apu.pulse(false);
    EXPECT_EQ(apu.pulse_output[0], 0);
}

TEST_F(ApuChannels, Triangle) {
    poke({{0x4015, 0x04}, {0x4008, 0xFF}, {0x400B, 0x08}});
    half_frame();  // loads the linear counter
    ASSERT_EQ(apu.linear_counter, 127);
    for (uint8_t period : {0, 1}) {
        poke({{0x400A, period}});
        const int step = apu.triangle_step;
        for (int i = 0; i < 10; ++i) {
            apu.triangle();
            ASSERT_EQ(apu.triangle_output, 0.0f);
        }
        EXPECT_NE(apu.triangle_step, step);  // the sequencer keeps running
    }
    // The timer runs at the CPU rate: two steps per APU cycle at period 0.
    poke({{0x400A, 0}});
    apu.triangle_step = 0;
    run(5);
    EXPECT_EQ(apu.triangle_step, 10);

    poke({{0x400A, 2}});
    apu.triangle_step = 0;
    apu.triangle();
    EXPECT_EQ(apu.triangle_output, 15.0f);
    apu.triangle_step = 16;
    apu.triangle();
    EXPECT_EQ(apu.triangle_output, -15.0f);
}

TEST_F(ApuChannels, Noise) {
    // From power-on (seed 1, period 4) the register shifts at APU cycles 1, 3, 5.
    for (int shift : {0x4000, 0x2000, 0x1000}) {
        run(apu.cycles ? 2 : 1);
        EXPECT_EQ(apu.noise_shift, shift);
    }

    // From seed 1 the long mode repeats after 32767 shifts, the short mode after 93.
    for (uint8_t mode : {0x00, 0x80}) {
        poke({{0x400E, mode}});
        apu.noise_shift = 1;
        apu.noise_timer = 0;
        int shifts = 0;
        do {
            apu.noise();
            apu.noise();
            ++shifts;
        } while (apu.noise_shift != 1 && shifts < 40000);
        EXPECT_EQ(shifts, mode ? 93 : 32767);
    }

    // Constant volume 10, heard while bit 0 of the register is clear.
    poke({{0x4015, 0x08}, {0x400C, 0x3A}, {0x400F, 0x08}});
    int loud = 0;
    for (int i = 0; i < 200; ++i) {
        apu.noise();
        ASSERT_EQ(apu.noise_output, (apu.noise_shift & 1) ? 0 : 10);
        loud += apu.noise_output == 10;
    }
    EXPECT_GT(loud, 0);
    EXPECT_LT(loud, 200);
}

TEST_F(ApuDmc, LevelFollowsSampleBitsThenFallsSilent) {
    cpu.memory[0xC000] = 0xFF;
    // Fastest rate (an output clock every 27 APU cycles), one byte at $C000.
    poke({{0x4010, 0x0F}, {0x4012, 0x00}, {0x4013, 0x00}, {0x4015, 0x10}});
    EXPECT_EQ(apu.dmc_address, 0xC000);
    EXPECT_EQ(apu.dmc_bytes_remaining, 1);
    const auto level_after = [&](int64_t cycles) { return run(cycles), apu.dmc_output; };
    EXPECT_EQ(level_after(1), 2);
    EXPECT_EQ(apu.dmc_bytes_remaining, 0);
    EXPECT_EQ(level_after(27 * 7), 16);
    // The emptied shifter plays eight zero bits, then the channel rests at 64.
    EXPECT_EQ(level_after(27 * 7), 2);
    EXPECT_EQ(level_after(27), 64);
    EXPECT_TRUE(apu.dmc_silence);
    EXPECT_EQ(level_after(27 * 10), 64);
    EXPECT_FALSE(cpu.irq_pending);

    // A direct load takes the next output clock; rising bits stop at 126.
    poke({{0x4011, 124}, {0x4015, 0x10}});
    EXPECT_EQ(level_after(26), 64);
    EXPECT_EQ(level_after(1), 124);
    EXPECT_EQ(apu.dmc_direct_load, -1);
    EXPECT_EQ(level_after(27 * 8), 126);
}

TEST_F(ApuDmc, AddressWrapsToBankStart) {
    cpu.memory[0xFFFF] = 0xA5;
    cpu.memory[0x8000] = 0x3C;
    poke({{0x4010, 0x0F}, {0x4012, 0xFF}, {0x4013, 0x04}, {0x4015, 0x10}});  // 65 bytes from $FFC0
    EXPECT_EQ(apu.dmc_address, 0xFFC0);
    run_until_dmc_remaining(1);
    EXPECT_EQ(apu.dmc_sample_buffer, 0xA5);
    EXPECT_EQ(apu.dmc_address, 0x8000);
    run_until_dmc_remaining(0);
    EXPECT_EQ(apu.dmc_sample_buffer, 0x3C);
    EXPECT_EQ(apu.dmc_address, 0x8001);
}

TEST_F(ApuDmc, FetchesStayInProgramSpace) {
    // With $4012 never written the sample starts at $C000.
    cpu.memory[0xC000] = 0x81;
    poke({{0x4010, 0x0F}, {0x4013, 0x00}, {0x4015, 0x10}});
    run_until_dmc_remaining(0);
    EXPECT_EQ(apu.dmc_sample_buffer, 0x81);
    // An address below $8000 (from an older state file) fetches with bit 15 set, not from a register.
    cpu.memory[0xC015] = 0x42;
    apu.dmc_address = 0x4015;
    apu.dmc_bytes_remaining = 1;
    apu.dmc_buffer_empty = true;
    run_until_dmc_remaining(0);
    EXPECT_EQ(apu.dmc_sample_buffer, 0x42);
    EXPECT_EQ(apu.dmc_address, 0xC016);
}

TEST(ApuDmcLoop, LoopAndInterrupt) {
    struct Case {
        uint8_t control;
        bool irq, looped;
    };
    for (Case c : {Case{0x4F, false, true}, Case{0x8F, true, false}, Case{0xCF, false, true}, Case{0x0F, 0, 0}}) {
        test::Console con{test::Cart{}};
        con.cpu->memory[0xC010] = 0x55;
        con.poke(0x4010, c.control);
        con.poke(0x4012, 0x00);
        con.poke(0x4013, 0x01);  // 17 bytes from $C000
        con.poke(0x4015, 0x10);
        // The 17th byte is fetched at APU cycle 3430; a looped first byte would follow at 3646.
        for (int i = 0; i < 3500; ++i) con.apu->cycle();
        EXPECT_EQ(con.apu->dmc_sample_buffer, 0x55) << int(c.control);
        EXPECT_EQ(con.cpu->irq_pending, c.irq) << int(c.control);
        EXPECT_EQ(con.apu->dmc_bytes_remaining, c.looped ? 17 : 0) << int(c.control);
        EXPECT_EQ(con.apu->dmc_address, c.looped ? 0xC000 : 0xC011) << int(c.control);
    }
}

TEST_F(Apu, StatusReadAndWrite) {
    poke({{0x4015, 0x1F}, {0x4003, 0x08}, {0x4007, 0x08}, {0x400B, 0x08}, {0x400F, 0x08}, {0x4013, 0x01}});
    EXPECT_EQ(apu.dmc_bytes_remaining, 0);  // enabled before the length was set
    poke({{0x4015, 0x1F}});
    EXPECT_EQ(apu.dmc_bytes_remaining, 17);
    apu.frame_irq = true;
    EXPECT_EQ(status(), 0x0F);  // DMC activity and the IRQ flag are not reported
    EXPECT_FALSE(apu.frame_irq);

    run(1);
    EXPECT_EQ(apu.dmc_bytes_remaining, 16);
    poke({{0x4015, 0x1F}});  // a running sample is not restarted
    EXPECT_EQ(apu.dmc_bytes_remaining, 16);

    poke({{0x4015, 0x15}});
    EXPECT_EQ(status(), 0x05);
    poke({{0x4015, 0x00}});
    EXPECT_EQ(status(), 0x00);
    EXPECT_EQ(apu.dmc_bytes_remaining, 0);
}

TEST(ApuMix, FixedValues) {
    NES::APU a;
    a.pulse_output[0] = 15;
    a.pulse_output[1] = -15;
    a.triangle_output = 15;
    a.noise_output = 15;
    EXPECT_EQ(NES::mix(&a), 0);  // all disabled

    const auto alone = [&](int channel) {
        std::fill(std::begin(a.channel_enabled), std::end(a.channel_enabled), false);
        a.channel_enabled[channel] = true;
        return NES::mix(&a);
    };
    EXPECT_EQ(alone(4), -14050);
    a.dmc_output = 64;
    EXPECT_EQ(alone(4), 0);
    EXPECT_EQ(alone(0), 3696);
    EXPECT_EQ(alone(2), 4182);
    EXPECT_EQ(alone(3), 2428);
    alone(0);
    a.channel_enabled[1] = true;
    EXPECT_EQ(NES::mix(&a), 0);  // opposite pulses cancel

    // The extremes of the 0..127 level range, and clipping above it.
    std::fill(std::begin(a.channel_enabled), std::end(a.channel_enabled), true);
    a.pulse_output[1] = 15;
    a.dmc_output = 127;
    EXPECT_EQ(NES::mix(&a), 27833);
    a.pulse_output[0] = a.pulse_output[1] = -15;
    a.triangle_output = -15;
    a.noise_output = 0;
    a.dmc_output = 0;
    EXPECT_EQ(NES::mix(&a), -25625);
    EXPECT_EQ(alone(4), -14050);
    a.dmc_output = 255;
    EXPECT_EQ(alone(4), 32767);
    a.dmc_output = 200;
    EXPECT_EQ(alone(4), 29857);
}

TEST_F(ApuSamples, ScheduleRateAndRegisterPath) {
    EXPECT_EQ(apu.apu_rate, 894886);
    // Pulse 1 at constant volume 15 and period 253.
    poke({{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 0xFD}, {0x4003, 0x00}});
    run(21);
    EXPECT_EQ(apu.samples, 0);
    run(1);
    EXPECT_EQ(apu.samples, 1);
    run_until_samples(1025);
    const auto block = take();
    ASSERT_EQ(block.size(), NES::BUFFER_LEN);
    EXPECT_EQ(count_of(block, 0, 1024, 3696) + count_of(block, 0, 1024, -3696), 1024);
    EXPECT_GT(count_of(block, 0, 1024, 3696), 400);

    run_until_samples(44100);
    EXPECT_GE(apu.cycles, 894886);
    EXPECT_LE(apu.cycles, 894886 + 21);

    // A clock too slow for an APU rate produces no samples (and divides by nothing).
    cpu.clock_hz = 1;
    apu.setCPU(&cpu);
    run(100);
    EXPECT_EQ(apu.samples, 44100);
}

TEST_F(ApuSamples, BlockHandOver) {
    EXPECT_TRUE(take().empty());
    run_until_samples(1);
    const auto first = take();
    EXPECT_EQ(count_of(first, 0, 1024, 0), 1024);
    EXPECT_TRUE(take().empty());

    poke({{0x4015, 0x10}});  // lone DMC at level 0
    run_until_samples(1024);
    EXPECT_TRUE(take().empty());
    run_until_samples(1025);
    const auto second = take();
    ASSERT_EQ(second.size(), NES::BUFFER_LEN);
    EXPECT_EQ(second[0], 0);
    EXPECT_EQ(count_of(second, 1, 1024, -14050), 1023);
}

TEST_F(ApuSamples, SlowHostLosesWholeBlocks) {
    // Not drained until the 2049th sample: samples 1024..2047 arrive, 0..1023 are lost.
    poke({{0x4015, 0x10}});
    run_until_samples(1536);
    poke({{0x4015, 0x00}});
    run_until_samples(2048);
    poke({{0x4015, 0x10}});
    run_until_samples(2049);
    const auto block = take();
    ASSERT_EQ(block.size(), NES::BUFFER_LEN);
    EXPECT_EQ(count_of(block, 0, 512, -14050), 512);
    EXPECT_EQ(count_of(block, 512, 1024, 0), 512);
    EXPECT_TRUE(take().empty());
}

TEST_F(ApuSamples, HandOverAndTakeHoldTheBufferLock) {
    run_until_samples(1);
    take();
    poke({{0x4015, 0x10}});
    run_until_samples(1024);  // the next sample publishes samples 0..1023
    std::atomic<bool> published{false}, taken{false};
    {
        std::unique_lock<std::mutex> hold(apu.buffer_lock);
        std::thread producer([&] {
            run_until_samples(1025);
            published = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(published);  // waits at the hand-over, before writing sample 1024
        EXPECT_FALSE(apu.buffer_ready);
        hold.unlock();
        producer.join();
    }
    std::vector<int16_t> out(NES::BUFFER_LEN);
    {
        std::unique_lock<std::mutex> hold(apu.buffer_lock);
        std::thread host([&] { taken = apu.take_block(out.data()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(taken);
        hold.unlock();
        host.join();
    }
    EXPECT_TRUE(taken);
    EXPECT_EQ(count_of(out, 1, 1024, -14050), 1023);
}

// ---- Cartridge sound chips ----

// Uneven stretches of cycles, as the APU hands them, leave a chip as the
// same cycles run one at a time do.
template <typename Chip>
void expect_stretches_match(Chip chip) {
    Chip stretched = chip;
    int mismatches = 0;
    for (int round = 0; round < 4; ++round) {
        for (int64_t n : {1, 7, 16, 333, 4099, 65541, 3, 120000}) {
            for (int64_t i = 0; i < n; ++i) chip.run(1);
            stretched.run(n);
            std::vector<uint8_t> a, b;  // every field of each
            NES::StateIO save_a(a), save_b(b);
            chip.snapshot(save_a);
            stretched.snapshot(save_b);
            mismatches += a != b;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(CartridgeSound, StretchesMatchSingleCycles) {
    // Squares A and B, noise on B, B by the envelope (alternating ramps), C a level.
    constexpr uint8_t FIVE_B[][2] = {{0, 77}, {2, 44},   {3, 1},  {6, 5},  {7, 0x2C},
                                     {8, 15}, {9, 0x10}, {10, 9}, {11, 3}, {13, 0x0A}};
    NES::Sunsoft5B five_b;
    for (const auto& w : FIVE_B) five_b.select = w[0], five_b.write(w[1]);
    expect_stretches_match(five_b);
    // Pulse 2's period shifted to 0, the sawtooth's accumulator overflowing.
    constexpr uint8_t VRC6[][3] = {{0, 0, 0x39}, {0, 1, 0x23}, {0, 2, 0x81}, {1, 1, 7},   {1, 2, 0x80},
                                   {0, 3, 2},    {2, 0, 63},   {2, 1, 50},   {2, 2, 0x80}};
    NES::Vrc6Sound vrc6;
    for (const auto& w : VRC6) vrc6.write(w[0], w[1], w[2]);
    expect_stretches_match(vrc6);
    // Pulse 1's envelope looping, pulse 2's decaying at period 3 until its length runs out.
    constexpr uint8_t MMC5[][2] = {{0x15, 3}, {0, 0x62}, {2, 0x23}, {3, 9}, {4, 0x85}, {6, 3}, {7, 0}, {0x11, 0x40}};
    NES::Mmc5Sound mmc5;
    for (const auto& w : MMC5) mmc5.write(w[0], w[1]);
    expect_stretches_match(mmc5);
}

}  // namespace
