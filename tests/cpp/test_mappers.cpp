// Cartridge insertion and the mapper classes, driven through the CPU's memory
// map: which cartridge KiB lands in which window after each register write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "boards/discrete.h"
#include "boards/mmc1.h"
#include "boards/mmc3.h"
#include "boards/mmc5.h"
#include "boards/ntdec2722.h"
#include "boards/vrc.h"
#include "console.h"

namespace {

using Image = std::vector<uint8_t>;

using test::make_cart;

using test::boot;

// An NES 2.0 image with exponent-form PRG: 2^e x (2m+1) bytes, then chr_8k banks of CHR.
Image odd_image(int mapper, int e, int m, int chr_8k) {
    const std::size_t prg_len = (std::size_t{1} << e) * (2 * m + 1);
    return test::raw_image(uint8_t(e << 2 | m), uint8_t(chr_8k), uint8_t((mapper & 0x0F) << 4),
                           uint8_t((mapper & 0xF0) | 0x08), 0x0F, prg_len + chr_8k * 8192);
}

// The byte each KiB of a window holds, or -1 where a KiB is not uniform.
std::vector<int> kibs(const uint8_t* p, int count) {
    std::vector<int> out;
    for (int k = 0; k < count; ++k) {
        const uint8_t* kib = p + k * 1024;
        bool uniform = std::all_of(kib, kib + 1024, [&](uint8_t b) { return b == kib[0]; });
        out.push_back(uniform ? kib[0] : -1);
    }
    return out;
}

// count consecutive KiB numbers from first, wrapping at `wrap` KiB, tagged.
std::vector<int> seq(int first, int count, int wrap = 1 << 20, int tag = 0) {
    std::vector<int> out;
    for (int k = 0; k < count; ++k) out.push_back(tag | ((first + k) % wrap));
    return out;
}
std::vector<int> chr_seq(int first, int count, int wrap = 1 << 20) { return seq(first, count, wrap, 0x80); }

std::vector<int> prg_window(test::Console& c, uint16_t addr, int kib) { return kibs(c.cpu->memory + addr, kib); }
std::vector<int> chr_window(test::Console& c, uint16_t addr, int kib) { return kibs(c.ppu->memory + addr, kib); }

// Writes the low five bits of value to the MMC1 serial port at addr.
void mmc1_write(test::Console& c, uint16_t addr, uint8_t value) {
    for (int i = 0; i < 5; ++i) c.poke(addr, (value >> i) & 1);
}

template <class M>
M& mapper_of(test::Console& c) {
    return *static_cast<M*>(c.rom->mapper.get());
}

}  // namespace

TEST(MapperInsertion, PowerOnWindowsByMapperNumber) {
    // Mappers 0 and 3 copy the PRG from $8000 up; of 64 KiB only the first
    // 32 KiB fit, and nothing lands outside the address space.
    for (int number : {0, 3}) {
        for (int banks : {1, 2, 4}) {
            auto c = boot(make_cart(number, banks, 4));
            const int kib = std::min(banks, 2) * 16;
            EXPECT_EQ(prg_window(*c, 0x8000, kib), seq(0, kib)) << number << " " << banks;
            EXPECT_EQ(chr_window(*c, 0x0000, 8), chr_seq(0, 8));
        }
    }
    for (int number : {1, 2}) {
        auto c = boot(make_cart(number, 8));
        EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(0, 16)) << number;
        EXPECT_EQ(prg_window(*c, 0xC000, 16), seq(112, 16)) << number;
    }

    auto mmc3 = boot(make_cart(4, 8));
    EXPECT_EQ(prg_window(*mmc3, 0x8000, 16), std::vector<int>(16, 0));
    EXPECT_EQ(prg_window(*mmc3, 0xC000, 16), seq(112, 16));

    auto ntdec = boot(make_cart(40, 4));
    EXPECT_EQ(prg_window(*ntdec, 0x6000, 8), seq(48, 8));
    EXPECT_EQ(prg_window(*ntdec, 0x8000, 16), seq(32, 16));
    EXPECT_EQ(prg_window(*ntdec, 0xC000, 8), std::vector<int>(8, 0));
    EXPECT_EQ(prg_window(*ntdec, 0xE000, 8), seq(56, 8));

    // Mapper 65 has no class: nothing is placed, whatever the PRG holds.
    test::Cart unknown = make_cart(65, 2);
    std::fill(unknown.prg_data().begin(), unknown.prg_data().end(), 0x5A);
    auto other = boot(unknown);
    EXPECT_EQ(other->rom->mapper->number, 65);
    EXPECT_EQ(prg_window(*other, 0x8000, 32), std::vector<int>(32, 0));

    // The trainer is placed at $7000-$71FF.
    Image trained = make_cart(0, 1, 1, 0x04).image();
    trained.insert(trained.begin() + 16, 512, 0xEE);
    auto t = boot(trained);
    const uint8_t* m = t->cpu->memory;
    EXPECT_EQ((std::vector<int>{m[0x6FFF], m[0x7000], m[0x71FF], m[0x7200]}), (std::vector<int>{0, 0xEE, 0xEE, 0}));
    EXPECT_EQ(prg_window(*t, 0x8000, 16), seq(0, 16));

    // Re-insertion starts from a cleared address space.
    t->cpu->memory[0x0123] = 0x99;
    t->cpu->memory[0x6000] = 0x98;
    t->cpu->loadRom(t->rom.get(), true);
    EXPECT_EQ(t->cpu->memory[0x0123] | t->cpu->memory[0x6000], 0);
}

