// The fast paths beside the exact ones: the same inputs must leave every
// field of every unit the same.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "console.h"
#include "cpu_helper.h"
#include "ppu.h"
#include "same_state.h"
#include "workload.h"

namespace {

// Two PPUs of a model with their own register bytes, changed in the same way.
template <NES::Accuracy A>
struct PpuPair {
    NES::PPU exact, fast;
    uint8_t regs[2][9] = {};

    PpuPair() {
        exact.accuracy = fast.accuracy = A;
        for (int i = 0; i < 9; ++i) {
            exact.register_ptrs[i] = &regs[0][i];
            fast.register_ptrs[i] = &regs[1][i];
        }
    }
    template <typename F>
    void both(F change) {
        change(exact, regs[0]);
        change(fast, regs[1]);
    }
    // With read_status, the fast PPU first answers what PPUSTATUS holds at
    // the end, predicting rather than drawing where it can.
    void run(int64_t dots, bool read_status) {
        const int64_t target = fast.cycles + dots;
        const uint8_t predicted = read_status ? fast.template status_at<A>(target) : 0;
        for (int64_t i = 0; i < dots; ++i) exact.template cycle<A>();
        fast.template run_until<A>(target);
        if (read_status) {
            EXPECT_EQ(predicted, regs[0][2]) << "PPUSTATUS at line " << exact.scanline << " dot " << exact.dot;
        }
    }
};

template <NES::Accuracy A>
void expect_spans_match_dots() {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        test::Rng rng(seed);
        auto pair = std::make_unique<PpuPair<A>>();
        for (uint8_t& b : pair->exact.memory) b = rng.byte();
        for (uint8_t& b : pair->exact.oam) b = rng.byte();
        std::memcpy(pair->fast.memory, pair->exact.memory, sizeof pair->fast.memory);
        std::memcpy(pair->fast.oam, pair->exact.oam, sizeof pair->fast.oam);
        for (int step = 0; step < 8000; ++step) {
            // Dots to run: a few, a span of a line, or several lines.
            const int kind = rng.below(10);
            const int64_t dots = kind < 7 ? rng.below(12) + 1 : kind < 9 ? rng.below(700) + 1 : rng.below(30000) + 1;
            pair->run(dots, kind == 1 || kind == 7);
            const std::string diff = test::differing_fields(pair->exact, pair->fast);
            ASSERT_EQ(diff, "") << "seed " << seed << " step " << step << " at line " << pair->exact.scanline << " dot "
                                << pair->exact.dot;
            // A register or memory change, as the CPU would make between spans.
            const uint32_t what = rng.next(), value = rng.next();
            pair->both([&](NES::PPU& p, uint8_t* regs) {
                switch (what % 11) {
                    case 0:
                        regs[0] = static_cast<uint8_t>(value);
                        break;
                    case 1:
                    case 2:  // mostly rendering, with every left-column and layer choice
                        regs[1] = static_cast<uint8_t>(value | ((value >> 8) % 4 ? 0x18 : 0));
                        break;
                    case 3:
                        p.x = value & 7;
                        break;
                    case 4:
                        p.v = static_cast<uint16_t>(value & 0x7FFF);
                        break;
                    case 5:
                        p.t = static_cast<uint16_t>(value & 0x7FFF);
                        break;
                    case 6:
                        p.oam[value & 0xFF] = static_cast<uint8_t>(value >> 8);
                        break;
                    case 7:
                        p.memory[0x3F00 | (value & 0x1F)] = static_cast<uint8_t>(value >> 8);
                        break;
                    case 8:  // status flags cleared, so that the next hit or overflow shows
                        regs[2] = 0;
                        break;
                    case 9:  // sprite 0 somewhere on the picture, near an edge column
                        p.oam[0] = static_cast<uint8_t>((value >> 8) % 239);
                        p.oam[3] = static_cast<uint8_t>(value & 1 ? 248 + (value >> 1) % 8 : (value >> 1) % 8);
                        break;
                    default:
                        p.mirroring = static_cast<int>(value % 5);
                        break;
                }
            });
        }
    }
}

