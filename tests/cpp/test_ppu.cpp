// PPU address space, scroll increments, timing and the renderer, driven
// through the PPU's own fields with stand-in register bytes; and a whole
// console whose program draws through the PPU registers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "console.h"
#include "mapper.h"
#include "ppu.h"
#include "rom.h"
#include "workload.h"

namespace {

constexpr int FRAME_DOTS = 262 * 341;

// A PPU whose PPUCTRL/PPUMASK/PPUSTATUS bytes live in the rig, with distinct
// colours for every palette entry (background $01.., sprites $11.., backdrop
// $0F) and every sprite hidden below the picture.
// With `spans` set it steps through the fast path (run_until) instead of
// calling cycle() dot by dot.
struct Rig {
    std::unique_ptr<NES::PPU> ppu = std::make_unique<NES::PPU>();
    uint8_t regs[9] = {};
    uint8_t& ctrl = regs[0];
    uint8_t& mask = regs[1];
    uint8_t& status = regs[2];
    bool spans = false;
    NES::Accuracy model = NES::Accuracy::standard;

    explicit Rig(bool spans = false) : spans(spans) {
        for (int i = 0; i < 9; ++i) ppu->register_ptrs[i] = &regs[i];
        ppu->memory[0x3F00] = 0x0F;
        for (int i = 1; i < 16; ++i) ppu->memory[0x3F00 + i] = static_cast<uint8_t>(i);
        for (int i = 1; i < 16; ++i) ppu->memory[0x3F10 + i] = static_cast<uint8_t>(0x10 + i);
        std::memset(ppu->oam, 0xFF, 256);
    }
    // The fast path or the dot step (the hardware model's with `model` set)
    // and a run of `spans` of the model.
    explicit Rig(std::tuple<bool, NES::Accuracy> how) : Rig(std::get<0>(how)) {
        model = ppu->accuracy = std::get<1>(how);
    }
    void dot_step() {
        if (model == NES::Accuracy::hardware)
            ppu->cycle<NES::Accuracy::hardware>();
        else
            ppu->cycle();
    }
    void run_for(int64_t dots) {
        if (model == NES::Accuracy::hardware)
            ppu->run_until<NES::Accuracy::hardware>(ppu->cycles + dots);
        else
            ppu->run_until(ppu->cycles + dots);
    }
    // Runs until the next dot to process is (scanline, dot).
    void run_to(int scanline, int dot) {
        if (spans) {
            int64_t d = (int64_t{scanline} - ppu->scanline) * 341 + (dot - ppu->dot);
            if (d < 0) d += FRAME_DOTS;
            run_for(d);
        }
        while (ppu->scanline != scanline || ppu->dot != dot) dot_step();
    }
    void step() {
        if (spans)
            run_for(1);
        else
            dot_step();
    }
    // Runs to the next frame boundary and then one whole frame, so the
    // picture is drawn entirely with the current settings.
    void full_frame() {
        int64_t f = ppu->frames;
        while (ppu->frames == f) step();
        while (ppu->frames == f + 1) step();
    }
    uint8_t px(int row, int col) const { return ppu->index_buffer[row * 256 + col]; }
    const uint8_t* rgb(int row, int col) const { return ppu->frame_buffer + 3 * (row * 256 + col); }