TEST(MapperUxROM, BankSelect) {
    auto c = boot(make_cart(2, 8));
    for (int a = 0; a < 0x800; ++a) c->cpu->memory[a] = uint8_t(a * 7);
    c->poke(0x6000, 0x55);
    Image before(c->cpu->memory, c->cpu->memory + 0x8000);

    c->poke(0x8000, 0x13);  // only the low nibble counts: bank 3
    EXPECT_EQ(mapper_of<NES::UxROM>(*c).bank, 48);
    EXPECT_EQ(c->cpu->uxrom_bank, 48);
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(48, 16));
    EXPECT_EQ(prg_window(*c, 0xC000, 16), seq(112, 16));
    EXPECT_EQ(Image(c->cpu->memory, c->cpu->memory + 0x8000), before);

    c->poke(0xFFFF, 9);  // KiB 144 wraps to 16 on 128 KiB
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(16, 16));
    c->poke(0xC123, 0x10);
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(0, 16));
    EXPECT_EQ(c->peek(0x6000), 0x55);

    auto big = boot(make_cart(2, 16));  // 256 KiB: all four bits select
    big->poke(0x8000, 0x0B);
    EXPECT_EQ(prg_window(*big, 0x8000, 16), seq(176, 16));
}

TEST(MapperCNROM, ChrBankSelect) {
    auto c = boot(make_cart(3, 2, 4));
    c->poke(0x8000, 5);  // four banks: 5 selects bank 1
    EXPECT_EQ(mapper_of<NES::CNROM>(*c).bank, 8);
    EXPECT_EQ(c->ppu->chr_bank, 8);
    EXPECT_EQ(chr_window(*c, 0x0000, 8), chr_seq(8, 8));
    c->poke(0xFFFF, 0xFF);  // the whole byte, wrapped: bank 3
    EXPECT_EQ(chr_window(*c, 0x0000, 8), chr_seq(24, 8));
    EXPECT_EQ(prg_window(*c, 0x8000, 32), seq(0, 32));

    // CHR-RAM: nothing to select, the pattern memory is left alone.
    auto ram = boot(make_cart(3, 1, 0));
    std::memset(ram->ppu->memory, 0x3C, 0x2000);
    testing::internal::CaptureStdout();
    ram->poke(0x8000, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ram->ppu->chr_bank, 0);
    EXPECT_EQ(chr_window(*ram, 0x0000, 8), std::vector<int>(8, 0x3C));
}

TEST(MapperNTDEC2722, BankAndInterruptCounter) {
    auto c = boot(make_cart(40, 4));
    c->poke(0xE000, 0x0A);  // KiB 80 wraps to 16 on 64 KiB
    EXPECT_EQ(prg_window(*c, 0xC000, 8), seq(16, 8));
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(32, 16));
    EXPECT_EQ(prg_window(*c, 0xE000, 8), seq(56, 8));
    c->poke(0xC000, 0x01);  // no register here
    EXPECT_EQ(prg_window(*c, 0xC000, 8), seq(16, 8));

    auto& m = mapper_of<NES::NTDEC2722>(*c);
    // Enabled at power-on: the PPU's dots clock it, a request every 12288.
    const auto request_after = [&](int dots) {
        c->cpu->irq_pending = false;
        for (int i = 0; i < dots; ++i) c->ppu->cycle();
        return c->cpu->irq_pending;
    };
    EXPECT_FALSE(request_after(12287));
    EXPECT_TRUE(request_after(1));
    EXPECT_EQ(m.irq_counter, 0x3000);
    EXPECT_TRUE(request_after(12288));

    EXPECT_FALSE(request_after(100));
    c->poke(0xA000, 0);  // does not restart a running counter
    EXPECT_EQ(m.irq_counter, 0x3000 - 100);
    c->poke(0x9FFF, 0);  // stops and rewinds
    EXPECT_FALSE(m.irq_enabled);
    EXPECT_FALSE(request_after(20000));
    EXPECT_EQ(m.irq_counter, 0x3000);
    c->poke(0xBFFF, 0);
    EXPECT_TRUE(request_after(12288));
    c->poke(0x8000, 0);  // a request already made stays
    EXPECT_TRUE(c->cpu->irq_pending);

    // $6000-$7FFF is plain RAM for the program.
    c->poke(0x6000, 0x77);
    EXPECT_EQ(c->peek(0x6000), 0x77);
}

// Its register lies under the test programs' report at $6000, so it has no program.
TEST(MapperJaleco140, LatchAtPrgRamAddresses) {
    auto c = boot(make_cart(140, 16, 16));
    c->poke(0x7000, 0x2B);
    c->poke(0x8000, 0x00);  // no register there
    EXPECT_EQ(prg_window(*c, 0x8000, 32), seq(64, 32));
    EXPECT_EQ(chr_window(*c, 0x0000, 8), chr_seq(88, 8));
}

