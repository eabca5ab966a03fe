// The MMC5 (5, ExROM boards). Registers at $5100-$5206, its 1 KiB of
// ExRAM at $5C00-$5FFF:
// - PRG: mode $5100 (0: 32 KiB, 1: 2 x 16 KiB, 2: 16 + 8 + 8 KiB, 3: four
//   8 KiB windows), banks $5113 ($6000, always RAM) and $5114-$5117, bit 7
//   ROM (else RAM; $5117 always ROM). PRG-RAM (up to eight 8 KiB banks) is
//   the board's own store; the CPU's windows hold copies, and a write goes
//   to the store and every window showing its bank, when $5102 is 2 and
//   $5103 is 1. The battery keeps the first bank.
// - CHR: mode $5101 (8, 4, 2 or 1 KiB banks), set A $5120-$5127 and set B
//   $5128-$512B, each register taking $5130's upper bits as it is written.
//   With 8x8 sprites set A serves everything; with 8x16 ones the sprites
//   read set A (a pattern table the board gives them) and the background
//   set B, and PPUDATA the set written last. The board hears PPUCTRL
//   through the CPU's side of the PPU.
// - Name tables: the PPU keeps four separate tables, which the board fills
//   per $5105 from the two CIRAM pages, ExRAM or the fill tile and
//   attribute ($5106, $5107), and keeps in step with PPUDATA writes.
// - ExRAM mode $5104: 0 name table, 1 extended attributes (each tile's
//   ExRAM byte gives its 4 KiB CHR bank, bits 0-5, and palette, bits 6-7),
//   2 CPU RAM, 3 read-only RAM; the CPU reads it in modes 2 and 3.
// - The vertical split ($5200-$5202): the tiles left or right of a column
//   come from ExRAM as a name table, with their own vertical scroll and
//   4 KiB CHR bank. Extended attributes and the split answer the PPU's
//   fetches; only while either is on does the PPU step dot by dot.
// - The scanline interrupt: the board counts a line when the PPU's third
//   identical name-table fetch in a row (the line's first, after the two
//   dummy ones) comes, at dot 2 of each rendered line, taken here from the
//   dot clock. The first line of a frame sets the in-frame flag and clears
//   the counter; each further one counts, and a count equal to $5203 sets
//   the pending flag (and requests when $5204 bit 7 allows). Reading $5204
//   gives pending (bit 7) and in-frame (bit 6) and acknowledges. Line 240,
//   or rendering off, clears in-frame.
// - The multiplier: $5205 x $5206, the product read back from them.
// - Its sound ($5000-$5015): Mmc5Sound.
// Left out: CHR-RAM banking (CHR-RAM is the PPU's plain 8 KiB).
#pragma once

#include <cstdint>
#include <vector>

#include "apu.h"
#include "expansion_sound.h"
#include "mapper.h"

