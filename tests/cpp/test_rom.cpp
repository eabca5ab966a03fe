// Cartridge image parsing, the bank lookups and the bounded bank copies.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "boards/discrete.h"
#include "boards/mmc1.h"
#include "boards/mmc3.h"
#include "console.h"
#include "glob_const.h"
#include "rom.h"

namespace {

using Image = std::vector<uint8_t>;
using test::make_cart;
using test::raw_image;

// Parses an image whose buffer is exactly its length (so a read past it is
// caught by the sanitizer); keeps what the parse printed and why it refused.
struct Parse {
    std::unique_ptr<NES::ROM> rom;
    std::string printed, error;
    explicit Parse(Image img) {
        testing::internal::CaptureStdout();
        try {
            rom = std::make_unique<NES::ROM>(static_cast<long>(img.size()), img.data());
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
        printed = testing::internal::GetCapturedStdout();
    }
    NES::ROM* operator->() const { return rom.get(); }
};
bool refused(Image img, const char* reason) { return Parse(std::move(img)).error.find(reason) != std::string::npos; }

}  // namespace

TEST(RomHeader, INesFieldsAndPrintedLines) {
    test::Cart cart = make_cart(1, 4, 2, 0x03);  // vertical, battery
    Parse rom(cart.image());
    EXPECT_EQ(rom.printed, "Battery\niNES\n2\n");
    EXPECT_TRUE(rom->loaded);
    EXPECT_FALSE(rom->nes2);
    EXPECT_TRUE(rom->battery);
    EXPECT_EQ(rom->mirroring, 1);
    EXPECT_EQ(rom->mapper->number, 1);
    EXPECT_NE(dynamic_cast<NES::MMC1*>(rom->mapper.get()), nullptr);
    EXPECT_EQ(rom->prg_size, 65536);
    EXPECT_EQ(rom->chr_size, 16384);
    EXPECT_EQ(rom->prg, cart.prg_data());
    EXPECT_EQ(rom->chr, cart.chr_data());
    EXPECT_EQ(rom->header[6], 0x13);

    // Byte 4 is unsigned: 0x80 banks are 2 MiB; byte 5 = 0xFF prints as 255.
    rom = Parse(make_cart(0, 0x80, 0xFF).image());
    EXPECT_EQ(rom->prg_size, 0x80 * 16384);
    EXPECT_EQ(rom->chr_size, 0xFF * 8192);
    EXPECT_EQ(rom.printed, "No Battery\niNES\n255\n");

    // Four-screen wins over the vertical bit.
    EXPECT_EQ(Parse(make_cart(0, 2, 1, 0x09).image())->mirroring, 2);
}

TEST(RomHeader, Nes2Sizes) {
    // Byte 9's low nibble extends the PRG count: 0x102 x 16 KiB; its high
    // nibble extends the CHR count: 0x101 x 8 KiB.
    Parse rom(raw_image(0x02, 0x01, 0x00, 0x08, 0x11, 0x102 * 16384 + 0x101 * 8192));
    EXPECT_TRUE(rom->nes2);
    EXPECT_EQ(rom.printed, "No Battery\n");
    EXPECT_EQ(rom->prg_size, 0x102 * 16384);
    EXPECT_EQ(rom->chr_size, 0x101 * 8192);
    EXPECT_EQ(rom->chr.front(), static_cast<uint8_t>(0x102 * 16));

    // Exponent-multiplier form: 2^15 x 1 and 2^1 x 7.
    EXPECT_EQ(Parse(raw_image(0x3C, 0x00, 0x00, 0x08, 0x0F, 32768))->prg_size, 32768);
    rom = Parse(raw_image(0x07, 0x00, 0x00, 0x08, 0x0F, 14));
    EXPECT_EQ(rom->prg_size, 14);
    EXPECT_EQ(rom->prg.size(), 14u);

    // The mapper number takes byte 7's high nibble in both forms.
    EXPECT_EQ(Parse(raw_image(0x01, 0x00, 0x40, 0x08, 0x00, 16384))->mapper->number, 4);

    // Sizes beyond an int32 are refused, not truncated: 2^31, 2^30 x 7, 2^63 x 7.
    for (uint8_t b4 : {0x7C, 0x7B, 0xFF}) EXPECT_TRUE(refused(raw_image(b4, 0, 0, 0x08, 0x0F, 16), "32 bits")) << b4;
    // 2^30 fits but is far more than the image holds.
    EXPECT_TRUE(refused(raw_image(0x78, 0, 0, 0x08, 0x0F, 16), "truncated"));
}

TEST(RomHeader, TrainerAndUnknownMapper) {
    test::Cart cart = make_cart(0, 2, 1, 0x04);
    Image img = cart.image();
    img.insert(img.begin() + 16, 512, 0xEE);
    Parse rom(img);
    EXPECT_EQ(rom->trainer[0], 0xEE);
    EXPECT_EQ(rom->trainer[511], 0xEE);
    EXPECT_EQ(rom->prg, cart.prg_data());  // PRG starts at 528
    EXPECT_EQ(rom->chr, cart.chr_data());

    rom = Parse(raw_image(1, 0, 0x10, 0x40, 0, 16384));
    EXPECT_EQ(rom.printed, "No Battery\nUNRECOGNIZED MAPPER!\niNES\n0\n");
    EXPECT_EQ(rom->mapper->number, 65);
    EXPECT_NE(dynamic_cast<NES::DEFAULT_MAPPER*>(rom->mapper.get()), nullptr);

    // A fresh mapper keeps the number, also for an unknown one.
    testing::internal::CaptureStdout();
    rom->reset_mapper();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "UNRECOGNIZED MAPPER!\n");
    EXPECT_EQ(rom->mapper->number, 65);

