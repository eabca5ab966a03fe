#include "controller.h"

#include <atomic>

namespace NES {

Controller::Controller(bool* states) { update_inputs(states); }

// The host may set a pad's buttons while the machine's thread reads them:
// each button is one atomic byte.
void Controller::update_inputs(bool* states) {
    for (int i = 0; i < 8; ++i) std::atomic_ref<bool>(buttons[i]).store(states[i], std::memory_order_relaxed);
}

uint8_t Controller::get_input_byte() const {
    uint8_t byte = 0;
    for (int i = 0; i < 8; ++i) {
        const bool pressed = std::atomic_ref<bool>(const_cast<bool&>(buttons[i])).load(std::memory_order_relaxed);
        byte |= static_cast<uint8_t>(pressed) << (7 - i);
    }
    return byte;
}

}  // namespace NES
