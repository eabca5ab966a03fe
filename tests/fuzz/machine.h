// A quiet console wired the way the machine object wires it, for the fuzz
// targets: no host layer, no files, nothing printed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "apu.h"
#include "controller.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace fuzz {

struct Machine {
    std::unique_ptr<NES::ROM> rom;
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;
    NES::Controller pads[2];

    // Takes a parsed cartridge; throws what insertion throws.
    explicit Machine(std::unique_ptr<NES::ROM> cartridge) : rom(std::move(cartridge)) {
        cpu = std::make_unique<NES::CPU>(false);
        cpu->verbose = false;
        ppu = std::make_unique<NES::PPU>();
        ppu->verbose = false;
        ppu->cpu = cpu.get();
        cpu->ppu = ppu.get();
        ppu->set_registers();
        apu = std::make_unique<NES::APU>();
        cpu->apu = apu.get();
        apu->setCPU(cpu.get());
        apu->sample_rate = 44100;
        cpu->set_controller(&pads[0], 0);
        cpu->set_controller(&pads[1], 1);
        cpu->loadRom(rom.get(), false);
        ppu->loadRom(rom.get());
        cpu->reset();
    }

    void press(uint8_t buttons) {
        bool states[8];
        for (int i = 0; i < 8; ++i) states[i] = (buttons >> i) & 1;
        pads[0].update_inputs(states);
        pads[1].update_inputs(states);
    }

    // One frame through the lazy run the machine uses.
    void run_frame() {
        while (cpu->run(INT64_MAX) != NES::CPU::RunEnd::frame) {
        }
        cpu->catch_up();
    }

    // CPU cycles through the lazy run, frame ends included.
    void run_cycles(int64_t n) {
        const int64_t end = cpu->cycles + n;
        while (cpu->run(end) == NES::CPU::RunEnd::frame) cpu->catch_up();
    }

    // CPU cycles through the exact dot-by-dot step of debug traces.
    void step_cycles(int64_t n) {
        const int64_t end = cpu->cycles + n;
        while (cpu->cycles < end) {
            cpu->clock();
            while (2 * apu->cycles < cpu->cycles) apu->cycle();
            while (ppu->cycles < 3 * cpu->cycles) ppu->cycle();
        }
    }

    void reset() {
        cpu->reset();
        ppu->on_reset();
        apu->on_reset();
    }
};

// Stops the process the way a sanitizer does, so that libFuzzer keeps the input.
[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

// Every state the machine reaches is one its snapshots accept, and a restore
// gives back exactly what was saved. Returns that snapshot.
inline std::vector<uint8_t> check_snapshot_round_trip(Machine& m) {
    std::vector<uint8_t> snap = NES::save_snapshot(*m.cpu);
    try {
        NES::load_snapshot(*m.cpu, snap.data(), snap.size());
    } catch (const std::invalid_argument& e) {
        broken(e.what());
    }
    if (NES::save_snapshot(*m.cpu) != snap) broken("a restored snapshot differs from the saved one");
    return snap;
}

}  // namespace fuzz