    // Writes tile n of a pattern table from pixel values 0..3, value(row, col).
    template <typename F>
    void tile(int table, int n, F value) {
        for (int r = 0; r < 8; ++r) {
            uint8_t lo = 0, hi = 0;
            for (int c = 0; c < 8; ++c) {
                int p = value(r, c);
                lo |= (p & 1) << (7 - c);
                hi |= ((p >> 1) & 1) << (7 - c);
            }
            ppu->memory[table * 0x1000 + n * 16 + r] = lo;
            ppu->memory[table * 0x1000 + n * 16 + r + 8] = hi;
        }
    }
    void fill_nametable(uint16_t base, uint8_t tile_no, uint8_t attr) {
        for (int i = 0; i < 960; ++i) ppu->write(base + i, tile_no);
        for (int i = 960; i < 1024; ++i) ppu->write(base + i, attr);
    }
    void sprite(int entry, uint8_t y, uint8_t tile_no, uint8_t attr, uint8_t x) {
        uint8_t* e = ppu->oam + 4 * entry;
        e[0] = y, e[1] = tile_no, e[2] = attr, e[3] = x;
    }
};

// Records the counters the mapper sees on every clock.
struct ProbeMapper : NES::Mapper {
    ProbeMapper() : Mapper(0) {}
    int64_t calls = 0;
    int scanline = -1, dot = -1;
    int64_t frames = -1;
    void** context = nullptr;
    void map_write(void**, signed char*, signed char*) override {}
    void map_read(void**, signed char*) override {}
    void clock(void** ctx) override {
        auto* p = static_cast<NES::PPU*>(ctx[1]);
        ++calls, scanline = p->scanline, dot = p->dot, frames = p->frames, context = ctx;
    }
    void serialize(void**, char*) override {}
    void deserialize(void**, char*) override {}
};

TEST(PpuMemory, NameTableMirroring) {
    // The storage each of $2000, $2400, $2800, $2C00 lands in, by arrangement:
    // horizontal, vertical, four screens, single screen.
    const int tables[4][4] = {{0, 0, 2, 2}, {0, 1, 0, 1}, {0, 1, 2, 3}, {0, 0, 0, 0}};
    NES::PPU ppu;
    for (int m = 0; m < 4; ++m) {
        ppu.mirroring = m;
        for (int t = 0; t < 4; ++t) {
            for (int q = 0; q < 4; ++q) ppu.write(0x2007 + 0x400 * q, 0);
            ppu.write(0x2007 + 0x400 * t, 0x5A);
            for (int q = 0; q < 4; ++q) {
                EXPECT_EQ(ppu.read(0x2007 + 0x400 * q), tables[m][t] == tables[m][q] ? 0x5A : 0) << m << t << q;
            }
        }
        ppu.write(0x3000 + 0x400 * m, static_cast<signed char>(0x70 + m));  // $3000-$3EFF mirror $2000-$2EFF
        EXPECT_EQ(ppu.read(0x2000 + 0x400 * m), 0x70 + m) << "mirroring " << m;
    }
}

TEST(PpuMemory, PaletteMirrors) {
    NES::PPU ppu;
    ppu.write(0x3F10, 0x01);
    EXPECT_EQ(ppu.read(0x3F00), 0x01);
    ppu.write(0x3F04, 0x02);
    EXPECT_EQ(ppu.read(0x3F14), 0x02);
    ppu.write(0x3F23, 0x03);
    EXPECT_EQ(ppu.read(0x3F03), 0x03);
    ppu.write(0x3F30, 0x04);
    EXPECT_EQ(ppu.read(0x3F00), 0x04);
    EXPECT_EQ(ppu.read(0x3F10), 0x04);
    ppu.write(0x3F11, 0x05);  // sprite colours other than the four backdrops are their own
    EXPECT_EQ(ppu.read(0x3F01), 0x00);
    EXPECT_EQ(ppu.memory[0x3F11], 0x05);
    // Pattern tables are not folded.
    ppu.write(0x1FFF, 0x06);
    EXPECT_EQ(ppu.memory[0x1FFF], 0x06);

    short a = 0x3F1C;
    ppu.map_memory(a);
    EXPECT_EQ(a, 0x3F0C);
    // The bus is 14 bits wide: addresses beyond it stay inside the memory.
    ppu.write(static_cast<short>(0x7F01), 0x07);
    EXPECT_EQ(ppu.read(0x3F01), 0x07);
    EXPECT_EQ(ppu.read(static_cast<short>(0xC000)), ppu.read(0x0000));

    EXPECT_EQ(ppu.get_addr(reinterpret_cast<signed char*>(ppu.memory + 0x2345)), 0x2345);
}

TEST(PpuScroll, Increments) {
    NES::PPU ppu;
    auto horiz = [&](uint16_t v) { return ppu.v = v, ppu.v_horiz(), ppu.v; };
    auto vert = [&](uint16_t v) { return ppu.v = v, ppu.v_vert(), ppu.v; };
    EXPECT_EQ(horiz(0x001F), 0x0400);
    EXPECT_EQ(horiz(0x041F), 0x0000);
    EXPECT_EQ(horiz(0x7BE5), 0x7BE6);
    EXPECT_EQ(vert(0x73A0), 0x0800);  // fine Y 7, coarse Y 29: next vertical table
    EXPECT_EQ(vert(0x7BA0), 0x0000);
    EXPECT_EQ(vert(0x73E0), 0x0000);  // coarse Y 31 wraps in the same table
    EXPECT_EQ(vert(0x7FC5), 0x0FE5);  // coarse Y 30 goes on to 31
    EXPECT_EQ(vert(0x0000), 0x1000);
    EXPECT_EQ(vert(0x7C3F), 0x0C5F);  // coarse X and table bits survive
}

TEST(PpuState, ConstructionAndLoadRom) {
    Rig rig;
    NES::PPU& p = *rig.ppu;
    EXPECT_EQ(p.scanline, 0);
    EXPECT_EQ(p.dot, 25);
    EXPECT_EQ(p.cycles, 0);
    EXPECT_FALSE(p.post_render);
    for (int i = 0; i < 240 * 256; ++i) {
        ASSERT_EQ(p.index_buffer[i], 0);
        ASSERT_EQ(0, std::memcmp(p.frame_buffer + 3 * i, NES::NTSC_TO_RGB[0], 3)) << i;
    }
    // Without a CPU there is nothing to point the registers at.
    p.set_registers();
    EXPECT_EQ(p.register_ptrs[0], &rig.regs[0]);
    // Only the pre-render line clears vblank.
    rig.status = 0xE0;
    p.scanline = 250;
    p.apply_and_update_registers();
    EXPECT_EQ(rig.status, 0xE0);
    p.scanline = 261;
    p.apply_and_update_registers();
    EXPECT_EQ(rig.status, 0x60);

    auto img = test::make_cart(0, 2, 2).image();
    NES::ROM rom(static_cast<long>(img.size()), img.data());
    NES::PPU ppu;
    ppu.chr_bank = 8;
    ppu.loadRom(&rom);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(ppu.memory[k * 1024 + 5], 0x88 + k);
    EXPECT_EQ(ppu.mapper, rom.mapper.get());
    EXPECT_EQ(ppu.mapper_context[1], &ppu);

    img = test::make_cart(0, 2, 0, 0x01).image();  // CHR-RAM, vertical
    NES::ROM ram_rom(static_cast<long>(img.size()), img.data());
    testing::internal::CaptureStdout();
    ppu.loadRom(&ram_rom);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CHR-RAM Copied.\n");
    EXPECT_EQ(ram_rom.chr_ram, ppu.memory);
    EXPECT_EQ(ppu.memory[7 * 1024 + 5], 0x8F);  // pattern memory left as it was
    EXPECT_EQ(ppu.mirroring, 1);
}

TEST(PpuTiming, VblankAndFrames) {
    Rig rig;
    ProbeMapper mapper;
    rig.ppu->mapper = &mapper;
    rig.ppu->mapper_context[1] = rig.ppu.get();
    NES::PPU& p = *rig.ppu;

    for (int i = 1; i < 82158; ++i) p.cycle();
    EXPECT_FALSE(p.nmi_occurred);
    EXPECT_EQ(rig.status & 0x80, 0);
    p.cycle();  // the 82158th call processes (241, 1)
    EXPECT_TRUE(p.nmi_occurred);
    EXPECT_TRUE(p.in_vblank);
    EXPECT_EQ(rig.status & 0x80, 0x80);
    EXPECT_EQ(mapper.calls, 82158);
    EXPECT_EQ(mapper.context, p.mapper_context);
    EXPECT_EQ(mapper.scanline, 241);
    EXPECT_EQ(mapper.dot, 2);  // the mapper sees the advanced counters

    // (261, 1) clears vblank, sprite 0 hit and overflow together.
    rig.status |= 0x60;
    rig.run_to(261, 1);
    EXPECT_EQ(rig.status, 0xE0);
    p.cycle();
    EXPECT_EQ(rig.status, 0x00);
    EXPECT_FALSE(p.nmi_occurred);
    EXPECT_FALSE(p.in_vblank);

    // The frame ends in the call that processes (261, 340); the mapper
    // already sees (0, 0) then.
    rig.run_to(261, 340);
    EXPECT_EQ(p.frames, 0);
    p.cycle();
    EXPECT_EQ(p.frames, 1);
    EXPECT_EQ(mapper.scanline, 0);
    EXPECT_EQ(mapper.dot, 0);
    EXPECT_EQ(mapper.frames, 1);

    // Every later frame is exactly 89342 calls, with no skipped dot.
    const int64_t first = 82158;
    while (p.cycles < first + FRAME_DOTS - 1) p.cycle();
    EXPECT_FALSE(p.nmi_occurred);
    p.cycle();
    EXPECT_TRUE(p.nmi_occurred);
    rig.status = 0;
    while (p.cycles < first + 2 * FRAME_DOTS - 1) p.cycle();
    EXPECT_EQ(rig.status, 0);
    p.cycle();
    EXPECT_EQ(rig.status, 0x80);
    EXPECT_EQ(p.frames, 2);
    EXPECT_EQ(mapper.calls, p.cycles);

    // A PPUSTATUS read racing (241, 1) keeps both from being raised.
    rig.run_to(241, 1);
    p.suppress_nmi = p.suppress_vblank = true;
    p.cycle();
    EXPECT_FALSE(p.nmi_occurred);
    EXPECT_EQ(rig.status & 0x80, 0);
    EXPECT_TRUE(p.in_vblank);
    rig.run_to(261, 2);
    EXPECT_FALSE(p.suppress_nmi);
    EXPECT_FALSE(p.suppress_vblank);
}

// The renderer's tests run once dot by dot and once through the fast path.
class PpuRender : public ::testing::TestWithParam<std::tuple<bool, NES::Accuracy>> {};
INSTANTIATE_TEST_SUITE_P(DotByDotAndSpans, PpuRender,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(NES::Accuracy::standard, NES::Accuracy::hardware)));