TEST(FastPath, PpuSpansMatchDotByDot) {
    expect_spans_match_dots<NES::Accuracy::standard>();
    expect_spans_match_dots<NES::Accuracy::hardware>();
}

TEST(FastPath, ApuBulkCyclesMatchCycleByCycle) {
    // Program bytes serve as DMC samples.
    test::Cart cart;
    for (uint8_t& b : cart.prg_data()) b = static_cast<uint8_t>(&b - cart.prg_data().data()) * 37u;
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        auto exact = test::boot(cart);
        auto fast = test::boot(cart);
        test::Rng rng(seed);
        for (int step = 0; step < 4000; ++step) {
            const int kind = rng.below(10);
            const int64_t n = kind < 4 ? rng.below(30) + 1 : kind < 9 ? rng.below(2000) + 1 : rng.below(40000) + 1;
            for (int64_t i = 0; i < n; ++i) exact->apu->cycle();
            fast->apu->run_until(fast->apu->cycles + n);
            ASSERT_EQ(test::differing_fields(*exact->apu, *fast->apu), "") << "seed " << seed << " step " << step;
            // A register write, with values that keep channels sounding.
            static const uint16_t regs[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006,
                                            0x4007, 0x4008, 0x400A, 0x400B, 0x400C, 0x400E, 0x400F,
                                            0x4010, 0x4011, 0x4012, 0x4013, 0x4015, 0x4015, 0x4017};
            const uint16_t address = regs[rng.below(sizeof regs / sizeof regs[0])];
            uint8_t value = rng.byte();
            if (address == 0x4015 && rng.chance(80)) value |= 0x1F;
            exact->poke(address, value);
            fast->poke(address, value);
            // At times a DMC timer below 0, as a crafted state file can bring.
            if (rng.chance(2)) exact->apu->dmc_timer = fast->apu->dmc_timer = -1 - rng.below(100);
        }
    }
}

test::Cart mmc4_cart() {
    test::Cart cart;
    cart.mapper = 10;
    cart.prg_16k = 8;
    cart.chr_8k = 4;
    return cart;
}

// A latch tile written into a row the PPU has already judged free of them
// (as a PPUDATA write between two catch-ups does) switches the board's bank
// when the PPU fetches it, in spans as dot by dot.
template <NES::Accuracy A>
void expect_latch_tile_seen() {
    test::Cart cart = mmc4_cart();
    auto exact = test::boot(cart, nullptr, A), fast = test::boot(cart, nullptr, A);
    for (test::Console* c : {exact.get(), fast.get()}) {
        c->poke(0xD000, 2);  // $1000 after tile $FD: bank 2; after $FE: bank 3
        c->poke(0xE000, 3);
        c->cpu->memory[0x2000] = 0x10;  // the background from $1000
        c->cpu->memory[0x2001] = 0x0A;
        for (uint8_t i = 1; i < 4; ++i) c->ppu->memory[0x3F00 + i] = i;  // colours that show the patterns
    }
    auto run_both = [&](auto until) {
        while (!until(*exact->ppu)) exact->ppu->template cycle<A>();
        fast->ppu->template run_until<A>(exact->ppu->cycles);
    };
    run_both([](const NES::PPU& p) { return p.scanline == 43 && p.dot == 100; });  // in row 5
    for (test::Console* c : {exact.get(), fast.get()}) {
        c->ppu->write(0x2000 + 5 * 32 + 20, static_cast<signed char>(0xFD));
        c->ppu->write(0x2000 + 5 * 32 + 26, static_cast<signed char>(0xFE));
    }
    run_both([](const NES::PPU& p) { return p.scanline == 50; });  // past the row
    ASSERT_EQ(test::differing_fields(*exact->ppu, *fast->ppu), "");
}

