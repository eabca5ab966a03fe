// The behaviours the project's own test programs check on the console, a
// group per behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "programs.h"

namespace {

TEST(Programs, MemoryMirrors) { test::expect_program_passes("memory_mirrors", 10); }

TEST(Programs, UndocumentedInstructionsOnRegisters) { test::expect_program_passes("unofficial_on_registers", 10); }

TEST(Programs, HardwareBusTiming) { test::expect_program_passes("hardware_bus_timing", 20, NES::Accuracy::hardware); }

// Each board's banks, arrangement and counter, in both models.
TEST(Programs, Boards) {
    for (const char* name :
         {"axrom",  "color_dreams", "gxrom",    "nina03",   "multicart113", "unrom180", "camerica", "unrom512",
          "bnrom",  "nina001",      "namco108", "action53", "fme7",         "mmc2",     "mmc4",     "mmc5",
          "vrc4ac", "vrc4ef",       "vrc4bd",   "vrc2a",    "vrc6a",        "vrc6b"}) {
        for (NES::Accuracy accuracy : {NES::Accuracy::standard, NES::Accuracy::hardware})
            test::expect_program_passes(name, 30, accuracy);
    }
}

// The board programs' sound chips, after writes on top of the tone each
// plays: audible at their pitch (by crossings of the middle level), or a
// level that stays (0 cycles a period); a snapshot plays on the same.
TEST(Programs, CartridgeSoundPlaysThroughTheMix) {
    const struct {
        const char* program;
        std::vector<std::pair<uint16_t, uint8_t>> writes;
        double cycles_per_period, tolerance = 0.02;
    } cases[] = {
        {"vrc6a", {}, 16 * 256},
        {"vrc6a", {{0x9002, 0x8F}, {0x9003, 2}}, 16 * 256},  // period $FFF by 16
        {"vrc6a", {{0x9003, 1}}, 0},                         // halted
        {"vrc6a", {{0x9000, 0x8F}}, 0},                      // digitized: the volume as a level
        {"vrc6b", {}, 14 * 256},
        {"vrc6b", {{0xB001, 0}}, 0},  // $B001 is the enable on VRC6b
        {"mmc5", {}, 16 * 256},
        {"mmc5", {{0x5002, 0x7F}}, 16 * 128},
        {"mmc5", {{0x5015, 0}}, 0},  // disabled: its length counter cleared
        {"fme7", {}, 32 * 128},
        {"fme7", {{0xE000, 0x3F}}, 0},  // register 7, the last selected: square and noise off
        // Noise on A (period 31), changing at every second shift; square A by
        // the envelope (period 2) as a triangle.
        {"fme7", {{0xE000, 0x37}, {0xC000, 6}, {0xE000, 31}}, 32 * 31 * 4, 0.15},
        {"fme7",
         {{0xE000, 0x3F}, {0xC000, 8}, {0xE000, 0x10}, {0xC000, 11}, {0xE000, 2}, {0xC000, 13}, {0xE000, 0x0E}},
         64 * 16 * 2},
    };
    for (const auto& k : cases) {
        for (NES::Accuracy accuracy : {NES::Accuracy::standard, NES::Accuracy::hardware}) {
            SCOPED_TRACE(testing::Message() << k.program << " case " << &k - cases << " model " << int(accuracy));
            auto con = test::boot(test::program_image(k.program), nullptr, accuracy);
            con->record(30);  // the program's checks
            for (auto [address, value] : k.writes) con->poke(address, value);
            con->record(1);
            const std::vector<uint8_t> snapshot = NES::save_snapshot(*con->cpu);
            const std::vector<int16_t> audio = con->record(60);
            auto again = test::boot(test::program_image(k.program), nullptr, accuracy);
            NES::load_snapshot(*again->cpu, snapshot.data(), snapshot.size());
            EXPECT_EQ(again->record(60), audio);
            const auto [low, high] = std::minmax_element(audio.begin(), audio.end());
            const int middle = (*low + *high) / 2;
            int crossings = 0;
            for (std::size_t i = 1; i < audio.size(); ++i) crossings += (audio[i - 1] > middle) != (audio[i] > middle);
            const double cycles = static_cast<double>(audio.size()) * con->cpu->clock_hz / con->apu->sample_rate;
            EXPECT_NEAR(crossings / 2.0 / cycles * k.cycles_per_period, k.cycles_per_period ? 1 : 0, k.tolerance);
            EXPECT_TRUE(k.cycles_per_period ? *high - *low > 2000 : *high == *low);
        }
    }
}

// A chip silent at volume 0 is left behind; turned up again, square A plays
// in the phase it would have had running on (as beside square B's level).
TEST(Programs, SilencedSoundChipKeepsItsPhase) {
    for (NES::Accuracy accuracy : {NES::Accuracy::standard, NES::Accuracy::hardware}) {
        std::unique_ptr<test::Console> con[3];
        for (auto& c : con) (c = test::boot(test::program_image("fme7"), nullptr, accuracy))->record(30);
        const auto set = [&](int i, int reg, int value) { con[i]->poke(0xC000, reg), con[i]->poke(0xE000, value); };
        set(0, 8, 0), set(1, 9, 5), set(1, 8, 0), con[0]->record(7), con[1]->record(7);
        const std::vector<uint8_t> snapshot = NES::save_snapshot(*con[0]->cpu);
        NES::load_snapshot(*con[2]->cpu, snapshot.data(), snapshot.size());
        std::vector<int16_t> audio[3];
        for (int i = 0; i < 3; ++i) con[i]->record(3), set(i, 9, 0), set(i, 8, 15), audio[i] = con[i]->record(20);
        EXPECT_EQ(audio[0], audio[1]) << int(accuracy);
        EXPECT_EQ(audio[2], audio[1]) << int(accuracy) << " (from a snapshot taken in the silence)";
    }
}

}  // namespace