TEST_P(PpuRender, RenderingOffShowsBackdropAndLeavesStateAlone) {
    Rig rig(GetParam());
    rig.tile(0, 0, [](int, int) { return 3; });
    rig.fill_nametable(0x2000, 0, 0xFF);
    for (int i = 0; i < 64; ++i) rig.sprite(i, 20, 0, 0, static_cast<uint8_t>(4 * i));
    rig.ppu->memory[0x3F00] = 0x21;
    rig.ppu->v = 0x1234;
    rig.ppu->t = 0x0000;
    rig.mask = 0x06;  // left-column bits alone do not turn rendering on
    rig.full_frame();
    for (int i = 0; i < 240 * 256; ++i) ASSERT_EQ(rig.ppu->index_buffer[i], 0x21) << i;
    EXPECT_EQ(0, std::memcmp(rig.rgb(239, 255), NES::NTSC_TO_RGB[0x21], 3));
    EXPECT_EQ(rig.ppu->v, 0x1234);
    EXPECT_EQ(rig.ppu->line_sprite_count, 0);
    EXPECT_EQ(rig.status, 0);
}

TEST_P(PpuRender, TileRowColoursAndAttributes) {
    Rig rig(GetParam());
    rig.tile(1, 5, [](int, int c) { return c & 3; });
    rig.tile(0, 5, [](int, int) { return 3; });  // the wrong table would show colour 3 everywhere
    // Quadrants of every 32x32 block: palettes 0 1 / 2 3.
    rig.fill_nametable(0x2000, 5, 0xE4);
    rig.ctrl = 0x10;
    rig.mask = 0x0A;
    rig.full_frame();
    for (int r = 0; r < 240; ++r) {
        for (int c = 0; c < 256; ++c) {
            int pal = ((r >> 4) & 1) * 2 + ((c >> 4) & 1);
            int val = c & 3;
            ASSERT_EQ(rig.px(r, c), val ? 4 * pal + val : 0x0F) << r << "," << c;
        }
    }
    EXPECT_EQ(0, std::memcmp(rig.rgb(17, 19), NES::NTSC_TO_RGB[15], 3));
    EXPECT_EQ(0, std::memcmp(rig.rgb(17, 18), NES::NTSC_TO_RGB[14], 3));
    EXPECT_EQ(rig.ppu->v & 0x7BE0, 0) << "vertical copy restores the top";
}

// Fine X 3 with the scroll starting at coarse X 0 and 30: pixels come from
// (c + 3) of the scrolled row and cross into the next horizontal table, which
// with horizontal mirroring is the same table again.
TEST_P(PpuRender, FineAndCoarseHorizontalScroll) {
    struct Case {
        int start, mirroring;
    };
    for (Case k : {Case{0, 1}, Case{30, 1}, Case{30, 0}}) {
        Rig rig(GetParam());
        rig.ppu->mirroring = k.mirroring;
        // Tile n: pixel i has value (n + i) & 3, so neighbours differ. Table 1
        // (at $2400) holds tiles 32-63 and palette 1; with horizontal
        // mirroring it overwrites table 0.
        for (int n = 0; n < 64; ++n) rig.tile(0, n, [n](int, int i) { return (n + i) & 3; });
        for (int nt = 0; nt < 2; ++nt) {
            const uint16_t base = 0x2000 + 0x400 * nt;
            for (int i = 0; i < 960; ++i) rig.ppu->write(base + i, static_cast<signed char>(i % 32 + 32 * nt));
            for (int i = 960; i < 1024; ++i) rig.ppu->write(base + i, nt ? 0x55 : 0x00);
        }
        rig.ppu->t = static_cast<uint16_t>(k.start);
        rig.ppu->x = 3;
        rig.mask = 0x0A;
        rig.full_frame();
        for (int r : {0, 77, 239}) {
            for (int c = 0; c < 256; ++c) {
                int idx = (c + 3) / 8, i = (c + 3) % 8;
                int abs_x = k.start + idx;
                int nt = k.mirroring == 1 ? (abs_x / 32) & 1 : 1;
                int tile_no = abs_x % 32 + 32 * nt;
                int val = (tile_no + i) & 3;
                ASSERT_EQ(rig.px(r, c), val ? 4 * nt + val : 0x0F)
                    << "start " << k.start << " mirroring " << k.mirroring << " col " << c;
            }
        }
    }
}

