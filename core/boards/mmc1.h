// The MMC1 (SxROM boards): a serial port of five writes that fills the
// control, CHR and PRG registers.
#pragma once

#include <cstdint>

#include "mapper.h"

namespace NES {

class MMC1 : public Mapper {
public:
    MMC1() : Mapper(1) {}
    uint8_t prg_mode = 3;
    uint8_t chr_mode = 0;
    uint8_t shift = 0x10;  // bit 4 holds the marker that travels down per write
    uint8_t last_value = 0;
    void map_write(void** context, signed char* address, signed char* value) override;
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void insert(CPU& cpu) override;
    void control(CPU* cpu, PPU* ppu, uint8_t value);
    // The control register as the modes and the PPU's arrangement show it.
    uint8_t control_value(const PPU* ppu) const;
    void snapshot(StateIO& io) override;
};

}  // namespace NES
