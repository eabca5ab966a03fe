// Whole-machine snapshots: exact continuation on every mapper, and refusal of
// bad snapshots without any change to the machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "boards/mmc3.h"
#include "console.h"
#include "cpu.h"
#include "cpu_helper.h"

namespace {

using test::Cart;
using test::Console;

// A program in the fixed last 8 KiB that keeps every unit busy: rendering and
// NMI on, all five sound channels playing, the mapper's registers written on
// every pass, OAM DMA and a pad read in the NMI, and an IRQ handler for the
// mappers that raise interrupts.
Cart busy_cart(int mapper, int prg_16k, int chr_8k) {
    Cart cart = test::make_cart(mapper, prg_16k, chr_8k);
    cart.poke(0xE000, {
                          0x78, 0xA2, 0xFF, 0x9A,                    // SEI; LDX #$FF; TXS
                          0xA9, 0x80, 0x8D, 0x00, 0x20,              // NMI on
                          0xA9, 0x1E, 0x8D, 0x01, 0x20,              // background and sprites on
                          0xA9, 0xBF, 0x8D, 0x00, 0x40,              // pulse 1: duty, constant volume
                          0xA9, 0xF1, 0x8D, 0x02, 0x40,              //   period low
                          0xA9, 0x08, 0x8D, 0x03, 0x40,              //   period high, length
                          0xA9, 0xFF, 0x8D, 0x08, 0x40,              // triangle: linear counter
                          0xA9, 0x40, 0x8D, 0x0A, 0x40,              //   period
                          0xA9, 0x08, 0x8D, 0x0B, 0x40,              //   length
                          0xA9, 0x3F, 0x8D, 0x0C, 0x40,              // noise: constant volume
                          0xA9, 0x04, 0x8D, 0x0E, 0x40,              //   period
                          0xA9, 0x08, 0x8D, 0x0F, 0x40,              //   length
                          0xA9, 0x4F, 0x8D, 0x10, 0x40,              // DMC: loop, fastest rate
                          0xA9, 0x00, 0x8D, 0x12, 0x40,              //   sample at $C000
                          0xA9, 0x10, 0x8D, 0x13, 0x40,              //   257 bytes
                          0xA9, 0x1F, 0x8D, 0x15, 0x40,              // every channel on
                          0xA9, 0x07, 0x8D, 0x01, 0xE0,              // MMC3 interrupts on
                          0x58,                                      // CLI
                          0xE6, 0x10, 0xA5, 0x10,                    // E055: INC $10; LDA $10
                          0x8D, 0x00, 0xA0, 0x8D, 0x00, 0xC0,        //   STA $A000; STA $C000
                          0xAD, 0x02, 0x20, 0x4C, 0x55, 0xE0,        //   LDA $2002; JMP $E055
                          0xE6, 0x11, 0xA5, 0x11,                    // E065 NMI: INC $11; LDA $11
                          0x8D, 0x05, 0x20, 0x8D, 0x05, 0x20,        //   scroll
                          0xA9, 0xE0, 0x8D, 0x14, 0x40,              //   OAM DMA from $E000
                          0xA9, 0x01, 0x8D, 0x16, 0x40, 0x4A,        //   strobe the pads
                          0x8D, 0x16, 0x40, 0xAD, 0x16, 0x40, 0x40,  //   read pad 1; RTI
                          0xE6, 0x12, 0x40,                          // E081 IRQ: INC $12; RTI
                      });
    cart.poke(0xFFFA, {0x65, 0xE0, 0x00, 0xE0, 0x81, 0xE0});
    return cart;
}

struct Recording {
    std::vector<uint8_t> end;    // the snapshot after the run
    std::vector<int16_t> audio;  // every sample produced during the run
};

Recording run_frames(Console& c, int frames) {
    Recording run;
    run.audio = c.record(frames);
    run.end = NES::save_snapshot(*c.cpu);
    return run;
}

struct Case {
    int mapper, prg_16k, chr_8k;
    NES::Accuracy model = NES::Accuracy::standard;
};

class SnapshotPerMapper : public testing::TestWithParam<Case> {};

TEST_P(SnapshotPerMapper, ContinuesExactlyOnTheSameAndOnAFreshConsole) {
    const Case k = GetParam();
    const Cart cart = busy_cart(k.mapper, k.prg_16k, k.chr_8k);
    auto a = test::boot(cart, nullptr, k.model);
    for (int i = 0; i < 5; ++i) a->run_frame();
    for (int i = 0; i < 3700; ++i) a->step();  // mid-frame, sprites on the line
    const std::vector<uint8_t> s = NES::save_snapshot(*a->cpu);
    const auto picture = [](const Console& c) {
        return std::vector<uint8_t>(c.ppu->frame_buffer, c.ppu->frame_buffer + sizeof c.ppu->frame_buffer);
    };
    const std::vector<uint8_t> picture_at_s = picture(*a);
    const Recording first = run_frames(*a, 7);
    EXPECT_GT(a->cpu->memory[0x11], 5);  // the NMI ran every frame
    if (k.mapper == 4) {
        EXPECT_GT(a->cpu->memory[0x12], 0);  // and the MMC3 raised interrupts
    }
    EXPECT_GT(first.audio.size(), 6 * 700u);

    auto b = test::boot(cart, nullptr, k.model);
    NES::load_snapshot(*b->cpu, s.data(), s.size());
    EXPECT_EQ(NES::save_snapshot(*b->cpu), s);
    EXPECT_EQ(picture(*b), picture_at_s);  // rebuilt from the palette indices
    const Recording fresh = run_frames(*b, 7);
    EXPECT_EQ(fresh.end, first.end);
    EXPECT_EQ(fresh.audio, first.audio);

    NES::load_snapshot(*a->cpu, s.data(), s.size());
    const Recording again = run_frames(*a, 7);
    EXPECT_EQ(again.end, first.end);
    EXPECT_EQ(again.audio, first.audio);
}

INSTANTIATE_TEST_SUITE_P(Mappers, SnapshotPerMapper,
                         testing::Values(Case{0, 2, 1}, Case{1, 4, 2}, Case{2, 4, 0}, Case{3, 2, 4}, Case{4, 4, 2},
                                         Case{5, 4, 2}, Case{40, 4, 1}, Case{1, 4, 2, NES::Accuracy::hardware},
                                         Case{4, 4, 2, NES::Accuracy::hardware},
                                         Case{5, 4, 2, NES::Accuracy::hardware}),
                         [](const testing::TestParamInfo<Case>& info) {
                             return "mapper" + std::to_string(info.param.mapper) +
                                    (info.param.model == NES::Accuracy::hardware ? "_hardware" : "");
                         });

// The console's snapshot after a change made by change, for refusal tests.
template <typename Change>
std::vector<uint8_t> tampered(const Cart& cart, Change change) {
    auto c = test::boot(cart);
    c->run_frame();
    change(*c);
    return NES::save_snapshot(*c->cpu);
}

TEST(Snapshot, RefusesBadSnapshotsWithoutChangingTheMachine) {
    const Cart cart = busy_cart(4, 4, 2);
    auto target = test::boot(cart);
    for (int i = 0; i < 3; ++i) target->run_frame();
    const std::vector<uint8_t> before = NES::save_snapshot(*target->cpu);
    const std::vector<uint8_t> good = tampered(cart, [](Console&) {});
    const std::size_t ext = NES::state_file::LENGTH;

    std::vector<std::vector<uint8_t>> bad;
    bad.emplace_back(good.begin(), good.end() - 1);                // truncated
    bad.emplace_back(good.begin(), good.begin() + ext);            // the old layout alone
    bad.emplace_back(good.begin(), good.begin() + ext + 10);       // a cut header
    bad.push_back(good), bad.back().push_back(0);                  // a byte too many
    bad.push_back(good), bad.back()[ext] ^= 1;                     // magic
    bad.push_back(good), bad.back()[ext + 8] = 3;                  // version
    bad.push_back(good), bad.back()[ext + 16] ^= 1;                // cartridge identity
    bad.push_back(good), bad.back()[ext + 24] = 'X';               // section tag
    bad.push_back(good), bad.back()[ext + 24 + 8 + 8] = 2;         // cpu.nmi_sample is a boolean
    bad.push_back(good), bad.back()[NES::state_file::PC + 2] = 1;  // PC above $FFFF
    bad.push_back(tampered(busy_cart(4, 4, 4), [](Console&) {}));  // another cartridge
    auto hardware = test::boot(cart, nullptr, NES::Accuracy::hardware);
    hardware->run_frame();
    bad.push_back(NES::save_snapshot(*hardware->cpu));  // another model
    bad.push_back(tampered(cart, [](Console& c) { c.ppu->scanline = 262; }));
    bad.push_back(tampered(cart, [](Console& c) { c.ppu->dot = 341; }));
    bad.push_back(tampered(cart, [](Console& c) { c.ppu->eval_index = 6; }));
    bad.push_back(tampered(cart, [](Console& c) {
        c.ppu->sprite_active = 1;
        c.ppu->sprite_shift[0] = 255;
    }));
    bad.push_back(tampered(cart, [](Console& c) { c.apu->noise_timer = -1; }));
    bad.push_back(tampered(cart, [](Console& c) { static_cast<NES::MMC3&>(*c.rom->mapper).irq_counter = 256; }));
    // Snapshots are taken with the units in step: a PPU or an APU ahead of the
    // CPU would leave the machine waiting for the CPU for ages.
    bad.push_back(tampered(cart, [](Console& c) { c.ppu->cycles += int64_t{1} << 48; }));
    bad.push_back(tampered(cart, [](Console& c) { c.apu->cycles += 1; }));
    bad.push_back(tampered(cart, [](Console& c) { c.apu->samples = c.apu->cycles + 1; }));
    bad.push_back(tampered(cart, [](Console& c) {  // a shown sprite whose shift would run below 0
        c.ppu->line_sprite_count = 1;
        c.ppu->sprite_active = 1;
        c.ppu->sprite_x_counter[0] = 5;
        c.ppu->sprite_shift[0] = 7;
    }));
    bad.push_back(tampered(cart, [](Console& c) {  // a playing DMC with no bit left would count down for ever
        c.apu->dmc_silence = false;
        c.apu->dmc_bits_remaining = 0;
    }));

    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_THROW(NES::load_snapshot(*target->cpu, bad[i].data(), bad[i].size()), std::invalid_argument)
            << "case " << i;
        EXPECT_EQ(NES::save_snapshot(*target->cpu), before) << "case " << i;
    }
}