// Coarse Y 20, fine Y 5: row 74 is the last of coarse Y 29, row 75 the first
// of the lower name table.
TEST_P(PpuRender, VerticalScrollSwitchesTableAfterRow29) {
    Rig rig(GetParam());
    rig.ppu->mirroring = 0;  // $2000 and $2800 distinct
    rig.tile(0, 1, [](int r, int) { return r & 3; });
    rig.fill_nametable(0x2000, 1, 0x00);
    rig.fill_nametable(0x2800, 1, 0xAA);  // palette 2
    rig.ppu->t = (5 << 12) | (20 << 5);
    rig.mask = 0x0A;
    rig.full_frame();
    for (int r = 0; r < 240; ++r) {
        int abs_y = 20 * 8 + 5 + r;
        int pal = abs_y < 240 ? 0 : 2;
        int val = (abs_y % 240 % 8) & 3;
        for (int c : {0, 200}) ASSERT_EQ(rig.px(r, c), val ? 4 * pal + val : 0x0F) << "row " << r;
    }
}

// Four sprites: no flip, horizontal, vertical and both, palettes 0-3. Table 1
// holds tiles $0A (upper) and $0B (lower); table 0 holds solid colour 3 there,
// which would show if the wrong table were read. 8x8 sprites use tile $0A from
// the PPUCTRL table; an 8x16 sprite with tile $0B takes table 1 from bit 0.
TEST_P(PpuRender, SpritesWithFlipsIn8x8And8x16) {
    auto upper = [](int r, int c) { return (r * 3 + c) % 4; };
    auto lower = [](int r, int c) { return (r + 3 * c + 1) % 4; };
    const uint8_t attrs[4] = {0x00, 0x41, 0x82, 0xC3};
    for (int height : {8, 16}) {
        Rig rig(GetParam());
        rig.tile(1, 0x0A, upper);
        rig.tile(1, 0x0B, lower);
        rig.tile(0, 0x0A, [](int, int) { return 3; });
        rig.tile(0, 0x0B, [](int, int) { return 3; });
        for (int i = 0; i < 4; ++i) rig.sprite(i, 40, height == 8 ? 0x0A : 0x0B, attrs[i], uint8_t(16 + 24 * i));
        rig.ctrl = height == 8 ? 0x08 : 0x20;
        rig.mask = 0x14;
        rig.full_frame();
        for (int i = 0; i < 4; ++i) {
            const int x0 = 16 + 24 * i;
            for (int r = 0; r < height; ++r) {
                for (int c = 0; c < 8; ++c) {
                    const int rr = (attrs[i] & 0x80) ? height - 1 - r : r;
                    const int cc = (attrs[i] & 0x40) ? 7 - c : c;
                    const int val = rr < 8 ? upper(rr, cc) : lower(rr - 8, cc);
                    ASSERT_EQ(rig.px(41 + r, x0 + c), val ? 0x10 + 4 * (attrs[i] & 3) + val : 0x0F)
                        << height << " sprite " << i << " r" << r << " c" << c;
                }
            }
            EXPECT_EQ(rig.px(40, x0 + 1), 0x0F);
            EXPECT_EQ(rig.px(41 + height, x0 + 1), 0x0F);
            EXPECT_EQ(rig.px(44, x0 + 8), 0x0F);
        }
    }
}

TEST_P(PpuRender, SpritePriority) {
    Rig rig(GetParam());
    rig.tile(0, 1, [](int, int c) { return c < 4 ? 1 : 0; });  // background: left half opaque
    rig.tile(0, 2, [](int, int) { return 2; });                // solid sprite
    rig.fill_nametable(0x2000, 1, 0x00);
    rig.sprite(0, 39, 2, 0x20, 16);  // behind the background
    rig.sprite(1, 39, 2, 0x00, 48);  // in front
    rig.sprite(2, 39, 2, 0x00, 80);  // overlapping sprites: the lower entry wins
    rig.sprite(3, 39, 2, 0x01, 84);
    rig.mask = 0x1E;
    rig.full_frame();
    for (int c = 16; c < 24; ++c) EXPECT_EQ(rig.px(44, c), c < 20 ? 0x01 : 0x12) << c;
    for (int c = 48; c < 56; ++c) EXPECT_EQ(rig.px(44, c), 0x12) << c;
    for (int c = 80; c < 92; ++c) EXPECT_EQ(rig.px(44, c), c < 88 ? 0x12 : 0x16) << c;
    EXPECT_EQ(rig.px(44, 96), 0x01);

    // A behind sprite over an opaque but hidden background: the standard
    // model shows the backdrop, the hardware one the sprite.
    rig.mask = 0x14;
    rig.full_frame();
    EXPECT_EQ(rig.px(44, 16), rig.model == NES::Accuracy::hardware ? 0x12 : 0x0F);
    EXPECT_EQ(rig.px(44, 20), 0x12);
}

