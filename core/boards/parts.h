// Pieces the boards share: the mapper context, CPU addresses of the locations
// the CPU hands a board, and the integers of the state-file mapper block.
#pragma once

#include <cstdint>
#include <cstring>

#include "cpu.h"

namespace NES::board {

inline constexpr std::size_t KIB = 1024;

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

}  // namespace NES::board