// An old-layout state file holds a mapper block with no extension to check it
// against: whatever its bytes, what loads stays within what the mapper's
// registers hold, so the machine runs on and its snapshots restore.
TEST(Snapshot, OldLayoutMapperBlocksStayWithinTheRegisters) {
    struct Extreme {
        Case cart;
        uint8_t fill;
    };
    for (const Extreme k :
         {Extreme{{1, 4, 2}, 0xFF}, Extreme{{2, 4, 0}, 0xFF}, Extreme{{2, 4, 0}, 0x80}, Extreme{{3, 2, 4}, 0xFF},
          Extreme{{3, 2, 0}, 0x7F}, Extreme{{4, 4, 2}, 0xFF}, Extreme{{4, 4, 2}, 0x80}}) {
        auto c = test::boot(busy_cart(k.cart.mapper, k.cart.prg_16k, k.cart.chr_8k));
        c->run_frame();
        std::vector<uint8_t> file = NES::save_snapshot(*c->cpu);
        file.resize(NES::state_file::LENGTH);
        std::fill(file.begin() + NES::state_file::MAPPER_BLOCK, file.end(), k.fill);
        FILE* f = fmemopen(file.data(), file.size(), "rb");
        ASSERT_NE(f, nullptr);
        c->cpu->load_state(f);
        fclose(f);
        for (int i = 0; i < 2; ++i) c->run_frame();
        const std::vector<uint8_t> s = NES::save_snapshot(*c->cpu);
        EXPECT_NO_THROW(NES::load_snapshot(*c->cpu, s.data(), s.size())) << k.cart.mapper << " " << int(k.fill);
    }

    auto uxrom = test::boot(busy_cart(2, 4, 0));
    std::vector<uint8_t> file = NES::save_snapshot(*uxrom->cpu);
    file.resize(NES::state_file::LENGTH);
    const std::size_t block = NES::state_file::MAPPER_BLOCK;
    file[block] = 0xFF, file[block + 1] = file[block + 2] = file[block + 3] = 0x7F;  // 2^31 - 1
    FILE* f = fmemopen(file.data(), file.size(), "rb");
    uxrom->cpu->load_state(f);
    fclose(f);
    EXPECT_EQ(uxrom->cpu->uxrom_bank, 240);           // bank 15 of the 4-bit register
    EXPECT_EQ(uxrom->cpu->memory[0x8000], 240 % 64);  // the KiB number, wrapped at the 64 KiB of PRG
}

}  // namespace