TEST_P(PpuRender, LeftColumnMasks) {
    Rig rig(GetParam());
    rig.tile(0, 1, [](int, int) { return 1; });
    rig.tile(0, 2, [](int, int) { return 2; });
    rig.fill_nametable(0x2000, 1, 0x00);
    rig.sprite(0, 40, 2, 0, 0);  // rows 41-48, columns 0-7
    rig.sprite(1, 60, 2, 0, 4);  // rows 61-68, columns 4-11
    struct Case {
        uint8_t mask;
        int bg_left, sprite_left;  // expected colours in column 2
    };
    for (Case k : {Case{0x18, 0x0F, 0x0F}, Case{0x1E, 0x01, 0x12}, Case{0x1A, 0x01, 0x0F}, Case{0x1C, 0x0F, 0x12}}) {
        // A clipped sprite hides the background in the standard model; in
        // the hardware one the background shows through.
        const bool hardware = rig.model == NES::Accuracy::hardware;
        if (hardware && k.sprite_left == 0x0F) k.sprite_left = k.bg_left;
        rig.mask = k.mask;
        rig.full_frame();
        EXPECT_EQ(rig.px(50, 2), k.bg_left) << int(k.mask);
        EXPECT_EQ(rig.px(50, 8), 0x01) << int(k.mask);
        EXPECT_EQ(rig.px(45, 2), k.sprite_left) << int(k.mask);
        EXPECT_EQ(rig.px(45, 8), 0x01) << int(k.mask);
        EXPECT_EQ(rig.px(65, 6), k.sprite_left == 0x12 ? 0x12 : hardware ? k.bg_left : 0x0F) << int(k.mask);
        EXPECT_EQ(rig.px(65, 8), 0x12) << int(k.mask);
        EXPECT_EQ(rig.px(65, 12), 0x01) << int(k.mask);
    }
    // Sprites hidden: they never change a pixel.
    rig.mask = 0x0A;
    rig.full_frame();
    EXPECT_EQ(rig.px(45, 2), 0x01);
    EXPECT_EQ(rig.px(65, 8), 0x01);
}

TEST_P(PpuRender, SpriteZeroHit) {
    Rig rig(GetParam());
    rig.tile(0, 1, [](int, int) { return 1; });
    rig.tile(0, 2, [](int, int) { return 2; });
    rig.tile(0, 3, [](int, int c) { return c < 4 ? 0 : 2; });
    rig.fill_nametable(0x2000, 1, 0x00);

    // Expects the hit to appear in the call that processes column `col` of
    // line 100, and not before.
    auto expect_hit_at = [&](int col) {
        rig.run_to(261, 2);
        ASSERT_EQ(rig.status & 0x40, 0);
        rig.run_to(100, col + 1);
        EXPECT_EQ(rig.status & 0x40, 0) << "before column " << col;
        rig.step();
        EXPECT_EQ(rig.status & 0x40, 0x40) << "at column " << col;
    };

    auto hit_in_frame = [&] {
        rig.run_to(261, 2);
        rig.run_to(240, 0);
        return (rig.status & 0x40) != 0;
    };

    // Columns 0-7 hit only while neither layer is clipped there.
    rig.sprite(0, 99, 2, 0, 0);
    rig.mask = 0x1E;
    expect_hit_at(0);
    for (uint8_t clipped : {0x18, 0x1A, 0x1C}) {
        rig.mask = clipped;
        EXPECT_FALSE(hit_in_frame()) << int(clipped);
    }
    rig.sprite(0, 99, 2, 0, 4);  // columns 4-11: the first unclipped one hits
    rig.mask = 0x18;
    expect_hit_at(8);
    // Priority does not matter; column 255 never hits.
    rig.sprite(0, 99, 2, 0x20, 250);
    rig.mask = 0x1E;
    expect_hit_at(250);
    rig.sprite(0, 99, 2, 0, 255);
    EXPECT_FALSE(hit_in_frame());
    // Sprite 0 transparent where sprite 1 is opaque: the hit waits for sprite
    // 0's own opaque pixels.
    rig.sprite(0, 99, 3, 0, 40);
    rig.sprite(1, 99, 2, 0, 40);
    expect_hit_at(44);

    // Another sprite in list position 0 is not sprite 0.
    EXPECT_TRUE(hit_in_frame());
    rig.sprite(0, 0xFF, 2, 0, 40);
    EXPECT_FALSE(hit_in_frame());

    // No hit over a transparent background, nor with the background hidden.
    rig.sprite(0, 99, 2, 0, 40);
    EXPECT_TRUE(hit_in_frame());
    rig.fill_nametable(0x2000, 0, 0x00);
    EXPECT_FALSE(hit_in_frame());
    rig.fill_nametable(0x2000, 1, 0x00);
    rig.mask = 0x16;
    EXPECT_FALSE(hit_in_frame());
}

TEST_P(PpuRender, NinthSpriteAndOverflow) {
    Rig rig(GetParam());
    rig.tile(0, 2, [](int, int) { return 1; });
    for (int i = 0; i < 9; ++i) rig.sprite(i, 49, 2, 0, static_cast<uint8_t>(10 * i));
    rig.mask = 0x14;
    // The standard model scans from dot 129, the hardware one from dot 65
    // with 8 dots for each sprite found.
    const int scan = rig.model == NES::Accuracy::hardware ? 130 : 145;
    rig.run_to(49, scan);
    EXPECT_EQ(rig.status & 0x20, 0);
    rig.step();  // the scan reads entry 8's Y
    EXPECT_EQ(rig.status & 0x20, 0x20);
    rig.full_frame();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(rig.px(50, 10 * i + 1), 0x11) << i;
    for (int c = 80; c < 88; ++c) EXPECT_EQ(rig.px(50, c), 0x0F) << c;

    // After a miss the scan reads the next entry at the next byte: entry 9's
    // tile number, taken as a Y coordinate, raises the flag.
    rig.sprite(8, 200, 2, 0, 0);
    rig.sprite(9, 200, 49, 0, 0);
    rig.run_to(49, rig.model == NES::Accuracy::hardware ? scan + 2 : scan + 1);
    EXPECT_EQ(rig.status & 0x20, 0);
    rig.step();
    EXPECT_EQ(rig.status & 0x20, 0x20);
    rig.sprite(9, 200, 0, 0, 0);
    rig.run_to(261, 2);
    rig.run_to(49, 147);
    EXPECT_EQ(rig.status & 0x20, 0);
}

