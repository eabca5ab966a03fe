// Boards of discrete logic: no bank switching (NROM), or one latch that a
// write to $8000-$FFFF sets (UxROM's PRG bank, CNROM's CHR bank).
#pragma once

#include <cstdint>

#include "mapper.h"

namespace NES {

class NROM : public Mapper {
public:
    NROM() : Mapper(0) {}
    uint32_t watched_writes_from() const override { return 0x10000; }
    void insert(CPU& cpu) override;
    bool upper_prg_mirrors_lower(const ROM& rom) const override;
};

class UxROM : public Mapper {
public:
    UxROM() : Mapper(2) {}
    int32_t bank = 0;  // selected 16 KiB PRG bank, as a KiB index
    void map_write(void** context, signed char* address, signed char* value) override;
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void insert(CPU& cpu) override;
    void snapshot(StateIO& io) override;
};

class CNROM : public Mapper {
public:
    CNROM() : Mapper(3) {}
    int32_t bank = 0;  // selected 8 KiB CHR bank, as a KiB index
    void map_write(void** context, signed char* address, signed char* value) override;
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void insert(CPU& cpu) override;
    bool upper_prg_mirrors_lower(const ROM& rom) const override;
    void snapshot(StateIO& io) override;
};

}  // namespace NES
