// The picture processing unit: video memory, sprite memory, scroll registers
// and the dot-by-dot renderer.
#pragma once

#include <cstdint>

#include "glob_const.h"

namespace NES {

class CPU;
class StateIO;
class ROM;
class Mapper;
enum class PpuFetch : uint8_t;

// System palette: colour n of a palette value, as R, G, B.
// Four colours a line, so each row of sixteen takes four lines.
// clang-format off
inline constexpr uint8_t NTSC_TO_RGB[64][3] = {
    {0x60, 0x60, 0x60}, {0x00, 0x1C, 0xA1}, {0x24, 0x04, 0xC8}, {0x53, 0x00, 0xB2},
    {0x73, 0x00, 0x76}, {0x80, 0x00, 0x24}, {0x73, 0x0C, 0x00}, {0x50, 0x28, 0x00},
    {0x25, 0x44, 0x00}, {0x00, 0x57, 0x00}, {0x01, 0x5C, 0x00}, {0x00, 0x53, 0x24},
    {0x00, 0x3C, 0x76}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
    {0xAB, 0xAB, 0xAB}, {0x0D, 0x57, 0xFF}, {0x4B, 0x30, 0xFF}, {0x8A, 0x13, 0xFF},
    {0xBC, 0x09, 0xD6}, {0xD2, 0x12, 0x69}, {0xC7, 0x2E, 0x00}, {0x9D, 0x54, 0x00},
    {0x5F, 0x7B, 0x00}, {0x21, 0x98, 0x00}, {0x00, 0xA3, 0x00}, {0x00, 0x99, 0x42},
    {0x02, 0x7D, 0xB4}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
    {0xFF, 0xFF, 0xFF}, {0x53, 0xAE, 0xFF}, {0x90, 0x85, 0xFF}, {0xD3, 0x65, 0xFF},
    {0xFF, 0x57, 0xFF}, {0xFF, 0x5D, 0xCF}, {0xFF, 0x77, 0x57}, {0xFA, 0x9E, 0x00},
    {0xBD, 0xC7, 0x00}, {0x7A, 0xE7, 0x01}, {0x42, 0xF6, 0x0F}, {0x24, 0xEF, 0x7E},
    {0x2B, 0xD5, 0xF6}, {0x4E, 0x4E, 0x4E}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
    {0xFF, 0xFF, 0xFF}, {0xB6, 0xE1, 0xFF}, {0xCF, 0xD1, 0xFF}, {0xE9, 0xC3, 0xFF},
    {0xFF, 0xBC, 0xFF}, {0xFF, 0xBD, 0xF4}, {0xFF, 0xC6, 0xC3}, {0xFF, 0xD5, 0x9A},
    {0xE8, 0xE6, 0x81}, {0xCD, 0xF4, 0x81}, {0xB7, 0xFB, 0x9A}, {0xA9, 0xFA, 0xC3},
    {0xA9, 0xF0, 0xF4}, {0xB8, 0xB8, 0xB8}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
};
// clang-format on

// The picture steps use the widest byte shuffles the processor has: 64
// bytes at a time (AVX-512 VBMI), 32 (AVX2), 16 (SSSE3) or one by one, all
// to the same result. Narrower ones can be chosen (for tests); a choice the
// processor lacks falls back to the next narrower. Process-wide; not to be
// switched while a machine runs.
enum class PictureSteps { bytewise, sixteen, thirty_two, widest };  // narrowest first
void use_picture_steps(PictureSteps widest);

class PPU {
public:
    static constexpr int WIDTH = 256;
    static constexpr int HEIGHT = 240;