// Evaluation runs whenever either layer is shown: with sprites hidden each
// line still gets its own list, and the overflow flag still rises.
TEST_P(PpuRender, EvaluationRunsWithSpritesHidden) {
    Rig rig(GetParam());
    rig.tile(0, 2, [](int, int) { return 1; });
    rig.sprite(0, 99, 2, 0, 40);  // lines 100-107
    rig.mask = 0x18;
    rig.run_to(107, 0);
    rig.mask = 0x08;
    rig.run_to(108, 0);
    EXPECT_EQ(rig.ppu->line_sprite_count, 0);  // none on line 108
    rig.mask = 0x18;
    rig.run_to(109, 0);
    EXPECT_EQ(rig.px(108, 40), 0x0F);
    EXPECT_EQ(rig.px(107, 40), 0x0F);  // hidden
    EXPECT_EQ(rig.px(106, 40), 0x11);

    for (int i = 0; i < 9; ++i) rig.sprite(i, 49, 2, 0, static_cast<uint8_t>(10 * i));
    rig.mask = 0x08;
    rig.run_to(261, 2);
    rig.run_to(240, 0);
    EXPECT_EQ(rig.status & 0x20, 0x20);
}

TEST_P(PpuRender, SpritesStartOnLineOne) {
    Rig rig(GetParam());
    // Every sprite pattern opaque, so a sprite drawn from a wrong row would show.
    std::memset(rig.ppu->memory, 0xFF, 0x1000);
    rig.sprite(0, 0, 2, 0, 0);     // lines 1-8
    rig.sprite(1, 239, 2, 0, 20);  // never
    rig.sprite(2, 238, 2, 0, 40);  // line 239 only
    rig.sprite(3, 255, 2, 0, 60);  // never
    rig.sprite(4, 235, 2, 0, 80);  // lines 236-239, and not on line 0 of the next frame
    rig.mask = 0x14;
    rig.full_frame();
    for (int c = 0; c < 256; ++c) EXPECT_EQ(rig.px(0, c), 0x0F) << c;
    EXPECT_EQ(rig.px(1, 0), 0x13);
    EXPECT_EQ(rig.px(8, 7), 0x13);
    EXPECT_EQ(rig.px(9, 0), 0x0F);
    EXPECT_EQ(rig.px(239, 40), 0x13);
    EXPECT_EQ(rig.px(238, 40), 0x0F);
    EXPECT_EQ(rig.px(236, 80), 0x13);
    EXPECT_EQ(rig.px(239, 87), 0x13);
    for (int r = 0; r < 240; ++r) {
        EXPECT_EQ(rig.px(r, 20), 0x0F) << r;
        EXPECT_EQ(rig.px(r, 60), 0x0F) << r;
    }
}

TEST_P(PpuRender, PaletteValuesAndPixelRewrites) {
    Rig rig(GetParam());
    rig.ppu->memory[0x3F00] = 0x41;  // above 63: shows colour 1, keeps 0x41
    rig.full_frame();
    EXPECT_EQ(rig.px(100, 100), 0x41);
    EXPECT_EQ(0, std::memcmp(rig.rgb(100, 100), NES::NTSC_TO_RGB[1], 3));
    rig.ppu->memory[0x3F00] = 0xFF;
    rig.full_frame();
    EXPECT_EQ(rig.px(0, 0), 0xFF);
    EXPECT_EQ(0, std::memcmp(rig.rgb(0, 0), NES::NTSC_TO_RGB[63], 3));

    // An unchanged palette value leaves the pixel's bytes as they are.
    rig.ppu->memory[0x3F00] = 0x21;
    rig.full_frame();
    uint8_t* out = rig.ppu->frame_buffer + 3 * (10 * 256 + 10);
    out[0] = 1, out[1] = 2, out[2] = 3;
    rig.full_frame();
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2], 3);
    rig.ppu->memory[0x3F00] = 0x22;
    rig.full_frame();
    EXPECT_EQ(0, std::memcmp(out, NES::NTSC_TO_RGB[0x22], 3));
}

// A scrolling workload with sprites, in both models, with each width of
// byte shuffles: each frame every colour byte is scribbled over first; after
// it, a pixel whose palette value changed shows that value's colour and any
// other keeps the scribble, and every way of storing draws the same pictures.
TEST(PpuPicture, ColoursFollowChangedPixelsOnly) {
    const auto image = test::read_file(PICTOR_SOURCE_DIR "/python/pictor_cli/data/workload_nrom.nes");
    constexpr int PIXELS = NES::PPU::HEIGHT * NES::PPU::WIDTH;
    for (NES::Accuracy model : {NES::Accuracy::standard, NES::Accuracy::hardware}) {
        std::vector<uint8_t> pictures[4];
        for (auto steps : {NES::PictureSteps::widest, NES::PictureSteps::thirty_two, NES::PictureSteps::sixteen,
                           NES::PictureSteps::bytewise}) {
            NES::use_picture_steps(steps);
            auto con = test::boot(image, nullptr, model);
            NES::PPU& ppu = *con->ppu;
            std::vector<uint8_t> before(PIXELS);
            for (int frame = 0; frame < 90; ++frame) {
                std::memcpy(before.data(), ppu.index_buffer, PIXELS);
                for (uint8_t& byte : ppu.frame_buffer) byte ^= 0xA5;
                std::vector<uint8_t> scribbled(ppu.frame_buffer, ppu.frame_buffer + 3 * PIXELS);
                con->run_frame();
                for (int q = 0; q < PIXELS; ++q) {
                    const bool changed = ppu.index_buffer[q] != before[q];
                    const uint8_t* want = changed ? NES::NTSC_TO_RGB[ppu.index_buffer[q] & 63] : &scribbled[3 * q];
                    ASSERT_EQ(0, std::memcmp(ppu.frame_buffer + 3 * q, want, 3))
                        << "frame " << frame << " pixel " << q << (changed ? " changed" : " unchanged");
                }
                pictures[int(steps)].insert(pictures[int(steps)].end(), ppu.index_buffer, ppu.index_buffer + PIXELS);
            }
        }
        NES::use_picture_steps(NES::PictureSteps::widest);
        for (int steps = 1; steps < 4; ++steps) EXPECT_EQ(pictures[steps], pictures[0]);
    }
}