// A variant hears its own two address lines only: a write to the high nibble
// of CHR bank 0 at its own address, and one at another variant's, which lands
// in the low nibble.
TEST(MapperVRC, EachSubmapperDecodesItsAddressLines) {
    // Mapper, submapper, the offsets of its own and another variant's index 1,
    // and the KiB a high nibble 1 selects (a low nibble 1: KiB 1, 0 halved).
    const int rows[][5] = {{21, 1, 0x02, 0x40, 16}, {21, 2, 0x40, 0x02, 16}, {22, 0, 0x02, 0x01, 8},
                           {23, 1, 0x01, 0x04, 16}, {23, 2, 0x04, 0x01, 16}, {23, 3, 0x01, 0x04, 16},
                           {25, 1, 0x02, 0x08, 16}, {25, 2, 0x08, 0x02, 16}, {25, 3, 0x02, 0x08, 16}};
    for (const auto& [mapper, submapper, own, other, high_kib] : rows) {
        Image img = make_cart(mapper, 16, 32).image();
        img[7] |= 0x08, img[8] = uint8_t(submapper << 4);
        for (int offset : {own, other}) {
            auto c = boot(img);
            c->poke(uint16_t(0xB000 + offset), 1);
            const int kib = offset == own ? high_kib : mapper == 22 ? 0 : 1;
            EXPECT_EQ(chr_window(*c, 0x0000, 1), chr_seq(kib, 1)) << mapper << "/" << submapper << " " << offset;
        }
    }
}

TEST(MapperMMC1, SerialPortAndControl) {
    auto c = boot(make_cart(1, 16, 16));
    auto& m = mapper_of<NES::MMC1>(*c);
    mmc1_write(*c, 0xE000, 5);  // mode 3: KiB 80 at $8000
    ASSERT_EQ(prg_window(*c, 0x8000, 1), seq(80, 1));

    const uint8_t bits[5] = {1, 0, 0, 1, 1};
    const uint8_t shifts[5] = {0x18, 0x0C, 0x06, 0x13, 0x10};
    for (int i = 0; i < 5; ++i) {
        c->poke(0x8000, bits[i]);
        EXPECT_EQ(m.shift, shifts[i]) << i;
    }
    EXPECT_EQ(m.last_value, 0x19);
    EXPECT_EQ(c->ppu->mirroring, 4);  // single-screen on the $2400 table
    EXPECT_EQ(m.prg_mode, 2);
    EXPECT_EQ(m.chr_mode, 1);
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(0, 16));  // copied at once

    // Reset write mid-sequence: PRG mode 3 with the last 16 KiB back at
    // $C000; the arrangement and the CHR mode stay.
    mmc1_write(*c, 0xE000, 5);  // mode 2: KiB 80 at $C000
    ASSERT_EQ(prg_window(*c, 0xC000, 16), seq(80, 16));
    c->poke(0x8000, 1);
    c->poke(0x8000, 1);
    c->poke(0x8000, 0x80);
    EXPECT_EQ(m.shift, 0x10);
    EXPECT_EQ(c->ppu->mirroring, 4);
    EXPECT_EQ(m.prg_mode, 3);
    EXPECT_EQ(m.chr_mode, 1);
    EXPECT_EQ(prg_window(*c, 0xC000, 16), seq(240, 16));
    mmc1_write(*c, 0xA000, 3);  // a full new sequence follows
    EXPECT_EQ(chr_window(*c, 0x0000, 4), chr_seq(12, 4, 128));
    mmc1_write(*c, 0x8000, 0x0C);  // back to 8 KiB CHR mode

    // Only the fifth write's address selects the register.
    for (int i = 0; i < 4; ++i) c->poke(0x8000, 0);
    c->poke(0xA000, 0);
    EXPECT_EQ(chr_window(*c, 0x0000, 8), chr_seq(0, 8));

    // Fifth write to $C000 in 8 KiB mode: nothing moves, the register empties.
    Image ppu_before(c->ppu->memory, c->ppu->memory + 0x4000);
    Image cpu_before(c->cpu->memory + 0x8000, c->cpu->memory + 0x10000);
    mmc1_write(*c, 0xC000, 7);
    EXPECT_EQ(m.shift, 0x10);
    EXPECT_EQ(Image(c->ppu->memory, c->ppu->memory + 0x4000), ppu_before);
    EXPECT_EQ(Image(c->cpu->memory + 0x8000, c->cpu->memory + 0x10000), cpu_before);
}

TEST(MapperMMC1, HardwareModelIgnoresAWriteOnTheNextCycle) {
    // The CPU cycles of two writes of 1 to the serial port; whether the
    // second one shifts in, by model.
    struct Case {
        NES::Accuracy model;
        int64_t gap;
        uint8_t shift;
    };
    for (Case k : {Case{NES::Accuracy::hardware, 1, 0x18}, Case{NES::Accuracy::hardware, 2, 0x1C},
                   Case{NES::Accuracy::standard, 1, 0x1C}}) {
        auto c = boot(make_cart(1, 16, 16), nullptr, k.model);
        c->cpu->cycles = 1000;
        c->poke(0x8000, 1);
        c->cpu->cycles += k.gap;
        c->poke(0x8000, 1);
        EXPECT_EQ(mapper_of<NES::MMC1>(*c).shift, k.shift) << int(k.model) << " " << k.gap;
    }
}

