// A console for CPU tests: programs run from internal RAM, the interrupt
// vectors point into RAM, and output printed while wiring is kept off the log.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "console.h"
#include "cpu.h"
#include "ppu.h"

namespace test {

inline constexpr uint16_t NMI_HANDLER = 0x0300;
inline constexpr uint16_t RESET_HANDLER = 0x0200;
inline constexpr uint16_t IRQ_HANDLER = 0x0400;

inline Cart vector_cart(Cart cart = {}) {
    cart.poke(0xFFFA, {NMI_HANDLER & 0xFF, NMI_HANDLER >> 8, RESET_HANDLER & 0xFF, RESET_HANDLER >> 8,
                       IRQ_HANDLER & 0xFF, IRQ_HANDLER >> 8});
    return cart;
}

struct Rig {
    std::unique_ptr<Console> console;
    NES::CPU& cpu;
    NES::PPU& ppu;

    explicit Rig(Cart cart = {}, NES::Accuracy accuracy = NES::Accuracy::standard)
        : console(boot(vector_cart(cart), nullptr, accuracy)), cpu(*console->cpu), ppu(*console->ppu) {}

    // Places bytes in memory directly (no side effects) and points PC at them.
    void program(uint16_t address, const std::vector<uint8_t>& bytes) {
        cpu.PC = address;
        for (uint8_t b : bytes) cpu.memory[address++] = b;
    }
    void run(int instructions) {
        for (int i = 0; i < instructions; ++i) cpu.clock();
    }
    // Runs one instruction and returns the cycles it cost.
    int64_t cost(const std::vector<uint8_t>& bytes) {
        program(RESET_HANDLER, bytes);
        int64_t before = cpu.cycles;
        cpu.clock();
        return cpu.cycles - before;
    }
};

}  // namespace test