// PPUSTATUS polled along a line whose first tile flips the background's
// latch from a blank bank to bank 0 (a dot at each tile's column 0): sprite
// 0 hits only if the flip is seen before the hit is predicted.
template <NES::Accuracy A>
void expect_hit_after_latch_flip() {
    test::Cart cart = mmc4_cart();
    cart.flags6 = 1;  // vertical arrangement
    std::fill(cart.chr_data().begin() + 0x1000, cart.chr_data().end(), 0);
    auto exact = test::boot(cart, nullptr, A), fast = test::boot(cart, nullptr, A);
    for (test::Console* c : {exact.get(), fast.get()}) {
        for (auto [reg, bank] : {std::pair{0xB000, 0}, {0xC000, 1}, {0xD000, 0}, {0xE000, 0}}) c->poke(reg, bank);
        c->ppu->write(0x2000, static_cast<signed char>(0xFD));  // row 0: $FD, then tile 0
        c->ppu->write(0x2400, static_cast<signed char>(0xFE));  // the look-ahead past column 31
        c->ppu->oam[0] = 3;                                     // sprite 0 on lines 4-11, at x 96
        c->ppu->oam[3] = 96;
        c->cpu->memory[0x2000] = 0x08;  // sprites from $1000, bank 0 either way
        c->cpu->memory[0x2001] = 0x1E;
    }
    while (exact->ppu->scanline != 4 || exact->ppu->dot != 0) exact->ppu->template cycle<A>();
    fast->ppu->template run_until<A>(exact->ppu->cycles - 20);
    for (int poll = 0; poll < 16; ++poll) {
        for (int i = 0; i < 20; ++i) exact->ppu->template cycle<A>();
        ASSERT_EQ(fast->ppu->template status_at<A>(exact->ppu->cycles), exact->cpu->memory[0x2002])
            << "dot " << exact->ppu->dot;
    }
    EXPECT_TRUE(exact->cpu->memory[0x2002] & 0x40);
}

TEST(FastPath, LatchFlipsSeenAsDotByDot) {
    expect_latch_tile_seen<NES::Accuracy::standard>();
    expect_latch_tile_seen<NES::Accuracy::hardware>();
    expect_hit_after_latch_flip<NES::Accuracy::standard>();
    expect_hit_after_latch_flip<NES::Accuracy::hardware>();
}

// The lazy machine run beside machine steps, compared at random moments:
// every field of the CPU, PPU and APU must agree.
#ifdef PICTOR_SHORT_RUNS
constexpr int64_t FRAME_SHARE = 4;  // instrumented builds run a quarter of the frames
#else
constexpr int64_t FRAME_SHARE = 1;
#endif

void expect_same_run(const std::vector<uint8_t>& image, int64_t frames, uint32_t seed, const std::string& name,
                     NES::Accuracy model = NES::Accuracy::standard) {
    frames /= FRAME_SHARE;
    auto exact = test::boot(image, nullptr, model);
    auto fast = test::boot(image, nullptr, model);
    exact->cpu->verbose = fast->cpu->verbose = false;
    NES::Controller pads[2];
    exact->cpu->set_controller(&pads[0], 0);
    fast->cpu->set_controller(&pads[1], 0);
    test::Rng rng(seed);
    while (exact->ppu->frames < frames) {
        const uint8_t buttons = test::scripted_buttons(exact->ppu->frames);
        test::press(pads[0], buttons);
        test::press(pads[1], buttons);
        // A stretch of a few instructions, of part of a frame, or of frames.
        const int kind = rng.below(8);
        const int steps = kind < 3 ? rng.below(8) + 1 : kind < 7 ? rng.below(3000) + 1 : rng.below(30000) + 1;
        for (int i = 0; i < steps; ++i) exact->step();
        while (fast->cpu->run(exact->cpu->cycles) == NES::CPU::RunEnd::frame) {
        }
        // Now and then the reset button, which winds the cycle counters back.
        if (rng.below(50) == 0) {
            exact->cpu->reset();
            fast->cpu->reset();
        }
        std::string diff = test::differing_fields(*exact->cpu, *fast->cpu);
        diff += test::differing_fields(*exact->ppu, *fast->ppu);
        diff += test::differing_fields(*exact->apu, *fast->apu);
        ASSERT_EQ(diff, "") << name << " at frame " << exact->ppu->frames << " line " << exact->ppu->scanline << " dot "
                            << exact->ppu->dot << " cycle " << exact->cpu->cycles;
    }
}

