// The CPU memory map: mirrors, PPU register side effects, OAM DMA, the pad
// ports and the APU register hand-off.
#include <gtest/gtest.h>

#include <string>

#include "apu.h"
#include "controller.h"
#include "cpu_rig.h"

namespace {

using test::Rig;

TEST(MemoryMap, MirrorsAndStorage) {
    Rig r;
    auto& con = *r.console;
    con.poke(0x0001, 0x11);
    con.poke(0x1FFF, 0x22);
    con.poke(0x3FF9, 0x06);  // PPUMASK mirror
    con.poke(0x4000, 0x3F);
    EXPECT_EQ(con.peek(0x0801), 0x11);
    EXPECT_EQ(r.cpu.memory[0x07FF], 0x22);
    EXPECT_EQ(r.cpu.memory[0x1FFF] | r.cpu.memory[0x3FF9], 0);
    EXPECT_EQ(con.peek(0x2001), 0x06);
    EXPECT_EQ(con.peek(0x4000), 0x3F);
    EXPECT_EQ(con.peek(0x5000), 0x00);

    r.cpu.memory[0x2002] = 0x80;
    con.poke(0x2002, 0x00);
    EXPECT_EQ(r.cpu.memory[0x2002], 0x80);
    const uint8_t rom_byte = r.cpu.memory[0x8000];
    con.poke(0x8000, 0x99);
    EXPECT_EQ(r.cpu.memory[0x8000], rom_byte);

    // The accumulator is no address: neither folded nor decoded.
    signed char* a = reinterpret_cast<signed char*>(&r.cpu.A);
    signed char* folded = a;
    r.cpu.map_memory(&folded);
    EXPECT_EQ(folded, a);
    r.cpu.write(a, 0x5A);
    EXPECT_EQ(r.cpu.read(a, true), 0x5A);

    r.cpu.debug = true;
    testing::internal::CaptureStdout();
    con.poke(0x0801, 0xAB);
    r.cpu.debug = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0001=>ab\n");

    // $C000-$FFFF folds onto $8000 only for one 16 KiB bank on mappers 0 and 3.
    for (int mapper : {0, 3, 1, 2}) {
        for (int banks : {1, 2}) {
            test::Cart cart;
            cart.mapper = mapper;
            cart.prg_16k = banks;
            Rig m(cart);
            m.cpu.memory[0xBFFC] = 0x5C;
            m.cpu.memory[0xFFFC] = 0xFC;
            const bool folds = banks == 1 && (mapper == 0 || mapper == 3);
            EXPECT_EQ(m.console->peek(0xFFFC), folds ? 0x5C : 0xFC) << mapper << " " << banks;
        }
    }
}

TEST(MemoryMap, PpuRegisters) {
    Rig r;
    auto& con = *r.console;
    auto& ppu = r.ppu;
    ppu.t = 0x8000;
    con.poke(0x2000, 0x03);
    EXPECT_EQ(ppu.t, 0x8C00);

    con.poke(0x2003, 0x02);
    con.poke(0x2004, 0xFF);  // attribute byte: bits 2-4 do not exist
    EXPECT_EQ(ppu.oam[2], 0xE3);
    EXPECT_EQ(r.cpu.memory[0x2004], 0xE3);
    EXPECT_EQ(ppu.oam_addr, 3);
    con.poke(0x2003, 0x02);
    EXPECT_EQ(con.peek(0x2004), 0xE3);
    EXPECT_EQ(ppu.oam_addr, 2);

    ppu.t = 0;
    con.poke(0x2005, 0x7D);
    con.poke(0x2005, 0x5E);
    EXPECT_EQ(ppu.x, 5);
    EXPECT_EQ(ppu.t, 6 << 12 | 11 << 5 | 15);  // fine Y, coarse Y, coarse X
    EXPECT_FALSE(ppu.w);

    ppu.t = 0xFFFF;
    con.poke(0x2006, 0x21);
    EXPECT_EQ(ppu.t, 0xA1FF);  // bit 14 cleared, bit 15 kept
    ppu.t = 0;
    ppu.w = false;
    con.poke(0x2006, 0x21);
    con.poke(0x2006, 0x08);
    EXPECT_EQ(ppu.t, 0x2108);
    EXPECT_EQ(ppu.v, 0x2108);

    // PPUDATA: writes step v; reads come through the buffer except palette.
    auto set_v = [&](uint16_t v) {
        con.poke(0x2006, v >> 8);
        con.poke(0x2006, v & 0xFF);
    };
    set_v(0x2000);
    con.poke(0x2007, 0xAB);
    con.poke(0x2007, 0xCD);
    EXPECT_EQ(ppu.read(0x2000), 0xAB);
    ppu.read_buffer = 0x77;
    set_v(0x2000);
    EXPECT_EQ(con.peek(0x2007), 0x77);
    EXPECT_EQ(con.peek(0x3FFF), 0xAB);  // a mirror of PPUDATA
    EXPECT_EQ(ppu.read_buffer, 0xCD);
    con.poke(0x2000, 0x04);  // step 32
    EXPECT_EQ(con.peek(0x2007), 0xCD);
    EXPECT_EQ(ppu.v, 0x2022);
    con.poke(0x2007, 0x01);
    EXPECT_EQ(ppu.v, 0x2042);
    con.poke(0x2000, 0x00);
    set_v(0x3F00);
    con.poke(0x2007, 0x2A);
    set_v(0x3F00);
    ppu.read_buffer = 0x55;
    EXPECT_EQ(con.peek(0x2007), 0x2A);
    EXPECT_EQ(ppu.read_buffer, 0x55);
}

TEST(MemoryMap, PpuStatusRaceWithVblank) {
    struct Case {
        int scanline, dot;
        uint8_t stored, expect;
        bool nmi_after, suppressed;
    };
    const Case cases[] = {
        {241, 1, 0x80, 0x00, false, true},   // too early: reads clear, this frame's vblank suppressed
        {241, 2, 0x00, 0x80, false, true},   // reads set, the NMI is cancelled
        {261, 5, 0x80, 0x00, true, false},   // pre-render line: reads clear, nothing else changes
        {100, 5, 0xA0, 0xA0, false, false},  // ordinary read
    };
    for (const Case& c : cases) {
        Rig r;
        r.ppu.scanline = c.scanline;
        r.ppu.dot = c.dot;
        r.ppu.nmi_occurred = true;
        r.ppu.w = true;
        r.cpu.memory[0x2002] = c.stored;
        EXPECT_EQ(r.console->peek(0x2002), c.expect) << c.scanline << "," << c.dot;
        EXPECT_EQ(r.cpu.memory[0x2002], c.stored & 0x7F);
        EXPECT_EQ(r.ppu.nmi_occurred, c.nmi_after);
        EXPECT_EQ(r.ppu.suppress_vblank && r.ppu.suppress_nmi, c.suppressed);
        EXPECT_FALSE(r.ppu.w);
    }
}

TEST(MemoryMap, OamDma) {
    Rig r;
    for (int i = 0; i < 256; ++i) r.cpu.memory[0x200 + i] = static_cast<uint8_t>(i);
    r.program(0x300, {0xA9, 0x02, 0x8D, 0x14, 0x40});  // LDA #$02; STA $4014
    r.run(2);
    EXPECT_EQ(r.cpu.cycles, 6);
    EXPECT_EQ(r.ppu.oam_addr, 0);
    EXPECT_EQ(r.cpu.memory[0x4014], 0x02);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(r.ppu.oam[i], (i & 3) == 2 ? (i & 0xE3) : i) << i;

    r.ppu.oam_addr = 5;  // starts at oam_addr and wraps; masking follows the destination
    r.console->poke(0x4014, 0x02);
    EXPECT_EQ(r.ppu.oam_addr, 5);
    EXPECT_EQ(r.ppu.oam[6], 0x01);
    EXPECT_EQ(r.ppu.oam[10], 0x05 & 0xE3);
    EXPECT_EQ(r.ppu.oam[4], 0xFF);
}

TEST(MemoryMap, PadProtocol) {
    Rig r;
    auto& con = *r.console;
    bool buttons[8] = {true, false, true, true, false, false, true, false};
    NES::Controller pad(buttons);
    r.cpu.set_controller(&pad, 0);
    r.cpu.set_controller(&pad, 7);  // no such port
    EXPECT_EQ(r.cpu.pads[1], nullptr);

    auto reads = [&](uint16_t port, int n) {
        std::string seen;
        for (int i = 0; i < n; ++i) seen += std::to_string(con.peek(port) - 0x40);
        return seen;
    };
    con.poke(0x4016, 1);
    EXPECT_EQ(reads(0x4016, 3), "111");  // strobe held: the first button again and again
    con.poke(0x4016, 0);
    EXPECT_EQ(reads(0x4016, 10), "1011001011");
    EXPECT_EQ(reads(0x4017, 9), "000000001");  // no pad in port 2
}

TEST(MemoryMap, ApuRegisterHandOff) {
    Rig r;
    auto& con = *r.console;
    auto& apu = *r.console->apu;
    con.poke(0x4015, 0x0F);
    con.poke(0x4003, 0x08);
    con.poke(0x400F, 0x08);
    apu.frame_irq = true;
    EXPECT_EQ(con.peek(0x4015), 0x09);
    EXPECT_FALSE(apu.frame_irq);
    EXPECT_EQ(r.cpu.memory[0x4003], 0x08);
    con.poke(0x4015, 0x00);
    EXPECT_EQ(con.peek(0x4015), 0x00);
}

}  // namespace
