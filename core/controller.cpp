#include "controller.h"

#include <algorithm>

namespace NES {

Controller::Controller(bool* states) { update_inputs(states); }

void Controller::update_inputs(bool* states) { std::copy(states, states + 8, buttons); }

uint8_t Controller::get_input_byte() const {
    uint8_t byte = 0;
    for (int i = 0; i < 8; ++i) byte |= static_cast<uint8_t>(buttons[i]) << (7 - i);
    return byte;
}

}  // namespace NES
