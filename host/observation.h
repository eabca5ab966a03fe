// Observations for learning agents, made from a machine's palette indices or
// its work RAM: RGB or grayscale pictures, downscaled by area averaging,
// max-pooled over the last two frames of a step, stacked over steps.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ppu.h"

namespace NES {
class CPU;
}

enum class ObsKind : uint8_t { rgb, grayscale, ram };

inline constexpr int RAM_OBS_LEN = 0x800;  // the console's 2 KiB of work RAM, $0000-$07FF

struct ObsSpec {
    ObsKind kind = ObsKind::rgb;
    int height = NES::PPU::HEIGHT;  // pictures only
    int width = NES::PPU::WIDTH;
    static constexpr int MAX_STACK = 64;
    int stack = 1;          // frames in the observation; above 1 they make a leading axis
    bool max_pool = false;  // pictures only

    // Checks the choices as a constructor receives them: obs_type "rgb",
    // "grayscale" or "ram"; shape (height, width) of a picture, at most the
    // console's; stack at least 1; max_pool for pictures. std::invalid_argument
    // names the argument.
    static ObsSpec parse(const std::string& obs_type, const std::optional<std::pair<int, int>>& shape, int stack,
                         bool max_pool);
    std::size_t frame_bytes() const;
    std::size_t bytes() const { return frame_bytes() * static_cast<std::size_t>(stack); }
    // The shape of one observation: (stack,)? + (height, width) + (3,)? or (2048,).
    std::vector<pybind11::ssize_t> shape() const;
};

// Writes the observations of one machine into memory its owner provides (a
// Batch's row, an Observer's array). The stack of the last frames lives in
// that memory, oldest first.
class ObsWriter {
public:
    explicit ObsWriter(const ObsSpec& spec);

    // Keeps the picture as the frame before the last of a step, which
    // max_pool takes the element-wise maximum with.
    void hold(const NES::PPU& ppu);
    // Moves the stack on by one frame and writes the current one last.
    void push(const NES::CPU& cpu, const NES::PPU& ppu, uint8_t* out);
    // Writes the current frame into every place of the stack (after a reset).
    void fill(const NES::CPU& cpu, const NES::PPU& ppu, uint8_t* out);

    const ObsSpec spec;

private:
    // The source pixels of each output column or row, with their overlap in
    // units that make a column's weights sum to the console's width (a
    // row's to its height): area averaging in whole numbers.
    struct Tap {
        uint16_t source;
        uint16_t weight;
    };
    struct Axis {
        std::vector<uint32_t> first;  // output n's taps are first[n] to first[n + 1]
        std::vector<Tap> taps;
    };
    static Axis area_axis(int source_len, int out_len);

    void write_frame(const NES::CPU& cpu, const NES::PPU& ppu, uint8_t* out);
    // The channel values of source row y (max-pooled when asked), channels
    // interleaved.
    const uint8_t* source_row(const NES::PPU& ppu, int y);

    int channels;
    std::array<uint8_t, NES::PPU::HEIGHT * NES::PPU::WIDTH> previous{};  // palette indices
    std::vector<uint8_t> row;                                            // one source row
    Axis columns, rows;
    std::vector<uint32_t> column_sums;  // each source row after the horizontal pass
};

// Binds the Python class "Observer", which observes one NES.
void define_observer(pybind11::module_& m);
