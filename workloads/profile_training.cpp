// The training run of the profile-guided build: the cartridges named on the
// command line, each for a stretch of frames in both timing models, with the
// pad's buttons pressed in turn so that every branch of the workloads runs. The
// instrumented core it is linked with writes its counts at exit.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "apu.h"
#include "controller.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace {

void run(std::vector<uint8_t>& image, NES::Accuracy accuracy, int frames) {
    auto cpu = std::make_unique<NES::CPU>(false);
    auto ppu = std::make_unique<NES::PPU>(cpu.get());
    auto apu = std::make_unique<NES::APU>();
    cpu->verbose = ppu->verbose = false;
    cpu->apu = apu.get();
    apu->setCPU(cpu.get());
    apu->sample_rate = 44100;
    cpu->accuracy = ppu->accuracy = apu->accuracy = accuracy;
    NES::Controller pad;
    cpu->set_controller(&pad, 0);
    NES::ROM rom(static_cast<long>(image.size()), image.data(), false);
    cpu->loadRom(&rom, false);
    ppu->loadRom(&rom);
    cpu->reset();
    for (int frame = 0; frame < frames; ++frame) {
        // Each button in turn (A, B, Select, Start, Up, Down, Left, Right), held for 16 frames.
        bool states[8] = {};
        states[frame / 16 % 8] = true;
        pad.update_inputs(states);
        while (cpu->run(INT64_MAX) != NES::CPU::RunEnd::frame) {
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (image.empty()) {
            std::fprintf(stderr, "profile training: cannot read %s\n", argv[i]);
            return 1;
        }
        run(image, NES::Accuracy::standard, 600);
        run(image, NES::Accuracy::hardware, 150);
    }
    return 0;
}