    rom = Parse(make_cart(4).image());
    static_cast<NES::MMC3*>(rom->mapper.get())->irq_latch = 7;
    rom->reset_mapper();
    EXPECT_EQ(static_cast<NES::MMC3*>(rom->mapper.get())->irq_latch, 255);
    EXPECT_EQ(rom->mapper->number, 4);
}

TEST(RomHeader, BlankCartridge) {
    testing::internal::CaptureStdout();
    NES::ROM rom;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Battery\niNES\n0\n");
    EXPECT_TRUE(rom.loaded);
    EXPECT_NE(dynamic_cast<NES::NROM*>(rom.mapper.get()), nullptr);
    EXPECT_EQ(rom.prg, std::vector<uint8_t>(16384, 0));
    EXPECT_EQ(rom.prg_size, 16384);
    EXPECT_EQ(rom.chr_size | rom.battery | rom.mirroring | rom.mapper->number, 0);
}

TEST(RomHeader, RejectedImages) {
    EXPECT_THROW(NES::ROM(100, nullptr), std::invalid_argument);
    EXPECT_THROW(NES::ROM(-5, Image(32, 0).data()), std::invalid_argument);
    Image no_magic = test::Cart{}.image();
    no_magic[3] = 0x1B;
    Image truncated = test::Cart{}.image();  // one byte short of header + PRG + CHR
    truncated.pop_back();
    const std::pair<Image, const char*> cases[] = {
        {Image{'N', 'E', 'S', 0x1A, 1, 0}, "16-byte"}, {no_magic, "iNES"}, {truncated, "truncated"}};
    for (const auto& [img, reason] : cases) {
        Parse rom(img);
        EXPECT_NE(rom.error.find(reason), std::string::npos) << reason;
        EXPECT_EQ(rom.printed, "") << reason;
    }
    // One byte short of header + trainer + PRG.
    Image with_trainer = make_cart(0, 2, 0, 0x04).image();
    with_trainer.insert(with_trainer.begin() + 16, 511, 0);
    EXPECT_TRUE(refused(with_trainer, "truncated"));
    with_trainer.push_back(0);
    EXPECT_NE(Parse(with_trainer).rom, nullptr);
}