TEST(MapperMMC1, PrgAndChrRegisters) {
    auto c = boot(make_cart(1, 16, 16));  // 256 KiB PRG, 128 KiB CHR
    mmc1_write(*c, 0x8000, 0x0C);         // PRG mode 3
    mmc1_write(*c, 0xE000, 5);
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(80, 16));
    EXPECT_EQ(prg_window(*c, 0xC000, 16), seq(240, 16));
    mmc1_write(*c, 0x8000, 0x08);  // PRG mode 2
    mmc1_write(*c, 0xE000, 5);
    EXPECT_EQ(prg_window(*c, 0x8000, 16), seq(0, 16));
    EXPECT_EQ(prg_window(*c, 0xC000, 16), seq(80, 16));
    mmc1_write(*c, 0x8000, 0x00);  // PRG mode 0: 32 KiB, low bit ignored
    mmc1_write(*c, 0xE000, 5);
    EXPECT_EQ(prg_window(*c, 0x8000, 32), seq(64, 32));
    mmc1_write(*c, 0xE000, 0x1F);  // bit 4 adds 256 KiB, wrapped away
    EXPECT_EQ(prg_window(*c, 0x8000, 32), seq(224, 32));

    mmc1_write(*c, 0xA000, 3);  // 8 KiB mode: low bit ignored
    EXPECT_EQ(chr_window(*c, 0x0000, 8), chr_seq(8, 8));
    mmc1_write(*c, 0x8000, 0x10);  // 4 KiB mode
    mmc1_write(*c, 0xA000, 3);
    EXPECT_EQ(chr_window(*c, 0x0000, 4), chr_seq(12, 4));
    EXPECT_EQ(chr_window(*c, 0x1000, 4), chr_seq(12, 4));
    mmc1_write(*c, 0xC000, 0x1F);  // KiB 124 of 128
    EXPECT_EQ(chr_window(*c, 0x1000, 4), chr_seq(124, 4));
    EXPECT_EQ(chr_window(*c, 0x0000, 4), chr_seq(12, 4));

    // 32 KiB from a bank near the end of 48 KiB wraps to the start.
    auto small = boot(make_cart(1, 3, 1));
    mmc1_write(*small, 0x8000, 0x00);
    mmc1_write(*small, 0xE000, 2);
    EXPECT_EQ(prg_window(*small, 0x8000, 32), seq(32, 32, 48));
}

TEST(MapperMMC1, MirroringMovesTheSecondNameTable) {
    auto c = boot(make_cart(1, 2, 1));
    ASSERT_EQ(c->ppu->mirroring, 0);
    std::memset(c->ppu->memory + 0x2400, 0x11, 0x400);
    std::memset(c->ppu->memory + 0x2800, 0x22, 0x400);
    mmc1_write(*c, 0x8000, 0x02);  // vertical
    EXPECT_EQ(c->ppu->mirroring, 1);
    EXPECT_EQ(c->ppu->memory[0x2400], 0x22);
    EXPECT_EQ(c->ppu->memory[0x27FF], 0x22);
    std::memset(c->ppu->memory + 0x2400, 0x33, 0x400);
    mmc1_write(*c, 0x8000, 0x02);  // already vertical: nothing copied
    EXPECT_EQ(c->ppu->memory[0x2400], 0x33);
    mmc1_write(*c, 0x8000, 0x03);  // horizontal again
    EXPECT_EQ(c->ppu->mirroring, 0);
    EXPECT_EQ(c->ppu->memory[0x2800], 0x33);
    EXPECT_EQ(c->ppu->memory[0x2BFF], 0x33);
    // Single-screen: the lower table, or the upper one (the second table, kept
    // at $2400 while horizontal arrangement is off).
    std::memset(c->ppu->memory + 0x2000, 0x44, 0x400);
    mmc1_write(*c, 0x8000, 0x00);
    EXPECT_EQ(c->ppu->mirroring, 3);
    EXPECT_EQ(c->ppu->read(0x2C00), 0x44);
    mmc1_write(*c, 0x8000, 0x01);
    EXPECT_EQ(c->ppu->mirroring, 4);
    EXPECT_EQ(c->ppu->read(0x2000), 0x33);
    EXPECT_EQ(c->ppu->read(0x2FFF), 0x33);
    mmc1_write(*c, 0x8000, 0x03);  // horizontal: the second table back at $2800
    EXPECT_EQ(c->ppu->read(0x2800), 0x33);
    EXPECT_EQ(c->ppu->read(0x2400), 0x44);

    // The arrangement is applied over a four-screen header too.
    auto four = boot(make_cart(1, 2, 1, 0x08));
    mmc1_write(*four, 0x8000, 0x0E);
    EXPECT_EQ(four->ppu->mirroring, 1);
}

TEST(MapperMMC1, ChrRamCopiesWithinPatternMemory) {
    auto c = boot(make_cart(1, 2, 0));
    for (int i = 0; i < 0x2000; ++i) c->ppu->memory[i] = uint8_t(i / 1024);
    mmc1_write(*c, 0xA000, 0);  // 8 KiB mode, bank 0: itself
    EXPECT_EQ(chr_window(*c, 0x0000, 8), seq(0, 8));
    mmc1_write(*c, 0x8000, 0x1C);  // 4 KiB mode
    mmc1_write(*c, 0xA000, 1);     // $1000-$1FFF over $0000-$0FFF
    EXPECT_EQ(chr_window(*c, 0x0000, 8), (std::vector<int>{4, 5, 6, 7, 4, 5, 6, 7}));
}