    CPU* cpu = nullptr;
    ROM* rom = nullptr;
    int64_t cycles = 0;           // dots since construction
    int64_t frames = 0;           // completed frames
    uint8_t memory[0x4000] = {};  // PPU address space, indexed by folded address
    uint8_t oam[256] = {};
    uint8_t secondary_oam[32] = {};
    int scanline = 0;
    int dot = 25;
    // 0 horizontal, 1 vertical, 2 four-screen, 3 single-screen on the $2000
    // table, 4 single-screen on the $2400 table.
    int mirroring = 0;
    Mapper* mapper = nullptr;
    bool debug = false;
    bool in_vblank = false;
    int chr_bank = 0;  // first 1 KiB CHR bank copied by loadRom
    bool suppress_vblank = false;
    bool nmi_occurred = false;
    bool suppress_nmi = false;
    bool rendering = false;
    uint16_t v = 0;
    uint16_t t = 0;
    uint8_t x = 0;
    bool w = false;
    uint8_t oam_addr = 0;
    uint16_t tile_addr = 0;
    uint16_t attr_addr = 0;
    uint16_t pattern_high = 0;
    uint16_t pattern_low = 0;
    uint8_t read_buffer = 0;
    uint8_t* register_ptrs[9] = {};  // CPU bytes $2000-$2007, then $4014
    void* mapper_context[3] = {};    // {CPU, PPU, APU}
    uint8_t fine_x_counter = 0;
    uint8_t nt_byte = 0;
    uint16_t pattern_addr = 0;
    bool post_render = false;
    uint8_t eval_index = 0;
    uint8_t overflow_byte = 0;
    bool eval_done = false;
    uint8_t next_sprite_count = 0;
    uint8_t line_sprites[32] = {};
    int8_t line_sprite_count = 0;
    int sprite_x_counter[8] = {};
    int next_sprite_x[8] = {};
    uint8_t sprite_active = 0;
    uint8_t sprite_shift[8] = {};
    bool next_has_sprite0 = false;
    bool line_has_sprite0 = false;
    uint8_t frame_buffer[HEIGHT * WIDTH * 3] = {};
    uint8_t index_buffer[HEIGHT * WIDTH] = {};
    // False for a machine whose RGB picture nobody reads (a batch's, observed
    // from the palette indices): the span renderer then keeps only
    // index_buffer, and frame_buffer is not kept up to date.
    bool rgb_picture = true;

    // ---- Hardware model ----
    // The background pipeline: two tiles of pattern bits and their palette
    // bits (high byte shown first, one bit a dot), and the latches of the
    // tile being fetched.
    uint16_t bg_shift_low = 0;
    uint16_t bg_shift_high = 0;
    uint16_t attr_shift_low = 0;
    uint16_t attr_shift_high = 0;
    uint8_t fetch_name = 0;
    uint8_t fetch_attr = 0;  // the tile's palette, 0-3
    uint8_t fetch_low = 0;
    uint8_t fetch_high = 0;
    // The eight sprite units' patterns for the line, fetched at dots 257-320
    // (low plane in bits 0-7, high plane in bits 8-15).
    uint16_t sprite_patterns[8] = {};
    // The evaluation's position: entry n (eval_index / 4) and byte m
    // (overflow_byte), the byte read on the last odd dot, and whether the
    // overflow scan has found its entry.
    uint8_t oam_bus = 0;  // the byte on the OAM bus, which $2004 reads while rendering
    bool overflow_found = false;
    bool odd_frame = false;  // the pre-render line of an odd frame skips its last dot while rendering
    // The PPU's I/O latch: the last byte driven on its side of the CPU bus,
    // which write-only registers and the palette's upper bits read back.
    // Each bit fades to 0 some 600 ms (about 3.2 million dots) after it was
    // last driven.
    uint8_t io_latch = 0;
    int64_t io_driven[8] = {};  // `cycles` when each bit was last driven
    // Address line A12 of the PPU bus as a board hears it.
    bool a12_high = false;
    int64_t a12_fell_at = 0;  // `cycles` when A12 last went low

    // The PPU dots from one CPU cycle's start to the moment the hardware
    // model's CPU accesses a register within it.
    static constexpr int ACCESS_DOT_OFFSET = 0;
    // The NMI line follows the VBlank flag this many dots late: the CPU's
    // edge detector does not yet see a flag set at dot 1 of line 241 while
    // the PPU is at dot 1 + NMI_LAG_DOTS or before, so a $2002 read in that
    // time still cancels the NMI. The line drops a dot before the flag's
    // clear at dot 1 of line 261.
    static constexpr int NMI_LAG_DOTS = 2;
    bool nmi_line_settling() const { return scanline == 241 && dot <= 1 + NMI_LAG_DOTS; }
    bool nmi_line_released() const { return scanline == 261 && dot == 1; }

    PPU();
    explicit PPU(CPU* cpu);

