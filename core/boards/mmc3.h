// The MMC3 (TxROM boards): eight bank registers behind a select register,
// mirroring, PRG-RAM protection and the scanline interrupt counter.
#pragma once

#include <cstdint>

#include "mapper.h"

namespace NES {

class MMC3 : public Mapper {
public:
    MMC3() : Mapper(4) {}
    uint8_t bank_select = 0;
    uint8_t prev_bank_select = 0;  // the mode bits the windows reflect
    uint8_t ram_protect = 0;
    uint8_t ram_enable = 1;
    bool irq_enabled = true;
    uint16_t reserved0 = 0;     // carried by the state block, used by nothing
    int32_t irq_counter = 255;  // 0-255
    uint8_t irq_latch = 255;
    uint8_t reserved1[2] = {};  // carried by the state block, used by nothing
    void map_write(void** context, signed char* address, signed char* value) override;
    void clock(void** context) override;
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return 0x6000; }  // RAM protection
    bool write_reaches_ppu(uint32_t address, uint8_t value) const override;
    DotClock dot_clock() const override { return DotClock::after_dot_255; }
    int64_t clocks_to_request() const override;
    void scanline_clock(CPU* cpu);
    // In the hardware model the counter is clocked by A12's rises after A12
    // was low for more than 9 dots: the board's filter needs three falls of
    // M2 within the low stretch, which 9 dots (between the prefetch's last
    // name-table fetch and the first pattern fetch of a line) do not give.
    BusWatch bus_watch(Accuracy model) const override { return {model == Accuracy::hardware, 10, false}; }
    void a12_rose(void** context, int64_t at, int64_t low_since) override;
    void snapshot(StateIO& io) override;
};

}  // namespace NES
