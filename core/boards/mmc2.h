// The MMC2 (9) and MMC4 (10): PRG at $A000 (MMC2: 8 KiB at $8000, the last
// three fixed; MMC4: 16 KiB at $8000, the last fixed at $C000), four 4 KiB
// CHR registers at $B000-$E000 and the arrangement at $F000 (0 vertical, 1
// horizontal). Each pattern table has a latch that the PPU's fetch of tile
// $FD or $FE sets, and the latch picks which of its two registers the table
// shows: $B000/$C000 for $0000, $D000/$E000 for $1000. The MMC2 sets the
// $0000 latch only on $0FD8 and $0FE8 themselves, the $1000 latch on
// $1FD8-$1FDF and $1FE8-$1FEF; the MMC4 takes the whole eight bytes for both.
// The fetch that sets a latch still reads the old bank. The MMC4's 8 KiB of
// PRG-RAM at $6000 is plain CPU memory.
#pragma once

#include <cstdint>

#include "mapper.h"

namespace NES {

class MMC2 : public Mapper {
public:
    explicit MMC2(int32_t number) : Mapper(number) {}
    uint8_t prg = 0;
    // $B000, $C000, $D000, $E000; at power-on the banks loadRom placed.
    uint8_t chr[4] = {0, 0, 1, 1};
    uint8_t latch[2] = {1, 1};  // per pattern table: 0 after tile $FD, 1 after $FE
    uint8_t arrangement = 0;
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return 0xA000; }
    uint32_t registers_from() const override { return 0xA000; }
    BusWatch bus_watch(Accuracy) const override { return {false, 0, true}; }
    FetchedTiles fetched_tiles() const override { return {0xFD, 0xFE}; }  // the latch tiles
    uint8_t fetched(void** context, uint16_t address, PpuFetch, uint8_t byte) override;
    void snapshot(StateIO& io) override;

private:
    void place_table(void** context, int table);
};

}  // namespace NES
