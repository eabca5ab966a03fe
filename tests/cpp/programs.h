// The project's test programs (tests/programs, assembled by the test build):
// run on a console until they report their result at $6000.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "console.h"
#include "workload.h"

namespace test {

struct ProgramResult {
    int status = -1;   // the result (0 = pass); -1 when none came within the frames
    std::string text;  // what the program says about it
    int64_t frames = 0;
};

inline std::vector<uint8_t> program_image(const std::string& name) {
    return read_file(std::string(PICTOR_PROGRAM_DIR) + "/" + name + ".nes");
}

// Runs a program frame by frame until its status byte at $6000 is final
// (below $80 behind the signature DE B0 61), pressing reset whenever the
// program asks for it ($81).
inline ProgramResult run_program(const std::string& name, int64_t max_frames,
                                 NES::Accuracy accuracy = NES::Accuracy::standard) {
    const std::vector<uint8_t> image = program_image(name);
    EXPECT_FALSE(image.empty()) << "no image for " << name;
    ProgramResult result;
    if (image.empty()) return result;
    auto con = boot(image, nullptr, accuracy);
    const uint8_t* m = con->cpu->memory;
    bool asked = false;
    for (result.frames = 1; result.frames <= max_frames; ++result.frames) {
        con->run_frame();
        if (m[0x6001] != 0xDE || m[0x6002] != 0xB0 || m[0x6003] != 0x61) continue;
        const uint8_t status = m[0x6000];
        if (status == 0x81 && !asked) {
            con->press_reset();
            asked = true;
        } else if (status < 0x80) {
            result.status = status;
            for (int a = 0x6004; a < 0x8000 && m[a]; ++a) result.text += static_cast<char>(m[a]);
            return result;
        }
        if (status != 0x81) asked = false;
    }
    return result;
}

// Expects a program to pass within max_frames frames in a model.
inline void expect_program_passes(const std::string& name, int64_t max_frames,
                                  NES::Accuracy accuracy = NES::Accuracy::standard) {
    const ProgramResult r = run_program(name, max_frames, accuracy);
    EXPECT_EQ(r.status, 0) << name << (accuracy == NES::Accuracy::hardware ? " (hardware model)" : "") << " after "
                           << r.frames << " frames: " << (r.text.empty() ? "(no text)" : r.text);
}

}  // namespace test