    void set_registers();
    void loadRom(ROM* rom);
    void map_memory(short& address) const;
    uint8_t read(short address) const;
    void write(short address, signed char value);
    // The CPU's accesses to $2000-$2007 (the address folded onto them) at dot
    // count `at`: the PPU first runs up to it (for a PPUSTATUS read only as
    // far as the flags need), then the access takes effect. A read returns
    // the byte the CPU sees; a write returns the byte the CPU's memory keeps
    // for the register.
    template <Accuracy A = Accuracy::standard>
    uint8_t read_register(uint16_t address, int64_t at);
    template <Accuracy A = Accuracy::standard>
    uint8_t write_register(uint16_t address, uint8_t value, int64_t at);
    // Switches the name-table arrangement, keeping both tables' contents.
    void set_mirroring(int arrangement);
    int64_t get_addr(signed char* location) const;
    void v_horiz();
    void v_vert();
    void apply_and_update_registers();
    // One dot of the exact path, of the standard model (cycle) or of the
    // hardware one (cycle<Accuracy::hardware>).
    template <Accuracy A = Accuracy::standard>
    void cycle();

    bool verbose = true;                     // print the CHR-RAM line at cartridge binding
    Accuracy accuracy = Accuracy::standard;  // fixed before the cartridge goes in
    // The console's reset button: PPUCTRL, PPUMASK, the scroll and the w latch
    // and the read buffer are cleared; memory, OAM, v and the position are kept.
    void on_reset();
    // Redraws the RGB picture from the palette indices of index_buffer
    // (nothing when rgb_picture is false).
    void rebuild_frame_buffer();
    // This unit's part of a snapshot, in step with the CPU's cycle count.
    void state_fields(StateIO& io, int64_t cpu_cycles);

    // Fast path. run_until runs dots until `cycles` reaches target with the
    // same result as that many calls of cycle(), drawing whole spans of a line
    // at once; the registers it reads must not change meanwhile (the CPU
    // brings the PPU up to date before it touches them).
    template <Accuracy A = Accuracy::standard>
    void run_until(int64_t target);
    // The value of `cycles` once the next change happens that the CPU sees
    // without touching a register: the NMI flag rising or falling, the end of
    // a frame, or a mapper clock that may request an interrupt.
    template <Accuracy A = Accuracy::standard>
    int64_t next_event() const;
    // The value of `cycles` once the current frame has ended.
    template <Accuracy A = Accuracy::standard>
    int64_t frame_end() const;

    // The PPUSTATUS byte as it stands once the PPU has run to target. Within
    // a drawing line the PPU does not draw for it: it predicts, once per
    // stop, the dots at which the rest of the line would set the sprite 0
    // hit and overflow flags (the registers being constant until the next
    // write), so a program polling the flags costs no drawing.
    template <Accuracy A = Accuracy::standard>
    uint8_t status_at(int64_t target);
    // Drops the prediction, and the rows' latch-tile verdict: a register,
    // OAM, the name tables or the cartridge changed.
    void forget_prediction() { predicted_at = row_verdict_key = -1; }

    // A board's hooks beyond the fetches it hears (Mapper::bus_watch): it
    // answers fetches while a mode of it needs that, and it may give the
    // sprites pattern tables of their own (8 KiB; null: pattern memory).
    void answer_fetches(bool on);
    const uint8_t* sprite_patterns_of_board = nullptr;
    const uint8_t* sprite_pattern_memory() const {
        return sprite_patterns_of_board ? sprite_patterns_of_board : memory;
    }

private:
    int64_t predicted_at = -1;       // `cycles` when the prediction was made; -1 for none
    int64_t predicted_hit = 0;       // `cycles` from which the sprite 0 hit flag is set
    int64_t predicted_overflow = 0;  // and the overflow flag
    void predict_line();
    template <typename Background>
    int sprite0_hit_dot(uint16_t pattern, uint8_t mask, Background background) const;
    bool hit_possible(uint8_t mask) const;
    int hardware_background_pixel(int column, uint8_t ctrl) const;
    void predict_hardware_line();
    template <bool Commit>
    int evaluate(int first, int last, uint8_t ctrl);
    void entry_masks(int line, int height, uint64_t& on_line, uint64_t& with_y) const;
    int background_pixel(int column, uint8_t ctrl) const;
    void render_span(int last_dot);
    void store_pixels(int q, const uint8_t* values, int count);
    void draw_background(int first, int last, uint8_t ctrl, uint8_t mask, const uint8_t* sprite_px,
                         const uint8_t* sprite_value);
    bool overlay_sprites(int first, int last, bool sprites_shown, const uint16_t* patterns, uint8_t ctrl,
                         uint8_t* sprite_px, uint8_t* sprite_value);
    void compose_layers(int first, int last, uint8_t mask, const uint8_t* bits, uint8_t* shown,
                        const uint8_t* sprite_px, const uint8_t* sprite_value);
    void quiet_span(int dots);
    void next_line();
    int64_t dots_until(int line, int to_dot) const;
    int64_t mapper_event_dots() const;
    void sprite_countdown_dot();

