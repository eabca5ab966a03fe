// Test harness: cartridge images built in memory and a core console wired the
// way the machine object wires it, without the host layer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "apu.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace test {

// An iNES image. Every byte of PRG KiB k holds k, and every byte of CHR KiB k
// holds 0x80 | k, so a test can tell which bank landed in a window.
struct Cart {
    int mapper = 0;
    int prg_16k = 2;           // PRG-ROM size in 16 KiB units
    int chr_8k = 1;            // CHR-ROM size in 8 KiB units; 0 for CHR-RAM
    uint8_t flags6 = 0;        // mirroring, battery, trainer, four-screen bits
    std::vector<uint8_t> prg;  // filled by image() unless set by the test
    std::vector<uint8_t> chr;

    std::vector<uint8_t>& prg_data() {
        if (prg.empty()) {
            prg.resize(prg_16k * 16384);
            for (size_t i = 0; i < prg.size(); ++i) prg[i] = static_cast<uint8_t>(i / 1024);
        }
        return prg;
    }
    std::vector<uint8_t>& chr_data() {
        if (chr.empty()) {
            chr.resize(chr_8k * 8192);
            for (size_t i = 0; i < chr.size(); ++i) chr[i] = static_cast<uint8_t>(0x80 | (i / 1024));
        }
        return chr;
    }
    // Places bytes at a CPU address, counting from $8000 for the first bank
    // (the last 16 KiB when the address is $C000 or above).
    void poke(uint16_t address, std::initializer_list<uint8_t> bytes) {
        auto& p = prg_data();
        size_t offset = address >= 0xC000 ? p.size() - 0x4000 + (address - 0xC000) : address - 0x8000;
        for (uint8_t b : bytes) p.at(offset++) = b;
    }
    void set_reset_vector(uint16_t address) { poke(0xFFFC, {uint8_t(address & 0xFF), uint8_t(address >> 8)}); }

    std::vector<uint8_t> image() {
        std::vector<uint8_t> img = {'N',
                                    'E',
                                    'S',
                                    0x1A,
                                    uint8_t(prg_16k),
                                    uint8_t(chr_8k),
                                    uint8_t(flags6 | (mapper & 0x0F) << 4),
                                    uint8_t(mapper & 0xF0),
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0};
        auto& p = prg_data();
        img.insert(img.end(), p.begin(), p.end());
        if (chr_8k) {
            auto& c = chr_data();
            img.insert(img.end(), c.begin(), c.end());
        }
        return img;
    }
};

// A bare header (byte 7 = 0x08 marks NES 2.0, byte 9 extends the sizes)
// followed by data_len bytes where byte i holds i / 1024.
inline std::vector<uint8_t> raw_image(uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7, uint8_t b9, size_t data_len) {
    std::vector<uint8_t> img = {'N', 'E', 'S', 0x1A, b4, b5, b6, b7, 0, b9, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < data_len; ++i) img.push_back(static_cast<uint8_t>(i / 1024));
    return img;
}

inline Cart make_cart(int mapper, int prg_16k = 2, int chr_8k = 1, uint8_t flags6 = 0) {
    Cart cart;
    cart.mapper = mapper;
    cart.prg_16k = prg_16k;
    cart.chr_8k = chr_8k;
    cart.flags6 = flags6;
    return cart;
}

// The core components wired in the machine's order, stepped like the
// machine's single step (without a per-frame callback).
struct Console {
    std::unique_ptr<NES::ROM> rom;
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;

    explicit Console(Cart cart, NES::Accuracy accuracy = NES::Accuracy::standard) : Console(cart.image(), accuracy) {}
    explicit Console(std::vector<uint8_t> image, NES::Accuracy accuracy = NES::Accuracy::standard) {
        cpu = std::make_unique<NES::CPU>(false);
        ppu = std::make_unique<NES::PPU>(cpu.get());
        apu = std::make_unique<NES::APU>();
        cpu->accuracy = ppu->accuracy = apu->accuracy = accuracy;
        cpu->apu = apu.get();
        apu->setCPU(cpu.get());
        apu->sample_rate = 44100;
        rom = std::make_unique<NES::ROM>(static_cast<long>(image.size()), image.data());
        cpu->loadRom(rom.get(), true);
        ppu->loadRom(rom.get());
        cpu->reset();
    }

    // The machine step: one instruction, then the APU and the PPU caught up.
    void step() {
        cpu->clock();
        while (2 * apu->cycles < cpu->cycles) apu->cycle();
        while (ppu->cycles < 3 * cpu->cycles) ppu->cycle();
    }
    // Machine steps until a frame ends.
    void step_frame() {
        int64_t frames = ppu->frames;
        while (ppu->frames == frames) step();
    }
    // The same through the lazy path the machine uses.
    void run_frame() {
        while (cpu->run(INT64_MAX) != NES::CPU::RunEnd::frame) {
        }
        cpu->catch_up();
    }
    // The console's reset button, as the machine object presses it.
    void press_reset() {
        cpu->reset();
        ppu->on_reset();
        apu->on_reset();
    }
    // CPU register bytes and PPU fields are reached through the CPU's memory
    // map, as the program would: these go through read/write with side effects.
    void poke(uint16_t address, uint8_t value) { cpu->write(cpu->location(address), static_cast<signed char>(value)); }
    uint8_t peek(uint16_t address) { return static_cast<uint8_t>(cpu->read(cpu->location(address), true)); }
    // Runs frames (run_frame) and returns the samples made during them.
    std::vector<int16_t> record(int frames) {
        std::vector<int16_t> buffer(NES::APU::RING_LEN), audio;
        apu->read_ring(buffer.data());  // forget what came before
        for (int i = 0; i < frames; ++i) {
            run_frame();
            const std::size_t n = apu->read_ring(buffer.data());
            audio.insert(audio.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return audio;
    }
};

// Builds a console while capturing what insertion and reset print.
inline std::unique_ptr<Console> boot(std::vector<uint8_t> image, std::string* printed = nullptr,
                                     NES::Accuracy accuracy = NES::Accuracy::standard) {
    testing::internal::CaptureStdout();
    auto console = std::make_unique<Console>(std::move(image), accuracy);
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return console;
}
inline std::unique_ptr<Console> boot(Cart cart, std::string* printed = nullptr,
                                     NES::Accuracy accuracy = NES::Accuracy::standard) {
    return boot(cart.image(), printed, accuracy);
}

}  // namespace test