TEST(MapperMMC3, PowerOnAndPrgBanks) {
    auto c = boot(make_cart(4, 8, 8));  // 128 KiB PRG, 64 KiB CHR
    c->poke(0x8000, 0x46);              // PRG mode change swaps $8000 and $C000
    EXPECT_EQ(prg_window(*c, 0x8000, 8), seq(112, 8));
    EXPECT_EQ(prg_window(*c, 0xC000, 8), std::vector<int>(8, 0));
    c->poke(0x8001, 0x45);  // KiB (0x45 & 0x3F) x 8 = 40 into $C000
    EXPECT_EQ(prg_window(*c, 0xC000, 8), seq(40, 8));
    EXPECT_EQ(prg_window(*c, 0xE000, 8), seq(120, 8));

    c->poke(0x9FFE, 0x07);  // mode back: windows swap again
    EXPECT_EQ(prg_window(*c, 0x8000, 8), seq(40, 8));
    EXPECT_EQ(prg_window(*c, 0xC000, 8), seq(112, 8));
    c->poke(0x9FFF, 0xFF);  // register 7: KiB 63 x 8 wraps to 120
    EXPECT_EQ(prg_window(*c, 0xA000, 8), seq(120, 8));
    c->poke(0x8000, 0x06);
    c->poke(0x8001, 2);
    EXPECT_EQ(prg_window(*c, 0x8000, 8), seq(16, 8));

    // A select that keeps both mode bits moves nothing.
    Image cpu_before(c->cpu->memory, c->cpu->memory + 0x10000);
    Image ppu_before(c->ppu->memory, c->ppu->memory + 0x4000);
    c->poke(0x8000, 0x01);
    EXPECT_EQ(Image(c->cpu->memory, c->cpu->memory + 0x10000), cpu_before);
    EXPECT_EQ(Image(c->ppu->memory, c->ppu->memory + 0x4000), ppu_before);
}

TEST(MapperMMC3, ChrRegisterWindows) {
    struct Row {
        int reg;
        uint16_t normal, inverted;
        int kib;
    };
    const Row rows[] = {{0, 0x0000, 0x1000, 2}, {1, 0x0800, 0x1800, 2}, {2, 0x1000, 0x0000, 1},
                        {3, 0x1400, 0x0400, 1}, {4, 0x1800, 0x0800, 1}, {5, 0x1C00, 0x0C00, 1}};
    for (const Row& row : rows) {
        for (bool invert : {false, true}) {
            auto c = boot(make_cart(4, 8, 8));
            c->poke(0x8000, uint8_t(row.reg | (invert ? 0x80 : 0)));
            Image before(c->ppu->memory, c->ppu->memory + 0x2000);
            c->poke(0x8001, 0x61);  // 2 KiB banks drop the low bit; wraps at 64 KiB
            uint16_t window = invert ? row.inverted : row.normal;
            EXPECT_EQ(chr_window(*c, window, row.kib), row.kib == 2 ? chr_seq(32, 2) : chr_seq(33, 1))
                << row.reg << " " << invert;
            Image after(c->ppu->memory, c->ppu->memory + 0x2000);
            std::copy(before.begin() + window, before.begin() + window + row.kib * 1024, after.begin() + window);
            EXPECT_EQ(after, before) << "outside the window, register " << row.reg;
        }
    }

    auto c = boot(make_cart(4, 8, 8));
    c->poke(0x8000, 0x80);  // CHR inversion swaps the halves
    EXPECT_EQ(chr_window(*c, 0x0000, 8), (std::vector<int>{0x84, 0x85, 0x86, 0x87, 0x80, 0x81, 0x82, 0x83}));
    c->poke(0x8001, 0x03);
    EXPECT_EQ(chr_window(*c, 0x1000, 2), chr_seq(2, 2));
    auto d = boot(make_cart(4, 8, 8));
    d->poke(0x8000, 0x02);
    d->poke(0x8001, 0x07);
    EXPECT_EQ(chr_window(*d, 0x1000, 1), chr_seq(7, 1));

    // CHR-RAM: the banks come from the pattern memory itself.
    auto ram = boot(make_cart(4, 8, 0));
    for (int i = 0; i < 0x2000; ++i) ram->ppu->memory[i] = uint8_t(i / 1024);
    ram->poke(0x8000, 0x02);
    ram->poke(0x8001, 0x0F);  // KiB 15 wraps to 7
    EXPECT_EQ(chr_window(*ram, 0x0000, 8), (std::vector<int>{0, 1, 2, 3, 7, 5, 6, 7}));
}

TEST(MapperMMC3, MirroringAndRamProtect) {
    auto c = boot(make_cart(4, 8, 8));
    c->poke(0xA000, 0x01);
    EXPECT_EQ(c->ppu->mirroring, 0);
    c->ppu->write(0x2800, 0x5B);  // the second table
    c->poke(0xBFFE, 0x00);
    EXPECT_EQ(c->ppu->mirroring, 1);
    EXPECT_EQ(c->ppu->read(0x2400), 0x5B);  // it keeps its contents
    auto four = boot(make_cart(4, 8, 8, 0x08));
    four->poke(0xA000, 0x01);
    EXPECT_EQ(four->ppu->mirroring, 2);
    four->poke(0xA000, 0x00);
    EXPECT_EQ(four->ppu->mirroring, 2);

    auto& m = mapper_of<NES::MMC3>(*c);
    c->poke(0x6000, 0x11);
    c->poke(0xA001, 0x40);
    EXPECT_EQ(m.ram_protect, 1);
    EXPECT_EQ(m.ram_enable, 0);
    c->poke(0x6000, 0x22);
    c->poke(0x7FFF, 0x22);
    EXPECT_EQ(c->peek(0x6000), 0x11);
    EXPECT_EQ(c->peek(0x7FFF), 0x00);
    c->poke(0x0010, 0x33);  // RAM is not protected
    EXPECT_EQ(c->peek(0x0010), 0x33);
    c->poke(0xA001, 0x80);
    EXPECT_EQ(m.ram_enable, 1);
    c->poke(0x6000, 0x44);
    EXPECT_EQ(c->peek(0x6000), 0x44);
    c->poke(0xA001, 0x40);
    c->poke(0xBFFF, 0x00);
    c->poke(0x6000, 0x55);
    EXPECT_EQ(c->peek(0x6000), 0x55);
}

