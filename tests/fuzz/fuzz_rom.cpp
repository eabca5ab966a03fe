// Fuzz target: a cartridge image is parsed, and when it is one, the machine
// runs its program for a frame and more (the lazy run or the dot-by-dot
// step), may be reset, and takes snapshots that must restore exactly.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "cpu.h"
#include "cpu_helper.h"
#include "machine.h"

namespace {

// The machine's snapshots restore it exactly, and so does an old-layout state
// file of it.
void check_snapshots(fuzz::Machine& m) {
    const std::vector<uint8_t> snap = fuzz::check_snapshot_round_trip(m);

    std::vector<uint8_t> legacy(snap.begin(), snap.begin() + NES::state_file::LENGTH);
    FILE* file = fmemopen(legacy.data(), legacy.size(), "rb");
    if (!file) return;
    try {
        m.cpu->load_state(file);
    } catch (const std::exception& e) {
        std::fclose(file);
        fuzz::broken(e.what());
    }
    std::fclose(file);
    if (NES::save_snapshot(*m.cpu) != snap) fuzz::broken("an old-layout state of the machine changed it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> image(data, data + size);
    std::unique_ptr<NES::ROM> rom;
    try {
        rom = std::make_unique<NES::ROM>(static_cast<long>(image.size()), image.data(), false);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    fuzz::Machine m(std::move(rom));
    // The image's last two bytes (past its data, or its own) steer the run:
    // the buttons, and after a whole frame a stretch of the dot-by-dot step
    // or of the lazy run, and a reset.
    const uint8_t buttons = data[size - 2];
    const uint8_t steer = data[size - 1];
    m.press(buttons);
    m.run_frame();
    if (steer & 1)
        m.step_cycles(3000);
    else
        m.run_cycles(6000);
    if (steer & 2) {
        m.reset();
        m.press(static_cast<uint8_t>(~buttons));
        m.run_cycles(6000);
    }
    check_snapshots(m);
    return 0;
}