    // Hardware model.
    bool hears_a12 = false;  // what the board hears of the bus (Mapper::bus_watch)
    int a12_low_dots = 0;
    bool hears_fetches = false;
    uint8_t fetched_first = 0x00, fetched_last = 0xFF;  // Mapper::fetched_tiles
    // Whether the name-table row v is in (both tables side by side) holds a
    // tile whose fetch the board acts on. The verdict is kept for the row
    // until a name-table write, a change of arrangement or forget_prediction
    // (which every run starts with, after what the host or a state load
    // wrote): the scan is too slow to repeat every dot.
    bool row_fetches_matter();
    int untold_groups_end() const;
    int row_verdict_key = -1;
    bool row_verdict = false;
    uint64_t row_told_tiles = 0;    // of v's row, both tables: bit 32 h + coarse X
    bool fetches_answered = false;  // the board answers them (answer_fetches)
    bool hears_port = false;        // Mapper::BusWatch::ppu_port
    bool dot_clocked = false;       // the board's dot clock runs in this model
    bool fetching() const;          // rendering on, on a rendering line
    // The I/O latch at dot count `at`: bits driven by an access, and what it
    // holds once undriven bits have faded.
    void drive_io(uint8_t value, uint8_t bits, int64_t at);
    uint8_t io_value(int64_t at);
    void step_after_data_access();
    void drive_address(uint16_t address);
    uint8_t fetch_byte(uint16_t address, PpuFetch kind) { return fetch_byte(address, kind, hears_fetches); }
    uint8_t fetch_byte(uint16_t address, PpuFetch kind, bool told);  // the board told of it or not
    uint8_t fetch_sprite_byte(uint16_t address, PpuFetch kind);
    void fetch_told_tile(uint16_t vram, uint8_t ctrl);
    int answered_palette();
    void tell_sprite_fetches(uint8_t ctrl);
    uint16_t background_pattern_address(uint8_t ctrl) const;
    uint16_t sprite_pattern_address(int slot, uint8_t ctrl) const;
    void shift_background();
    void reload_background();
    void background_fetch_dot(uint8_t ctrl);
    void sprite_fetch_dot(uint8_t ctrl);
    void evaluation_write_dot(uint8_t ctrl);
    void start_line_sprites();
    uint8_t hardware_pixel(uint8_t mask);
    static uint8_t palette_output(uint8_t value, uint8_t mask);
    void rendering_dot(uint8_t ctrl, uint8_t mask);
    void sprite_memory_dot(int d, uint8_t ctrl, bool visible);
    void sprite_memory_span(int first, int last, uint8_t ctrl, bool visible);
    void rendering_span(int groups);
    void sprite_fetch_span(int last);
    void finish_span(int64_t start, int first, int last);
    void hardware_quiet(int dots);
    int64_t a12_rise_dots(int64_t k) const;
};

// The two models' entry points (ppu.cpp).
template <>
void PPU::cycle<Accuracy::standard>();
template <>
void PPU::cycle<Accuracy::hardware>();
template <>
void PPU::run_until<Accuracy::standard>(int64_t);
template <>
void PPU::run_until<Accuracy::hardware>(int64_t);
template <>
int64_t PPU::next_event<Accuracy::standard>() const;
template <>
int64_t PPU::next_event<Accuracy::hardware>() const;
template <>
int64_t PPU::frame_end<Accuracy::standard>() const;
template <>
int64_t PPU::frame_end<Accuracy::hardware>() const;
template <>
uint8_t PPU::status_at<Accuracy::standard>(int64_t);
template <>
uint8_t PPU::status_at<Accuracy::hardware>(int64_t);
extern template uint8_t PPU::read_register<Accuracy::standard>(uint16_t, int64_t);
extern template uint8_t PPU::read_register<Accuracy::hardware>(uint16_t, int64_t);
extern template uint8_t PPU::write_register<Accuracy::standard>(uint16_t, uint8_t, int64_t);
extern template uint8_t PPU::write_register<Accuracy::hardware>(uint16_t, uint8_t, int64_t);

}  // namespace NES