TEST(RomHeader, LoadFile) {
    char dir_template[] = "/tmp/pictor-rom-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template, good = dir + "/good.nes", bad = dir + "/bad.nes";
    for (auto [name, img] : {std::pair{good, make_cart(2).image()}, std::pair{bad, Image(20, 0)}}) {
        std::FILE* f = std::fopen(name.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(img.data(), 1, img.size(), f);
        std::fclose(f);
    }

    testing::internal::CaptureStdout();
    NES::ROM rom(good.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rom.path, good);
    EXPECT_EQ(rom.path_length, static_cast<int>(good.size()));
    EXPECT_EQ(rom.mapper->number, 2);
    EXPECT_EQ(rom.prg, make_cart(2).prg_data());

    // Unreadable files carry errno and the path; a bad image names the file.
    auto error_of = [](const std::string& path) -> std::pair<int, std::string> {
        try {
            NES::ROM r(path.c_str());
        } catch (const NES::FileError& e) {
            return {e.err, e.path};
        } catch (const std::invalid_argument& e) {
            return {-1, e.what()};
        }
        return {0, "accepted"};
    };
    EXPECT_EQ(error_of(dir + "/missing.nes"), std::pair(ENOENT, dir + "/missing.nes"));
    EXPECT_EQ(error_of(dir).first, EISDIR);
    EXPECT_EQ(error_of(bad).first, -1);
    EXPECT_NE(error_of(bad).second.find(bad), std::string::npos);
    std::filesystem::remove_all(dir);
}

TEST(RomBanks, LookupsWrapWithTrueModulo) {
    Parse rom(make_cart(0, 2, 2).image());
    EXPECT_EQ(rom->get_prg_bank(5), rom->prg.data() + 5 * 1024);
    EXPECT_EQ(rom->get_prg_bank(32 + 3), rom->prg.data() + 3 * 1024);
    EXPECT_EQ(rom->get_prg_bank(-1), rom->prg.data() + 31 * 1024);
    EXPECT_EQ(rom->get_chr_bank(-17), rom->chr.data() + 15 * 1024);
    EXPECT_EQ(rom->last_prg_16k(), 16);

    // CHR-RAM: every lookup lands in the 8 KiB of pattern memory.
    Parse ram_rom(make_cart(0, 2, 0).image());
    std::vector<uint8_t> pattern(8192);
    EXPECT_EQ(ram_rom->get_chr_bank(1), nullptr);  // not registered by a PPU yet
    ram_rom->chr_ram = pattern.data();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ram_rom->get_chr_bank(9), pattern.data() + 1024);
        EXPECT_EQ(ram_rom->get_chr_bank(1), pattern.data() + 1024);
    }
    EXPECT_EQ(ram_rom->get_chr_bank(-1), pattern.data() + 7 * 1024);
    EXPECT_EQ(ram_rom->chr_size, 0);

    // Under 1 KiB there is a single bank at the start.
    Parse tiny(raw_image(0x07, 0, 0, 0x08, 0x0F, 14));
    EXPECT_EQ(tiny->get_prg_bank(5), tiny->prg.data());
    EXPECT_EQ(tiny->get_prg_bank(-3), tiny->prg.data());
}

TEST(RomBanks, CopiesAreBoundedAndCyclic) {
    // 3 KiB PRG (2^10 x 3): a 16 KiB window repeats it; KiB 2 then wraps.
    Parse rom(raw_image(0x29, 0, 0, 0x08, 0x0F, 3072));
    ASSERT_EQ(rom->prg_size, 3072);
    std::vector<uint8_t> window(16384, 0xAA);
    rom->copy_prg(2, window.data(), window.size());
    for (std::size_t i = 0; i < window.size(); ++i) ASSERT_EQ(window[i], ((i / 1024) + 2) % 3) << i;

    // 1.5 KiB PRG (2^9 x 3): one whole KiB, so every copy starts at 0 and
    // repeats with a 1536-byte period.
    rom = Parse(raw_image(0x25, 0, 0, 0x08, 0x0F, 1536));
    rom->copy_prg(7, window.data(), 4096);
    for (std::size_t i = 0; i < 4096; ++i) ASSERT_EQ(window[i], (i % 1536) / 1024) << i;

    // No PRG at all: zeros, and nothing past the window.
    rom = Parse(raw_image(0, 0, 0, 0, 0, 0));
    std::fill(window.begin(), window.end(), 0xAA);
    rom->copy_prg(3, window.data(), 8192);
    EXPECT_EQ(std::vector<uint8_t>(window.begin(), window.begin() + 8192), std::vector<uint8_t>(8192, 0));
    EXPECT_EQ(window[8192], 0xAA);

    // CHR-RAM copies inside the pattern memory behave as if the source were
    // read whole before the window is written.
    rom = Parse(make_cart(0, 2, 0).image());
    std::vector<uint8_t> pattern(8192);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i / 1024);
    rom->chr_ram = pattern.data();
    rom->copy_chr(4, pattern.data(), 8192);  // a rotation by 4 KiB
    for (std::size_t i = 0; i < pattern.size(); ++i) ASSERT_EQ(pattern[i], ((i / 1024) + 4) % 8) << i;
    rom->copy_chr(6, pattern.data() + 0x1000, 0x1000);  // KiB 6, 7 wrap to 0, 1 of the source
    for (int k = 0; k < 4; ++k) EXPECT_EQ(pattern[0x1000 + 0x400 * k], 2 + k);
}