TEST(MapperMMC3, InterruptCounter) {
    auto c = boot(make_cart(4, 8, 8));
    auto& m = mapper_of<NES::MMC3>(*c);
    auto steps_until_request = [&](int limit) {
        for (int i = 1; i <= limit; ++i) {
            m.scanline_clock(c->cpu.get());
            if (c->cpu->irq_pending) {
                c->cpu->irq_pending = false;
                return i;
            }
        }
        return -1;
    };
    // Power-on: counter and latch 255, enabled. Each count to 0 is followed
    // by a reload, so latch N requests every N + 1 counted lines.
    EXPECT_EQ(steps_until_request(1000), 255);
    EXPECT_EQ(steps_until_request(1000), 256);

    c->poke(0xC000, 1);  // latch 1, then reload
    c->poke(0xC001, 0);
    EXPECT_EQ(m.irq_counter, 0);
    EXPECT_EQ(steps_until_request(10), 2);
    EXPECT_EQ(steps_until_request(10), 2);

    c->poke(0xDFFE, 0);  // latch 0: a request on every counted line
    c->poke(0xDFFF, 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(steps_until_request(10), 1);

    c->poke(0xC000, 3);
    c->poke(0xC001, 0);
    c->poke(0xE000, 0);  // disabled: counts, does not request
    EXPECT_EQ(steps_until_request(7), -1);
    c->poke(0xE001, 0);
    EXPECT_EQ(m.irq_counter, 1);  // 7 steps: reload to 3, 2, 1, 0, reload to 3, 2, 1
    EXPECT_EQ(steps_until_request(10), 1);
    EXPECT_EQ(steps_until_request(10), 4);
    for (int i = 0; i < 4; ++i) m.scanline_clock(c->cpu.get());
    c->poke(0xFFFE, 0);  // disabling does not withdraw a request
    EXPECT_TRUE(c->cpu->irq_pending);
}

TEST(MapperMMC3, ClockGating) {
    auto c = boot(make_cart(4, 8, 8));
    auto& m = mapper_of<NES::MMC3>(*c);
    void** ctx = c->ppu->mapper_context;
    auto counter_after_clock = [&](uint8_t mask, int dot, int scanline) {
        m.irq_counter = 100;
        c->cpu->memory[0x2001] = mask;
        c->ppu->dot = dot;
        c->ppu->scanline = scanline;
        m.clock(ctx);
        return m.irq_counter;
    };
    EXPECT_EQ(counter_after_clock(0x08, 256, 0), 99);
    EXPECT_EQ(counter_after_clock(0x10, 256, 239), 99);
    EXPECT_EQ(counter_after_clock(0x18, 256, 261), 99);  // the pre-render line
    EXPECT_EQ(counter_after_clock(0x00, 256, 0), 100);
    EXPECT_EQ(counter_after_clock(0xE7, 256, 0), 100);
    EXPECT_EQ(counter_after_clock(0x18, 255, 0), 100);
    EXPECT_EQ(counter_after_clock(0x18, 257, 0), 100);
    EXPECT_EQ(counter_after_clock(0x18, 256, 240), 100);
    EXPECT_EQ(counter_after_clock(0x18, 256, 241), 100);
    EXPECT_EQ(counter_after_clock(0x18, 256, 260), 100);

    // Driven by the PPU for a whole frame with rendering on: 241 steps
    // (reload to 250, then 240 decrements); with rendering off it stands still.
    auto run = boot(make_cart(4, 8, 8));
    run->poke(0xC000, 250);
    run->poke(0xC001, 0);
    for (uint8_t mask : {0x18, 0x00}) {
        run->poke(0x2001, mask);
        for (int64_t frames = run->ppu->frames; run->ppu->frames == frames;) run->ppu->cycle();
        EXPECT_EQ(mapper_of<NES::MMC3>(*run).irq_counter, 250 - 240) << int(mask);
    }
    EXPECT_FALSE(run->cpu->irq_pending);
}

TEST(MapperState, RoundTripPerClass) {
    char block[NES::MAPPER_BLOCK_LEN];

    // MMC3: bank select and the previous one, RAM protect and enable, IRQ
    // enable, reserved word, counter (0 after the reload request, little-endian), latch.
    auto mmc3 = boot(make_cart(4, 8, 8));
    auto& m3 = mapper_of<NES::MMC3>(*mmc3);
    for (auto [address, value] : {std::pair{0x8000, 0xC5}, {0xA001, 0x40}, {0xC000, 9}, {0xC001, 0}, {0xE000, 0}}) {
        mmc3->poke(uint16_t(address), uint8_t(value));
    }
    m3.reserved0 = 0x1234;
    m3.serialize(mmc3->ppu->mapper_context, block);
    EXPECT_EQ(std::string(block, 12), std::string("\xC5\xC5\x01\x00\x00\x34\x12\x00\x00\x00\x00\x09", 12));
    NES::MMC3 fresh;
    fresh.deserialize(mmc3->ppu->mapper_context, block);
    char again[NES::MAPPER_BLOCK_LEN];
    fresh.serialize(mmc3->ppu->mapper_context, again);
    EXPECT_EQ(std::string(again, 14), std::string(block, 14));

    // UxROM and CNROM: the bank as a 32-bit KiB index, placed again on restore.
    auto ux = boot(make_cart(2, 8));
    auto& mu = mapper_of<NES::UxROM>(*ux);
    ux->poke(0x8000, 3);
    mu.serialize(ux->ppu->mapper_context, block);
    EXPECT_EQ(std::string(block, 4), std::string("\x30\0\0\0", 4));
    ux->poke(0x8000, 0);
    mu.deserialize(ux->ppu->mapper_context, block);
    EXPECT_EQ(mu.bank, 48);
    EXPECT_EQ(ux->cpu->uxrom_bank, 48);
    EXPECT_EQ(prg_window(*ux, 0x8000, 16), seq(48, 16));
    EXPECT_EQ(prg_window(*ux, 0xC000, 16), seq(112, 16));

    auto cn = boot(make_cart(3, 2, 4));
    auto& mc = mapper_of<NES::CNROM>(*cn);
    cn->poke(0x8000, 2);
    mc.serialize(cn->ppu->mapper_context, block);
    EXPECT_EQ(std::string(block, 4), std::string("\x10\0\0\0", 4));
    cn->poke(0x8000, 0);
    mc.deserialize(cn->ppu->mapper_context, block);
    EXPECT_EQ(mc.bank, 16);
    EXPECT_EQ(cn->ppu->chr_bank, 16);
    EXPECT_EQ(chr_window(*cn, 0x0000, 8), chr_seq(16, 8));

    // MMC1: modes, shift register and last value.
    auto mmc1 = boot(make_cart(1, 16, 16));
    auto& m1 = mapper_of<NES::MMC1>(*mmc1);
    mmc1_write(*mmc1, 0x8000, 0x1A);
    mmc1->poke(0x8000, 1);
    mmc1->poke(0x8000, 0);
    m1.serialize(mmc1->ppu->mapper_context, block);
    mmc1->poke(0x8000, 0x80);
    m1.deserialize(mmc1->ppu->mapper_context, block);
    EXPECT_EQ(m1.prg_mode, 2);
    EXPECT_EQ(m1.chr_mode, 1);
    EXPECT_EQ(m1.shift, 0x0C);
    EXPECT_EQ(m1.last_value, 0x1A);
    // The restored shift register completes the interrupted sequence.
    for (int bit : {1, 0, 0}) mmc1->poke(0xE000, uint8_t(bit));
    EXPECT_EQ(m1.last_value, 0x05);
    EXPECT_EQ(prg_window(*mmc1, 0xC000, 16), seq(80, 16));
    // A block without the marker bit cannot lock the serial port.
    std::memset(block, 0, 4);
    m1.deserialize(mmc1->ppu->mapper_context, block);
    EXPECT_EQ(m1.shift, 0x10);

    // Classes without registers leave the block alone.
    for (int number : {0, 40, 65}) {
        auto c = boot(make_cart(number, 4));
        std::memset(block, 0xCD, sizeof block);
        c->rom->mapper->serialize(c->ppu->mapper_context, block);
        EXPECT_EQ(std::string(block, sizeof block), std::string(sizeof block, '\xCD')) << number;
    }
}

TEST(MapperBounds, SmallAndOddCartridgesRun) {
    // Every image here has less data than some window the mapper copies; the
    // sanitizer build catches any copy that strays outside prg, chr or the
    // destination arrays.
    std::vector<Image> images;
    for (int number : {0, 1, 2, 3, 4, 5, 40, 65}) {
        images.push_back(odd_image(number, 1, 3, 0));       // 14 bytes of PRG, CHR-RAM
        images.push_back(odd_image(number, 13, 0, 1));      // 8 KiB
        images.push_back(odd_image(number, 10, 1, 1));      // 3 KiB
        images.push_back(odd_image(number, 9, 1, 0));       // 1.5 KiB
        images.push_back(make_cart(number, 3, 1).image());  // 48 KiB
        images.push_back(make_cart(number, 4, 2).image());  // 64 KiB
    }
    for (const Image& img : images) {
        auto c = boot(img);
        testing::internal::CaptureStdout();
        for (uint16_t addr : {0x8000, 0x8001, 0xA000, 0xA001, 0xC000, 0xC001, 0xE000, 0xE001}) {
            for (uint8_t v : {0x00, 0x01, 0x3F, 0x46, 0x7F, 0x80, 0xC7, 0xFF}) {
                c->poke(addr, v);
                if (c->rom->mapper->number == 1) mmc1_write(*c, addr, v);
            }
        }
        c->poke(0x2001, 0x18);
        for (int i = 0; i < 2000; ++i) c->step();
        testing::internal::GetCapturedStdout();
        // The program cannot store into $8000-$FFFF: every byte there came
        // from the PRG data (or is an unplaced 0).
        uint8_t highest = c->rom->prg.empty() ? 0 : *std::max_element(c->rom->prg.begin(), c->rom->prg.end());
        EXPECT_LE(*std::max_element(c->cpu->memory + 0x8000, c->cpu->memory + 0x10000), highest);
    }

    // Under 16 KiB of PRG the "last 16 KiB" is the data from its start, for
    // insertion and for MMC1's re-copy alike.
    auto small_mmc1 = boot(odd_image(1, 10, 1, 1));  // 3 KiB
    const std::vector<int> at_insertion = prg_window(*small_mmc1, 0xC000, 16);
    EXPECT_EQ(at_insertion[0], 0);
    small_mmc1->poke(0x8000, 0x80);  // reset write: PRG mode 3 copies the last 16 KiB again
    EXPECT_EQ(prg_window(*small_mmc1, 0xC000, 16), at_insertion);

    // A 14-byte PRG repeats through the windows it is copied into.
    Image tiny_image = odd_image(2, 1, 3, 0);
    for (int i = 0; i < 14; ++i) tiny_image[16 + i] = uint8_t(i + 1);
    auto tiny = boot(tiny_image);
    tiny->poke(0x8000, 5);
    for (int k = 0; k < 0x8000; ++k) ASSERT_EQ(tiny->cpu->memory[0x8000 + k], (k % 0x4000) % 14 + 1) << k;
}

// The MMC5's extended attributes and split on the drawn palette values, in
// both models and across a snapshot taken mid-frame. 4 KiB CHR bank k draws
// tile t in value (k + t) % 3 + 1 on every row, and palette entry 4p + c
// holds $10 + 4p + c, so a pixel tells its bank, tile and palette. The
// picture is scrolled by 3 pixels.
TEST(MapperMMC5, ExtendedAttributesAndSplitAsDrawn) {
    test::Cart cart = make_cart(5, 2, 8);
    std::vector<uint8_t>& chr = cart.chr_data();
    for (std::size_t i = 0; i < chr.size(); ++i) {
        const int value = static_cast<int>(i / 4096 + (i / 16) % 256) % 3 + 1;
        chr[i] = ((value >> ((i & 8) ? 1 : 0)) & 1) ? 0xFF : 0x00;
    }
    cart.poke(0xE000, {0x4C, 0x00, 0xE0});  // JMP $E000
    cart.set_reset_vector(0xE000);
    const auto drawn = [](int bank, int tile, int palette) { return 0x10 + 4 * palette + (bank + tile) % 3 + 1; };
    struct Mode {
        const char* name;
        std::vector<std::pair<uint16_t, uint8_t>> writes;
        int (*exram)(int index);                            // the ExRAM byte at an index
        int (*expected)(int line, int x, decltype(drawn));  // the value at a pixel
    };
    const Mode modes[] = {
        {"extended attributes",
         {{0x5104, 1}},
         [](int i) { return (i & 3) << 6 | (i % 16); },
         [](int, int x, decltype(drawn) d) { return d((x + 3) / 8 % 16, 0, (x + 3) / 8 & 3); }},
        {"split, 4 tiles on the left, scrolled a row down",
         {{0x5104, 0}, {0x5200, 0x84}, {0x5201, 8}, {0x5202, 5}},
         [](int i) { return i >= 0x3C0 ? 0xE4 : (i / 32 + i % 32) & 0xFF; },
         [](int line, int x, decltype(drawn) d) {
             const int row = (line + 8) / 8, col = (x + 3) / 8;
             if (col >= 4) return d(0, 0, 0);
             return d(5, row + col, (row & 2) | (col >> 1 & 1));
         }},
    };
    for (const Mode& mode : modes) {
        for (NES::Accuracy model : {NES::Accuracy::standard, NES::Accuracy::hardware}) {
            auto set_up = [&] {
                auto c = boot(cart, nullptr, model);
                c->poke(0x2006, 0x3F);
                c->poke(0x2006, 0x00);
                for (int i = 0; i < 16; ++i) c->poke(0x2007, uint8_t(0x10 + i));
                c->poke(0x2005, 3);  // fine X 3: the look-ahead fetches matter
                c->poke(0x2005, 0);
                for (auto [address, value] : mode.writes) c->poke(address, value);
                for (int i = 0; i < 0x400; ++i) c->poke(uint16_t(0x5C00 + i), uint8_t(mode.exram(i)));
                c->poke(0x2001, 0x0A);
                return c;
            };
            auto a = set_up();
            a->run_frame();
            for (int i = 0; i < 2000; ++i) a->step();
            const std::vector<uint8_t> s = NES::save_snapshot(*a->cpu);
            auto b = set_up();
            NES::load_snapshot(*b->cpu, s.data(), s.size());
            for (test::Console* c : {a.get(), b.get()}) {
                c->run_frame();
                for (int line : {4, 20}) {
                    for (int x = 0; x < 256; ++x)
                        ASSERT_EQ(c->ppu->index_buffer[line * 256 + x], mode.expected(line, x, drawn))
                            << mode.name << (model == NES::Accuracy::hardware ? ", hardware model" : "") << ", line "
                            << line << ", x " << x << (c == b.get() ? ", after the snapshot" : "");
                }
            }
        }
    }
}
