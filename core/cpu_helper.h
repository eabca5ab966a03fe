// Instruction-set constants, small inline helpers shared by the CPU's two
// source files, and the layout of a state file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu.h"

namespace NES {

// Bit of P named by a flag letter; 0 for a letter that names no flag.
constexpr uint8_t flag_mask(char letter) {
    switch (letter) {
        case 'C':
            return 0x01;
        case 'Z':
            return 0x02;
        case 'I':
            return 0x04;
        case 'D':
            return 0x08;
        case 'B':
            return 0x10;
        case 'V':
            return 0x40;
        case 'N':
            return 0x80;
        default:
            return 0;
    }
}

// Cycle cost of every opcode as one decimal digit, opcode $00 first: without
// and with an index page crossing. Branches are 0: they count their own cycles.
inline constexpr char BASE_CYCLE_DIGITS[] =
    "7608335532224466050844662427447766083355422244660508446624274477660833553222346605084466242744776608335542225466"
    "0508446624274477262633332222444406064444252555552626333322224444050544442424444426283355222244660508446624274477"
    "26283355222244660508446624274477";
inline constexpr char CROSS_CYCLE_DIGITS[] =
    "7608335532224466060844662527557766083355422244660608446625275577660833553222346606084466252755776608335542225466"
    "0608446625275577262633332222444406064444252555552626333322224444060644442525555526283355222244660608446625275577"
    "26283355222244660608446625275577";
static_assert(sizeof(BASE_CYCLE_DIGITS) == 257 && sizeof(CROSS_CYCLE_DIGITS) == 257);

// A state file: registers, both memories and the mapper block, in bytes.
namespace state_file {
inline constexpr std::size_t P = 0;
inline constexpr std::size_t A = 1;
inline constexpr std::size_t X = 2;
inline constexpr std::size_t Y = 3;
inline constexpr std::size_t SP = 4;
inline constexpr std::size_t PC = 5;  // signed 64-bit, little-endian
inline constexpr std::size_t CPU_MEMORY = 13;
inline constexpr std::size_t PPU_MEMORY = CPU_MEMORY + 0x10000;
inline constexpr std::size_t MAPPER_BLOCK = PPU_MEMORY + 0x4000;
inline constexpr std::size_t LENGTH = MAPPER_BLOCK + 256;
static_assert(LENGTH == 82189);
}  // namespace state_file

// The little-endian word at two CPU addresses, read with mapper notification.
inline uint16_t read_word(CPU& cpu, uint16_t low_address, uint16_t high_address) {
    const uint8_t low = static_cast<uint8_t>(cpu.read(cpu.location(low_address), true));
    const uint8_t high = static_cast<uint8_t>(cpu.read(cpu.location(high_address), true));
    return static_cast<uint16_t>(low | high << 8);
}

}  // namespace NES
