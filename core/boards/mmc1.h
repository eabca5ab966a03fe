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
    // The CPU cycle of the last register write (hardware model). Not part of
    // a snapshot: the two writes it pairs lie within one instruction.
    int64_t last_write_cycle = -2;
    void map_write(void** context, signed char* address, signed char* value) override;
    bool write_reaches_ppu(uint32_t address, uint8_t value) const override;
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void insert(CPU& cpu) override;
    void control(CPU* cpu, PPU* ppu, uint8_t value);
    // The control register as the modes and the PPU's arrangement show it.
    uint8_t control_value(const PPU* ppu) const;
    void snapshot(StateIO& io) override;
};

}  // namespace NES
