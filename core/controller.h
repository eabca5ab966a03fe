// A standard pad: eight buttons shifted out serially through $4016/$4017.
#pragma once

#include <cstdint>

namespace NES {

class Controller {
public:
    // Serial order: A, B, Select, Start, Up, Down, Left, Right.
    bool buttons[8] = {};

    Controller() = default;
    explicit Controller(bool* states);

    void update_inputs(bool* states);
    // The buttons packed for the serial port: button 0 (A) in bit 7.
    uint8_t get_input_byte() const;
};

}  // namespace NES
