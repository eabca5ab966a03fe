// The Namco 108 (206, DxROM boards): the MMC3's forerunner, without its modes,
// mirroring control or counter. $8000-$9FFF: a bank select (even addresses)
// and the selected register (odd); R0-R1 2 KiB CHR at $0000/$0800, R2-R5
// 1 KiB CHR at $1000-$1C00, R6-R7 8 KiB PRG at $8000/$A000; the last 16 KiB
// fixed at $C000.
#pragma once

#include <cstdint>

#include "mapper.h"

namespace NES {

class Namco108 : public Mapper {
public:
    Namco108() : Mapper(206) {}
    uint8_t select = 0;
    uint8_t banks[8] = {};
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    void snapshot(StateIO& io) override;
};

}  // namespace NES
