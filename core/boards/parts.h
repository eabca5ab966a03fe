// Pieces the boards share: the mapper context, CPU addresses of the locations
// the CPU hands a board, bank placement, the integers of the state-file
// mapper block, counters clocked by CPU cycles and banked CHR-RAM.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu.h"
#include "mapper.h"

namespace NES::board {

inline constexpr std::size_t KIB = 1024;

// The PPU's name-table arrangements (PPU::mirroring).
enum Arrangement : int { HORIZONTAL = 0, VERTICAL = 1, FOUR_SCREEN = 2, SCREEN_A = 3, SCREEN_B = 4 };

inline CPU* cpu_of(void** context) { return static_cast<CPU*>(context[0]); }
inline PPU* ppu_of(void** context) { return static_cast<PPU*>(context[1]); }

// CPU address of a location, or -1 when it lies outside the CPU's memory
// (the accumulator operand).
inline int cpu_address(const CPU* cpu, const signed char* location) {
    auto p = reinterpret_cast<uintptr_t>(location);
    auto base = reinterpret_cast<uintptr_t>(cpu->memory);
    if (p < base || p - base >= sizeof cpu->memory) return -1;
    return static_cast<int>(p - base);
}

inline void put_i32(char* block, int32_t v) {
    auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) block[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

inline int32_t get_i32(const char* block) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t{static_cast<uint8_t>(block[i])} << (8 * i);
    return static_cast<int32_t>(u);
}

// Bank copies into the windows, by bank number in units of the window's size;
// the data wraps where the cartridge has less.
void place_prg(CPU& cpu, uint16_t window, std::size_t kib, int bank);
void place_chr(PPU* ppu, uint16_t window, std::size_t kib, int bank);
// The last 16 KiB of PRG-ROM at $C000 (ROM::last_prg_16k).
void place_last_16k(CPU& cpu);
// The 8 KiB banks of PRG-ROM counted from the end (1 is the last).
int last_prg_8k(const CPU& cpu, int from_end);
// A name-table arrangement the board selects (nothing without a PPU).
void arrange(PPU* ppu, int arrangement);

// A board whose interrupt counter counts CPU cycles. The PPU clocks it on
// every dot, three a CPU cycle, so the lazy run predicts its requests as it
// does for the other dot-clocked boards.
class CycleCountingBoard : public Mapper {
public:
    using Mapper::Mapper;
    DotClock dot_clock() const override { return DotClock::every_dot; }
    void clock(void** context) override { clock_dots(context, 1); }
    void clock_dots(void** context, int64_t n) override;
    int64_t clocks_to_request() const override;

protected:
    virtual void count_cycles(CPU* cpu, int64_t cycles) = 0;
    // CPU cycles until the counter requests an interrupt (1 or more); -1 for never.
    virtual int64_t cycles_to_request() const = 0;

private:
    // Dots since the last whole CPU cycle: 0 whenever the PPU is in step with
    // the CPU (between instructions, and so in every snapshot).
    int64_t phase = 0;
};

// The interrupt counter of the VRC4, VRC6 and VRC7: an 8-bit counter that
// counts up from its latch and requests on overflow, either every CPU cycle
// or every scanline (a prescaler of 341 less 3 per CPU cycle).
struct VrcIrq {
    uint8_t latch = 0;
    uint8_t counter = 0;
    uint8_t control = 0;  // bit 0: enable again on acknowledge, 1: enabled, 2: cycle mode
    int16_t prescaler = 341;

    void write_control(CPU* cpu, uint8_t value);
    void acknowledge(CPU* cpu);
    void count(CPU* cpu, int64_t cycles);
    int64_t cycles_to_request() const;
    void snapshot(StateIO& io);
};

// CHR-RAM of more than the PPU's 8 KiB pattern window: the window holds the
// selected 8 KiB bank and the store the others; a switch writes the window
// back before it copies the new bank in.
struct ChrRamBanks {
    std::vector<uint8_t> store;
    uint8_t bank = 0;

    // Sized by the header where it names more than 8 KiB, else 32 KiB; all clear.
    void insert(const ROM& rom);
    void select(PPU* ppu, int bank);
    void snapshot(StateIO& io);
};

}  // namespace NES::board