// Random instructions of every opcode but the jumps, branches and halts, on
// RAM and on the PPU and APU registers, in an endless loop.
std::vector<uint8_t> every_opcode_cart(uint32_t seed) {
    test::Rng rng(seed);
    test::Cart cart;
    std::vector<uint8_t>& prg = cart.prg_data();
    std::size_t at = 0;
    while (at < 0x7000) {
        const uint8_t op = rng.byte();
        const bool halts = (op & 0x0F) == 2 && (op & 0x9F) != 0x82;
        if ((op & 0x1F) == 0x10 || (op & 0x9F) == 0 || op == 0x4C || op == 0x6C || halts) continue;
        prg[at++] = op;
        const uint16_t address = rng.chance(50)   ? rng.below(0x800)
                                 : rng.chance(50) ? 0x2000 + rng.below(8)
                                                  : 0x4000 + rng.below(0x18);
        const int length = NES::isa::opcode_info(op).length;
        if (length >= 2) prg[at++] = length == 2 ? rng.byte() : address & 0xFF;
        if (length == 3) prg[at++] = address >> 8;
    }
    for (uint8_t b : {0x4C, 0x00, 0x80, 0x40}) prg[at++] = b;  // JMP $8000; RTI
    const uint8_t rti_low = static_cast<uint8_t>(at - 1), rti_high = static_cast<uint8_t>(0x80 + ((at - 1) >> 8));
    cart.poke(0xFFFA, {rti_low, rti_high, 0x00, 0x80, rti_low, rti_high});
    return cart.image();
}

TEST(FastPath, MachineRunMatchesMachineSteps) {
    const std::string data = PICTOR_SOURCE_DIR "/python/pictor_cli/data/";
    expect_same_run(test::read_file(data + "demo.nes"), 300, 1, "demo");
    for (const char* kind : {"nrom", "uxrom", "cnrom", "mmc1", "mmc3", "mmc4", "fme7"})
        expect_same_run(test::read_file(data + "workload_" + kind + ".nes"), 200, 2, kind);
    for (int mapper : {0, 1, 2, 3, 4, 10, 40})
        for (uint32_t seed = 1; seed <= 2; ++seed)
            expect_same_run(test::stress_cart(seed, mapper), 120, seed,
                            "stress_m" + std::to_string(mapper) + "_" + std::to_string(seed));
    for (uint32_t seed = 1; seed <= 2; ++seed) expect_same_run(every_opcode_cart(seed), 120, seed, "every_opcode");
    for (const char* name : {"mmc2", "vrc6b", "fme7", "mmc5"})  // the last three playing their sound chips
        expect_same_run(test::read_file(PICTOR_PROGRAM_DIR "/" + std::string(name) + ".nes"), 30, 1, name);
}

// The hardware model's lazy run beside its cycle-by-cycle reference.
TEST(FastPath, HardwareRunMatchesCycleSteps) {
    const std::string data = PICTOR_SOURCE_DIR "/python/pictor_cli/data/";
    constexpr NES::Accuracy HW = NES::Accuracy::hardware;
    expect_same_run(test::read_file(data + "demo.nes"), 200, 1, "demo", HW);
    for (const char* kind : {"mmc1", "mmc3", "mmc4"})
        expect_same_run(test::read_file(data + "workload_" + kind + ".nes"), 120, 2, kind, HW);
    for (int mapper : {0, 4, 10})
        expect_same_run(test::stress_cart(1, mapper), 120, 1, "stress_m" + std::to_string(mapper), HW);
    expect_same_run(every_opcode_cart(1), 120, 1, "every_opcode", HW);
    for (const char* name : {"mmc2", "mmc4", "vrc6a", "fme7", "mmc5", "hardware_bus_timing"})
        expect_same_run(test::read_file(PICTOR_PROGRAM_DIR "/" + std::string(name) + ".nes"), 30, 1, name, HW);
}

}  // namespace
