// The NTDEC 2722 (mapper 40): an 8 KiB PRG bank at $C000 and a counter of
// PPU dots that requests an interrupt every 4096 CPU cycles while enabled.
#pragma once

#include <cstdint>

#include "mapper.h"

namespace NES {

class NTDEC2722 : public Mapper {
public:
    NTDEC2722() : Mapper(40) {}
    uint16_t irq_counter = 0x3000;  // PPU dots left until the next interrupt request
    bool irq_enabled = true;
    void map_write(void** context, signed char* address, signed char* value) override;
    void clock(void** context) override;
    void insert(CPU& cpu) override;
    DotClock dot_clock() const override { return DotClock::every_dot; }
    void clock_dots(void** context, int64_t n) override;
    int64_t clocks_to_request() const override;
    void snapshot(StateIO& io) override;
};

}  // namespace NES