// Waits two vertical blanks, sets the palette (backdrop $0F, colour 1 $16),
// fills name table $2000 with tile 1 and its attributes with palette 0, turns
// on NMIs and the background, and loops; the NMI handler counts in $10.
test::Cart picture_cart() {
    test::Cart cart;
    cart.chr.assign(8192, 0);
    for (int r = 0; r < 8; ++r) cart.chr[16 + r] = 0xFF;  // tile 1: every pixel colour 1
    cart.poke(0x8000, {
                          0x78, 0xD8, 0xA2, 0xFF, 0x9A,                                // 8000 SEI; CLD; LDX #$FF; TXS
                          0x2C, 0x02, 0x20, 0x10, 0xFB,                                // 8005 BIT $2002; BPL $8005
                          0x2C, 0x02, 0x20, 0x10, 0xFB,                                // 800A BIT $2002; BPL $800A
                          0xA9, 0x3F, 0x8D, 0x06, 0x20, 0xA9, 0x00, 0x8D, 0x06, 0x20,  // 800F $2006 = $3F, $00
                          0xA9, 0x0F, 0x8D, 0x07, 0x20, 0xA9, 0x16, 0x8D, 0x07, 0x20,  // 8019 $2007 = $0F, $16
                          0xA9, 0x20, 0x8D, 0x06, 0x20, 0xA9, 0x00, 0x8D, 0x06, 0x20,  // 8023 $2006 = $20, $00
                          0xA0, 0x04, 0xA2, 0x00, 0xA9, 0x01,                          // 802D LDY #4; LDX #0; LDA #1
                          0x8D, 0x07, 0x20, 0xCA, 0xD0, 0xFA, 0x88, 0xD0, 0xF7,        // 8033 STA $2007 x 1024
                          0xA9, 0x23, 0x8D, 0x06, 0x20, 0xA9, 0xC0, 0x8D, 0x06, 0x20,  // 803C $2006 = $23, $C0
                          0xA2, 0x40, 0xA9, 0x00, 0x8D, 0x07, 0x20, 0xCA, 0xD0, 0xFA,  // 8046 STA $2007 x 64
                          0x8D, 0x05, 0x20, 0x8D, 0x05, 0x20,                          // 8050 scroll 0, 0
                          0xA9, 0x80, 0x8D, 0x00, 0x20,                                // 8056 NMI on
                          0xA9, 0x0A, 0x8D, 0x01, 0x20,  // 805B background and left column
                          0x4C, 0x60, 0x80,              // 8060 JMP $8060
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

TEST(ConsoleCounters, StayInLockStepAfterEveryStep) {
    test::Console console(picture_cart());
    int64_t frames = 0;
    for (int step = 0; step < 40000; ++step) {
        console.step();
        const int64_t cpu = console.cpu->cycles;
        ASSERT_EQ(console.ppu->cycles, 3 * cpu) << "step " << step;        // three dots per CPU cycle
        ASSERT_EQ(console.apu->cycles, (cpu + 1) / 2) << "step " << step;  // one APU cycle per two CPU cycles
        ASSERT_GE(console.ppu->frames, frames);
        frames = console.ppu->frames;
    }
    // Whole frames of 262 x 341 dots; the PPU starts at dot 25 of line 0.
    EXPECT_EQ(frames, (console.ppu->cycles + 25) / 89342);
}

}  // namespace

namespace {

// A board that records the dot counts of the A12 rises it hears.
struct A12Probe : NES::Mapper {
    A12Probe() : Mapper(0) {}
    std::vector<int64_t> rises;
    int64_t requests_after = -1;  // the rise that may request an interrupt
    BusWatch bus_watch(NES::Accuracy) const override { return {true, 10, false}; }
    int64_t clocks_to_request() const override { return requests_after - static_cast<int64_t>(rises.size()); }
    void a12_rose(void**, int64_t at, int64_t) override { rises.push_back(at); }
};

// A hardware-model console whose PPU is stepped by hand.
struct HardwareRig : Rig {
    HardwareRig() : Rig(std::tuple<bool, NES::Accuracy>{false, NES::Accuracy::hardware}) {}
    uint8_t read(uint16_t reg) { return ppu->read_register<NES::Accuracy::hardware>(reg, ppu->cycles); }
    void write(uint16_t reg, uint8_t value) {
        regs[reg & 7] = ppu->write_register<NES::Accuracy::hardware>(reg, value, ppu->cycles);
    }
};

TEST(PpuHardware, StatusReadRacesTheVblankFlagAtItsDots) {
    // The dot about to run when PPUSTATUS is read; what the read returns,
    // and whether the flag and the NMI output are still raised after it.
    struct Case {
        int line, dot;
        bool reads_set, flag_after, nmi;
    };
    for (Case k : {Case{241, 0, false, true, true}, Case{241, 1, false, false, false}, Case{241, 2, true, false, false},
                   Case{241, 3, true, false, false}, Case{241, 4, true, false, false}}) {
        HardwareRig rig;
        rig.run_to(k.line, k.dot);
        EXPECT_EQ((rig.read(0x2002) & 0x80) != 0, k.reads_set) << k.dot;
        rig.run_to(241, 10);
        EXPECT_EQ((rig.status & 0x80) != 0, k.flag_after) << k.dot;
        EXPECT_EQ(rig.ppu->nmi_occurred, k.nmi) << k.dot;
    }
}

TEST(PpuHardware, OddFramesSkipADotOnlyWhileRendering) {
    for (const uint8_t mask : {uint8_t{0x00}, uint8_t{0x08}}) {
        HardwareRig rig;
        rig.mask = mask;
        rig.run_to(0, 0);
        std::vector<int64_t> lengths;
        for (int f = 0; f < 4; ++f) {
            const int64_t start = rig.ppu->cycles;
            rig.full_frame();
            lengths.push_back(rig.ppu->cycles - start);
        }
        for (int f = 0; f < 4; ++f) {
            const int64_t frames = 2;  // full_frame runs to the next boundary, then one whole frame
            EXPECT_EQ(lengths[f], frames * FRAME_DOTS - (mask ? 1 : 0)) << int(mask) << " " << f;
        }
        EXPECT_EQ(rig.ppu->frame_end<NES::Accuracy::hardware>() - rig.ppu->cycles,
                  FRAME_DOTS - (mask && rig.ppu->odd_frame ? 1 : 0));
    }
}

TEST(PpuHardware, OddFrameSkipFollowsRenderingAtDot338) {
    // PPUMASK written just before the pre-render line's dot 338 or 339 of an
    // odd frame: the dot is skipped when rendering was on at dot 338.
    struct Case {
        uint8_t before, after;
        int dot;
        bool skips;
    };
    for (const bool spans : {false, true}) {
        for (Case k : {Case{0x00, 0x08, 338, true}, Case{0x00, 0x08, 339, false}, Case{0x08, 0x00, 338, false},
                       Case{0x08, 0x00, 339, true}}) {
            HardwareRig rig;
            rig.spans = spans;
            rig.mask = k.before;
            rig.run_to(261, 0);
            if (!rig.ppu->odd_frame) {
                rig.run_to(0, 0);
                rig.run_to(261, 0);
            }
            rig.run_to(261, k.dot);
            rig.mask = k.after;
            const int dots = 340 - k.dot;  // to the next line with dot 340 skipped
            if (spans)
                rig.run_for(dots);
            else
                for (int i = 0; i < dots; ++i) rig.dot_step();
            EXPECT_EQ(rig.ppu->scanline == 0 && rig.ppu->dot == 0, k.skips)
                << spans << " " << int(k.after) << " " << k.dot;
        }
    }
}

TEST(PpuHardware, BoardsHearA12RisesFromFetchesAndAddressWrites) {
    // PPUCTRL's tables and sprite size; where A12 rises after 10 dots low on
    // a drawing line (with the background at $1000 the rise at dot 5 follows
    // only 9); 8x16 sprites whose tiles alternate between the tables.
    struct Case {
        uint8_t ctrl;
        std::vector<int> dots;
        bool alternating = false;
    };
    for (const Case& k : {Case{0x08, {261}}, Case{0x10, {325}}, Case{0x00, {}}, Case{0x18, {}}, Case{0x20, {261}},
                          Case{0x20, {261, 277, 293, 309}, true}}) {
        HardwareRig rig;
        for (int i = 0; k.alternating && i < 8; ++i) rig.ppu->oam[4 * i] = 5, rig.ppu->oam[4 * i + 1] = ~i & 1;
        A12Probe probe;
        NES::ROM rom(false);
        rig.ppu->accuracy = NES::Accuracy::hardware;
        rig.ctrl = k.ctrl;
        rig.mask = 0x18;
        // Bind the probe as the cartridge's board would be bound.
        rom.mapper.reset(&probe);
        rom.chr_size = 0;
        rig.ppu->verbose = false;
        rig.ppu->loadRom(&rom);
        for (const bool spans : {false, true}) {
            rig.spans = spans;
            rig.run_to(10, 0);
            const int64_t line_start = rig.ppu->cycles;
            probe.rises.clear();
            rig.run_to(11, 0);
            std::vector<int> dots;
            for (int64_t at : probe.rises) dots.push_back(static_cast<int>(at - line_start));
            EXPECT_EQ(dots, k.dots) << int(k.ctrl) << " spans " << spans;
        }
        // The events the CPU is told of lead to the rise that may request,
        // none past it.
        probe.rises.clear();
        probe.requests_after = 3;
        int64_t named = 0;
        for (int looks = 0; looks < 8 && probe.rises.size() < 3; ++looks) {
            named = rig.ppu->next_event<NES::Accuracy::hardware>();
            rig.run_for(named - rig.ppu->cycles);
        }
        rig.full_frame();
        if (!k.dots.empty()) {
            EXPECT_EQ(named, probe.rises.at(2) + 1) << int(k.ctrl) << " alternating " << k.alternating;
        }
        probe.requests_after = -1;
        // Outside rendering the bus shows v: a PPUADDR write to $1000 raises A12.
        rig.mask = 0;
        rig.run_to(245, 0);
        probe.rises.clear();
        rig.write(0x2006, 0x10);
        rig.write(0x2006, 0x00);
        EXPECT_EQ(probe.rises.size(), 1u) << int(k.ctrl);
        rom.mapper.release();
    }
}

TEST(PpuHardware, RegistersWhileRendering) {
    HardwareRig rig;
    rig.mask = 0x18;
    // PPUDATA while fetching steps coarse X and fine Y instead of PPUCTRL's step.
    rig.run_to(20, 100);
    rig.ppu->v = 0x0041;
    rig.read(0x2007);
    EXPECT_EQ(rig.ppu->v, 0x1042);
    // OAMDATA reads the evaluation's bus: $FF while secondary OAM is cleared.
    rig.run_to(21, 10);
    EXPECT_EQ(rig.read(0x2004), 0xFF);
    // Write-only registers read the I/O latch, whose bits fade after about 600 ms.
    rig.mask = 0;
    rig.write(0x2000, 0xA5);
    EXPECT_EQ(rig.read(0x2005), 0xA5);
    rig.run_for(3'300'000);
    EXPECT_EQ(rig.read(0x2005), 0x00);
    // Palette RAM holds six bits: the upper two come from the latch.
    rig.write(0x2006, 0x3F);
    rig.write(0x2006, 0x01);
    rig.write(0x2007, 0xFF);
    rig.write(0x2006, 0x3F);
    rig.write(0x2006, 0x01);
    rig.write(0x2003, 0x80);
    EXPECT_EQ(rig.read(0x2007), 0xBF);
}

}  // namespace