namespace NES {

// The MMC5's sound: two pulses as the console's but without a sweep
// ($5000-$5003, $5004-$5007: duty, length halt and envelope; unused; period
// low; length and period high), their timers counting APU cycles (two CPU
// cycles each), their envelopes and length counters clocked together every
// 7457 CPU cycles (240 Hz) by a divider of their own; $5015 enables them and
// reads back which length counters run. A $5003/$5007 write starts the duty
// again; periods below 8 play (the console mutes them in its sweep). The
// PCM channel plays the level
// written to $5011 in write mode ($5010 bit 0 clear; a 0 is not taken); its
// read mode and interrupt are left out. A pulse step is as loud as the
// console pulse's, the PCM's full range as the DMC's.
class Mmc5Sound : public ExpansionSound {
public:
    struct Pulse {
        uint8_t regs[4] = {};
        uint16_t timer = 0;  // counts down to the next step
        uint8_t step = 0;    // into the duty's 8 steps
        uint8_t length = 0;
        APU::Envelope envelope;  // the console's, on the same register bits
    } pulse[2];
    uint8_t enable = 0;             // $5015
    uint16_t frame_divider = 7456;  // the next envelope and length clock comes in this + 1 CPU cycles
    uint8_t half_cycle = 0;         // a CPU cycle into the APU cycle
    uint8_t pcm_control = 0;        // $5010
    uint8_t pcm = 0;
    // A write to $5000-$5015 (address less $5000).
    void write(int reg, uint8_t value);
    uint8_t status() const;  // the $5015 read
    void run(int64_t cycles) override;
    float level() const override;
    void snapshot(StateIO& io);

private:
    void clock_units();
};

class MMC5 : public Mapper {
public:
    MMC5() : Mapper(5) {}
    uint8_t prg_mode = 3;
    uint8_t chr_mode = 3;
    uint8_t ram_protect[2] = {};
    uint8_t exram_mode = 0;
    uint8_t name_tables = 0;  // $5105: two bits a table
    uint8_t fill_tile = 0;
    uint8_t fill_attribute = 0;
    uint8_t prg[5] = {0, 0x80, 0x80, 0x80, 0xFF};  // $5113-$5117; ROM at power-on
    // $5120-$512B with their upper bits; at power-on the layout of the first 8 KiB.
    uint16_t chr[12] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3};
    uint8_t chr_upper = 0;
    bool set_b_written_last = false;
    uint8_t split_control = 0;
    uint8_t split_scroll = 0;
    uint8_t split_bank = 0;
    uint8_t irq_compare = 0;
    bool irq_enabled = false;
    bool irq_pending = false;
    bool in_frame = false;
    uint8_t irq_counter = 0;
    uint8_t factors[2] = {0xFF, 0xFF};
    uint8_t ppu_ctrl = 0;  // the PPUCTRL written last
    // The tile being fetched: 0 the PPU's own, 1 with extended attributes,
    // 2 in the split; its palette, 4 KiB CHR bank and (split) fine Y.
    uint8_t tile_kind = 0;
    uint8_t tile_palette = 0;
    uint16_t tile_bank = 0;
    uint8_t tile_fine_y = 0;
    uint8_t exram[0x400] = {};
    uint8_t ciram[2][0x400] = {};
    std::vector<uint8_t> ram;  // PRG-RAM, 8 KiB a bank
    Mmc5Sound sound;

    void map_write(void** context, signed char* address, signed char* value) override;
    void map_read(void** context, signed char* address) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return 0x5000; }
    // The board brings the units up itself for its registers at $5000-$5FFF,
    // so that PRG-RAM writes do not.
    uint32_t registers_from() const override { return 0x10000; }
    bool answers_expansion_reads() const override { return true; }
    DotClock dot_clock() const override { return DotClock::every_dot; }
    void clock(void** context) override { clock_dots(context, 1); }
    void clock_dots(void** context, int64_t n) override;
    int64_t clocks_to_request() const override;
    const uint8_t* battery_ram(const CPU& cpu) const override;
    std::size_t battery_size() const override { return battery_bytes; }
    void load_battery(CPU& cpu, const uint8_t* data, std::size_t size) override;
    std::size_t battery_bytes = BATTERY_BYTES;  // the first banks, battery-backed
    BusWatch bus_watch(Accuracy) const override { return {false, 0, false, true}; }
    uint8_t fetched(void** context, uint16_t address, PpuFetch kind, uint8_t byte) override;
    void ppu_register_written(void** context, uint16_t reg, uint8_t value) override;
    void vram_written(void** context, uint16_t address, uint8_t value) override;
    uint8_t vram_read(void** context, uint16_t address, uint8_t byte) override;
    void snapshot(StateIO& io) override;

private:
    PPU* ppu = nullptr;                           // the PPU of the machine the board is in
    int16_t shown_prg[5] = {-1, -1, -1, -1, -1};  // the source each CPU window holds
    uint8_t sprite_set[0x2000] = {};              // set A while 8x16 sprites use it

    int prg_source(int window) const;
    int ram_bank(int bank) const;
    void place_prg_windows(CPU& cpu);
    void write_ram(CPU& cpu, int address, uint8_t value);
    bool big_sprites() const { return ppu_ctrl & 0x20; }
    void place_chr_set(uint8_t* dest, bool set_b) const;
    void place_chr();
    uint8_t name_table_byte(int table, int offset) const;
    void fill_name_table(int table);
    void write_register(CPU& cpu, int address, uint8_t value);
    void acknowledge(CPU& cpu);
    void count_line(CPU& cpu, int line);
    void hook_ppu();
    uint8_t chr_byte(uint32_t address) const;
};

}  // namespace NES
