// Cartridge image parsing, the bank lookups and the bounded bank copies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "console.h"
#include "glob_const.h"
#include "mapper.h"
#include "rom.h"

namespace {

using Image = std::vector<uint8_t>;

using test::make_cart;

// A bare header followed by `data_len` bytes where byte i holds i / 1024.
Image header_image(uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7, uint8_t b9, std::size_t data_len) {
    Image img = {'N', 'E', 'S', 0x1A, b4, b5, b6, b7, 0, b9, 0, 0, 0, 0, 0, 0};
    img.resize(16 + data_len);
    for (std::size_t i = 0; i < data_len; ++i) img[16 + i] = static_cast<uint8_t>(i / 1024);
    return img;
}

// Parses an image whose buffer is exactly its length (so a read past it is
// caught by the sanitizer) and returns what the parse printed.
std::unique_ptr<NES::ROM> parse(Image img, std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    std::unique_ptr<NES::ROM> rom;
    try {
        rom = std::make_unique<NES::ROM>(static_cast<long>(img.size()), img.data());
    } catch (...) {
        std::string printed = testing::internal::GetCapturedStdout();
        if (out) *out = printed;
        throw;
    }
    std::string printed = testing::internal::GetCapturedStdout();
    if (out) *out = printed;
    return rom;
}

std::string rejection(Image img, std::string* out = nullptr) {
    try {
        parse(std::move(img), out);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(RomHeader, INesFieldsAndPrintedLines) {
    test::Cart cart;
    cart.mapper = 1;
    cart.prg_16k = 4;
    cart.chr_8k = 2;
    cart.flags6 = 0x03;  // vertical, battery
    std::string out;
    auto rom = parse(cart.image(), &out);
    EXPECT_EQ(out, "Battery\niNES\n2\n");
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
    test::Cart big;
    big.prg_16k = 0x80;
    big.chr_8k = 0xFF;
    rom = parse(big.image(), &out);
    EXPECT_EQ(rom->prg_size, 0x80 * 16384);
    EXPECT_EQ(rom->chr_size, 0xFF * 8192);
    EXPECT_EQ(out, "No Battery\niNES\n255\n");

    // Four-screen wins over the vertical bit.
    test::Cart four;
    four.flags6 = 0x09;
    EXPECT_EQ(parse(four.image())->mirroring, 2);
}

TEST(RomHeader, Nes2Sizes) {
    std::string out;
    // Byte 9's low nibble extends the PRG count: 0x102 x 16 KiB; its high
    // nibble extends the CHR count: 0x101 x 8 KiB.
    auto rom = parse(header_image(0x02, 0x01, 0x00, 0x08, 0x11, 0x102 * 16384 + 0x101 * 8192), &out);
    EXPECT_TRUE(rom->nes2);
    EXPECT_EQ(out, "No Battery\n");
    EXPECT_EQ(rom->prg_size, 0x102 * 16384);
    EXPECT_EQ(rom->chr_size, 0x101 * 8192);
    EXPECT_EQ(rom->chr.front(), static_cast<uint8_t>(0x102 * 16));

    // Exponent-multiplier form: 2^15 x 1 and 2^1 x 7.
    rom = parse(header_image(0x3C, 0x00, 0x00, 0x08, 0x0F, 32768));
    EXPECT_EQ(rom->prg_size, 32768);
    rom = parse(header_image(0x07, 0x00, 0x00, 0x08, 0x0F, 14));
    EXPECT_EQ(rom->prg_size, 14);
    EXPECT_EQ(rom->prg.size(), 14u);

    // The mapper number takes byte 7's high nibble in both forms.
    rom = parse(header_image(0x01, 0x00, 0x40, 0x08, 0x00, 16384));
    EXPECT_EQ(rom->mapper->number, 4);

    // Sizes beyond an int32 are refused, not truncated.
    EXPECT_NE(rejection(header_image(0x7C, 0, 0, 0x08, 0x0F, 16)).find("32 bits"), std::string::npos);  // 2^31
    EXPECT_NE(rejection(header_image(0x7B, 0, 0, 0x08, 0x0F, 16)).find("32 bits"), std::string::npos);  // 2^30 x 7
    EXPECT_NE(rejection(header_image(0xFF, 0, 0, 0x08, 0x0F, 16)).find("32 bits"), std::string::npos);  // 2^63 x 7
    // 2^30 fits but is far more than the image holds.
    EXPECT_NE(rejection(header_image(0x78, 0, 0, 0x08, 0x0F, 16)).find("truncated"), std::string::npos);
}

TEST(RomHeader, TrainerAndUnknownMapper) {
    test::Cart cart;
    cart.flags6 = 0x04;
    Image img = cart.image();
    img.insert(img.begin() + 16, 512, 0xEE);
    auto rom = parse(img);
    EXPECT_EQ(rom->trainer[0], 0xEE);
    EXPECT_EQ(rom->trainer[511], 0xEE);
    EXPECT_EQ(rom->prg, cart.prg_data());  // PRG starts at 528
    EXPECT_EQ(rom->chr, cart.chr_data());

    std::string out;
    rom = parse(header_image(1, 0, 0x10, 0x40, 0, 16384), &out);
    EXPECT_EQ(out, "No Battery\nUNRECOGNIZED MAPPER!\niNES\n0\n");
    EXPECT_EQ(rom->mapper->number, 65);
    EXPECT_NE(dynamic_cast<NES::DEFAULT_MAPPER*>(rom->mapper.get()), nullptr);

    // A fresh mapper keeps the number, also for an unknown one.
    testing::internal::CaptureStdout();
    rom->reset_mapper();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "UNRECOGNIZED MAPPER!\n");
    EXPECT_EQ(rom->mapper->number, 65);

    rom = parse(make_cart(4).image());
    auto* mmc3 = static_cast<NES::MMC3*>(rom->mapper.get());
    mmc3->irq_latch = 7;
    rom->reset_mapper();
    EXPECT_EQ(static_cast<NES::MMC3*>(rom->mapper.get())->irq_latch, 255);
    EXPECT_EQ(rom->mapper->number, 4);
}

TEST(RomHeader, BlankCartridge) {
    testing::internal::CaptureStdout();
    NES::ROM rom;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Battery\niNES\n0\n");
    EXPECT_TRUE(rom.loaded);
    EXPECT_EQ(rom.mapper->number, 0);
    EXPECT_NE(dynamic_cast<NES::NROM*>(rom.mapper.get()), nullptr);
    EXPECT_EQ(rom.prg_size, 16384);
    EXPECT_EQ(rom.prg, std::vector<uint8_t>(16384, 0));
    EXPECT_EQ(rom.chr_size, 0);
    EXPECT_FALSE(rom.battery);
    EXPECT_EQ(rom.mirroring, 0);
}

TEST(RomHeader, RejectedImages) {
    std::string out;
    EXPECT_NE(rejection(Image{'N', 'E', 'S', 0x1A, 1, 0}, &out).find("16-byte"), std::string::npos);
    EXPECT_EQ(out, "");
    EXPECT_THROW(NES::ROM(100, nullptr), std::invalid_argument);
    EXPECT_THROW(NES::ROM(-5, Image(32, 0).data()), std::invalid_argument);

    Image no_magic = test::Cart{}.image();
    no_magic[3] = 0x1B;
    EXPECT_NE(rejection(no_magic, &out).find("iNES"), std::string::npos);
    EXPECT_EQ(out, "");

    // One byte short of header + PRG + CHR, and of header + trainer + PRG.
    Image truncated = test::Cart{}.image();
    truncated.pop_back();
    EXPECT_NE(rejection(truncated, &out).find("truncated"), std::string::npos);
    EXPECT_EQ(out, "");
    Image with_trainer = make_cart(0, 2, 0, 0x04).image();
    with_trainer.insert(with_trainer.begin() + 16, 511, 0);
    EXPECT_NE(rejection(with_trainer).find("truncated"), std::string::npos);
    with_trainer.push_back(0);
    EXPECT_EQ(rejection(with_trainer), "accepted");
}

TEST(RomHeader, LoadFile) {
    char dir_template[] = "/tmp/pictor-rom-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string dir = dir_template;
    std::string good = dir + "/good.nes";
    std::string bad = dir + "/bad.nes";
    test::Cart cart;
    cart.mapper = 2;
    for (auto [name, img] : {std::pair{good, cart.image()}, std::pair{bad, Image(20, 0)}}) {
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
    EXPECT_EQ(rom.prg, cart.prg_data());

    try {
        NES::ROM missing((dir + "/missing.nes").c_str());
        ADD_FAILURE() << "a missing file was accepted";
    } catch (const NES::FileError& e) {
        EXPECT_EQ(e.err, ENOENT);
        EXPECT_EQ(e.path, dir + "/missing.nes");
    }
    try {
        NES::ROM directory(dir.c_str());
        ADD_FAILURE() << "a directory was accepted";
    } catch (const NES::FileError& e) {
        EXPECT_EQ(e.err, EISDIR);
    }
    try {
        NES::ROM garbage(bad.c_str());
        ADD_FAILURE() << "an image without the magic was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos);
    }
    std::remove(good.c_str());
    std::remove(bad.c_str());
    rmdir(dir.c_str());
}

TEST(RomBanks, LookupsWrapWithTrueModulo) {
    auto rom = parse(make_cart(0, 2, 2).image());
    EXPECT_EQ(rom->get_prg_bank(5), rom->prg.data() + 5 * 1024);
    EXPECT_EQ(rom->get_prg_bank(32 + 3), rom->prg.data() + 3 * 1024);
    EXPECT_EQ(rom->get_prg_bank(-1), rom->prg.data() + 31 * 1024);
    EXPECT_EQ(rom->get_chr_bank(-17), rom->chr.data() + 15 * 1024);
    EXPECT_EQ(rom->last_prg_16k(), 16);

    // CHR-RAM: every lookup lands in the 8 KiB of pattern memory.
    auto ram_rom = parse(make_cart(0, 2, 0).image());
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
    auto tiny = parse(header_image(0x07, 0, 0, 0x08, 0x0F, 14));
    EXPECT_EQ(tiny->get_prg_bank(5), tiny->prg.data());
    EXPECT_EQ(tiny->get_prg_bank(-3), tiny->prg.data());
}

TEST(RomBanks, CopiesAreBoundedAndCyclic) {
    // 3 KiB PRG (2^10 x 3): a 16 KiB window repeats it; KiB 2 then wraps.
    auto rom = parse(header_image(0x29, 0, 0, 0x08, 0x0F, 3072));
    ASSERT_EQ(rom->prg_size, 3072);
    std::vector<uint8_t> window(16384, 0xAA);
    rom->copy_prg(2, window.data(), window.size());
    for (std::size_t i = 0; i < window.size(); ++i) ASSERT_EQ(window[i], ((i / 1024) + 2) % 3) << i;

    // 1.5 KiB PRG (2^9 x 3): one whole KiB, so every copy starts at 0 and
    // repeats with a 1536-byte period.
    rom = parse(header_image(0x25, 0, 0, 0x08, 0x0F, 1536));
    rom->copy_prg(7, window.data(), 4096);
    for (std::size_t i = 0; i < 4096; ++i) ASSERT_EQ(window[i], (i % 1536) / 1024) << i;

    // No PRG at all: zeros.
    rom = parse(header_image(0, 0, 0, 0, 0, 0));
    std::fill(window.begin(), window.end(), 0xAA);
    rom->copy_prg(3, window.data(), 8192);
    EXPECT_EQ(std::vector<uint8_t>(window.begin(), window.begin() + 8192), std::vector<uint8_t>(8192, 0));
    EXPECT_EQ(window[8192], 0xAA);

    // CHR-RAM copies inside the pattern memory behave as if the source were
    // read whole before the window is written.
    rom = parse(make_cart(0, 2, 0).image());
    std::vector<uint8_t> pattern(8192);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i / 1024);
    rom->chr_ram = pattern.data();
    rom->copy_chr(4, pattern.data(), 8192);  // a rotation by 4 KiB
    for (std::size_t i = 0; i < pattern.size(); ++i) ASSERT_EQ(pattern[i], ((i / 1024) + 4) % 8) << i;
    rom->copy_chr(6, pattern.data() + 0x1000, 0x1000);  // KiB 6, 7 wrap to 0, 1 of the source
    EXPECT_EQ(pattern[0x1000], 2);
    EXPECT_EQ(pattern[0x1400], 3);
    EXPECT_EQ(pattern[0x1800], 4);
    EXPECT_EQ(pattern[0x1C00], 5);
}
