// The PPU inside a whole console: a small program sets up a picture through
// the PPU registers and counts its NMIs.
#include <gtest/gtest.h>

#include "console.h"

namespace {

test::Cart picture_cart() {
    test::Cart cart;
    cart.prg_16k = 2;
    cart.chr.assign(8192, 0);
    for (int r = 0; r < 8; ++r) cart.chr[16 + r] = 0xFF;  // tile 1: every pixel colour 1
    cart.poke(0x8000, {
                          0x78,              // 8000 SEI
                          0xD8,              // 8001 CLD
                          0xA2, 0xFF,        // 8002 LDX #$FF
                          0x9A,              // 8004 TXS
                          0x2C, 0x02, 0x20,  // 8005 BIT $2002      wait for two vertical blanks
                          0x10, 0xFB,        // 8008 BPL $8005
                          0x2C, 0x02, 0x20,  // 800A BIT $2002
                          0x10, 0xFB,        // 800D BPL $800A
                          0xA9, 0x3F,        // 800F LDA #$3F       palette: backdrop $0F, colour 1 $16
                          0x8D, 0x06, 0x20,  // 8011 STA $2006
                          0xA9, 0x00,        // 8014 LDA #$00
                          0x8D, 0x06, 0x20,  // 8016 STA $2006
                          0xA9, 0x0F,        // 8019 LDA #$0F
                          0x8D, 0x07, 0x20,  // 801B STA $2007
                          0xA9, 0x16,        // 801E LDA #$16
                          0x8D, 0x07, 0x20,  // 8020 STA $2007
                          0xA9, 0x20,        // 8023 LDA #$20       name table $2000: 1024 x tile 1
                          0x8D, 0x06, 0x20,  // 8025 STA $2006
                          0xA9, 0x00,        // 8028 LDA #$00
                          0x8D, 0x06, 0x20,  // 802A STA $2006
                          0xA0, 0x04,        // 802D LDY #4
                          0xA2, 0x00,        // 802F LDX #0
                          0xA9, 0x01,        // 8031 LDA #1
                          0x8D, 0x07, 0x20,  // 8033 STA $2007
                          0xCA,              // 8036 DEX
                          0xD0, 0xFA,        // 8037 BNE $8033
                          0x88,              // 8039 DEY
                          0xD0, 0xF7,        // 803A BNE $8033
                          0xA9, 0x23,        // 803C LDA #$23       attributes back to palette 0
                          0x8D, 0x06, 0x20,  // 803E STA $2006
                          0xA9, 0xC0,        // 8041 LDA #$C0
                          0x8D, 0x06, 0x20,  // 8043 STA $2006
                          0xA2, 0x40,        // 8046 LDX #64
                          0xA9, 0x00,        // 8048 LDA #0
                          0x8D, 0x07, 0x20,  // 804A STA $2007
                          0xCA,              // 804D DEX
                          0xD0, 0xFA,        // 804E BNE $804A
                          0x8D, 0x05, 0x20,  // 8050 STA $2005      scroll 0, 0
                          0x8D, 0x05, 0x20,  // 8053 STA $2005
                          0xA9, 0x80,        // 8056 LDA #$80       NMI on
                          0x8D, 0x00, 0x20,  // 8058 STA $2000
                          0xA9, 0x0A,        // 805B LDA #$0A       background on, left column too
                          0x8D, 0x01, 0x20,  // 805D STA $2001
                          0x4C, 0x60, 0x80,  // 8060 JMP $8060
                      });
    cart.poke(0x8070, {0xE6, 0x10, 0x40});  // NMI: INC $10; RTI
    cart.poke(0xFFFA, {0x70, 0x80, 0x00, 0x80, 0x70, 0x80});
    return cart;
}

TEST(PpuConsole, ProgramDrawsBackgroundAndTakesOneNmiPerFrame) {
    test::Console console(picture_cart());
    for (int i = 0; i < 4; ++i) console.run_frame();
    const NES::PPU& ppu = *console.ppu;
    EXPECT_EQ(ppu.read(0x3F01), 0x16);
    EXPECT_EQ(ppu.read(0x2000), 0x01);
    EXPECT_EQ(ppu.read(0x23C0), 0x00);
    for (int i = 0; i < 240 * 256; ++i) ASSERT_EQ(ppu.index_buffer[i], 0x16) << "pixel " << i;

    const uint8_t nmis = console.cpu->memory[0x10];
    EXPECT_GE(nmis, 1);
    for (int i = 1; i <= 3; ++i) {
        console.run_frame();
        EXPECT_EQ(console.cpu->memory[0x10], static_cast<uint8_t>(nmis + i));
    }
    // Three dots per CPU cycle, and whole frames of 262 x 341 dots.
    EXPECT_EQ(ppu.cycles, 3 * console.cpu->cycles);
    EXPECT_EQ(ppu.scanline, 0);
}

}  // namespace
