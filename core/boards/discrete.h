// Boards of discrete logic: no bank switching (NROM), or latches that a write
// sets, each board wiring the latch's bits to PRG and CHR bank lines and the
// name-table arrangement in its own way.
#pragma once

#include <cstdint>

#include "mapper.h"
#include "parts.h"

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
    bool write_reaches_ppu(uint32_t, uint8_t) const override { return false; }  // PRG banks only
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

// One latch written anywhere from `first` up (where decodes() says so). On a
// board with bus conflicts the ROM drives the data bus too, so a write to
// $8000-$FFFF stores the written value ANDed with the ROM byte there.
class LatchBoard : public Mapper {
public:
    LatchBoard(int32_t number, uint32_t first, bool bus_conflicts)
        : Mapper(number), first(first), bus_conflicts(bus_conflicts) {}
    uint8_t latch = 0;
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return first; }
    uint32_t registers_from() const override { return first; }
    void snapshot(StateIO& io) override;

protected:
    virtual bool decodes(int) const { return true; }
    // Places what the latch selects; the CHR banks and the arrangement only
    // with a PPU (insertion places the PRG banks alone).
    virtual void apply(CPU& cpu, PPU* ppu) = 0;
    uint32_t first;
    bool bus_conflicts;
};

// AxROM (7): 32 KiB PRG banks and one-screen mirroring; bus conflicts on the
// boards that have them (NES 2.0 submapper 2).
class AxROM : public LatchBoard {
public:
    AxROM() : LatchBoard(7, 0x8000, false) {}
    void insert(CPU& cpu) override;

protected:
    void apply(CPU& cpu, PPU* ppu) override;
};

// Color Dreams (11): 32 KiB PRG in bits 0-1, 8 KiB CHR in bits 4-7.
class ColorDreams : public LatchBoard {
public:
    ColorDreams() : LatchBoard(11, 0x8000, true) {}

protected:
    void apply(CPU& cpu, PPU* ppu) override;
};

// GxROM (66): 32 KiB PRG in bits 4-5, 8 KiB CHR in bits 0-1.
class GxROM : public LatchBoard {
public:
    GxROM() : LatchBoard(66, 0x8000, true) {}

protected:
    void apply(CPU& cpu, PPU* ppu) override;
};

// NINA-03/06 (79): at $4100-$5FFF where A8 is set, 32 KiB PRG in bit 3, 8 KiB CHR in bits 0-2.
class NINA03 : public LatchBoard {
public:
    NINA03() : LatchBoard(79, 0x4100, false) {}

protected:
    bool decodes(int address) const override { return (address & 0xE100) == 0x4100; }
    void apply(CPU& cpu, PPU* ppu) override;
};

// The NINA-03/06 multicart (113): MCPP PCCC at $4100-$5FFF where A8 is set:
// M vertical mirroring, PPP 32 KiB PRG, C CCC 8 KiB CHR.
class Multicart113 : public LatchBoard {
public:
    Multicart113() : LatchBoard(113, 0x4100, false) {}

protected:
    bool decodes(int address) const override { return (address & 0xE100) == 0x4100; }
    void apply(CPU& cpu, PPU* ppu) override;
};

// Jaleco JF-11/JF-14 (140): at $6000-$7FFF, 32 KiB PRG in bits 4-5, 8 KiB CHR in bits 0-3.
class Jaleco140 : public LatchBoard {
public:
    Jaleco140() : LatchBoard(140, 0x6000, false) {}

protected:
    bool decodes(int address) const override { return address < 0x8000; }
    void apply(CPU& cpu, PPU* ppu) override;
};

// UNROM with a 74HC08 (180): the first 16 KiB fixed at $8000, the bank in
// bits 0-2 at $C000.
class UNROM180 : public LatchBoard {
public:
    UNROM180() : LatchBoard(180, 0x8000, false) {}
    void insert(CPU& cpu) override;

protected:
    void apply(CPU& cpu, PPU* ppu) override;
};

// Camerica BF909x (71): the 16 KiB bank at $8000 in bits 0-3 of a write to
// $C000-$FFFF; the last bank at $C000. Fire Hawk's board (submapper 1, and
// any write to $9000-$9FFF) selects a one-screen table with bit 4 at
// $8000-$9FFF.
class Camerica : public LatchBoard {
public:
    Camerica() : LatchBoard(71, 0x8000, false) {}
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;

protected:
    void apply(CPU& cpu, PPU* ppu) override;
    bool fire_hawk = false;  // submapper 1: the mirroring register from $8000
};

// UNROM 512 (30): 16 KiB PRG in bits 0-4, one of four 8 KiB CHR-RAM banks in
// bits 5-6, the one-screen table in bit 7 where the header asks for
// switchable one-screen mirroring (flags 6 bits 3 and 0 = 1, 0). A board with
// a battery is the self-flashable one: no bus conflicts, and its register
// sits at $C000-$FFFF (its flash writes at $8000-$BFFF are left out).
class UNROM512 : public LatchBoard {
public:
    UNROM512() : LatchBoard(30, 0x8000, true) {}
    board::ChrRamBanks chr_ram;
    void insert(CPU& cpu) override;
    void snapshot(StateIO& io) override;

protected:
    bool decodes(int address) const override { return address >= 0xC000 || bus_conflicts; }
    void apply(CPU& cpu, PPU* ppu) override;
    bool one_screen = false;
};

// BNROM and NINA-001 (34), told apart by the NES 2.0 submapper (1 NINA-001,
// 2 BNROM) or else by CHR: NINA-001 has CHR-ROM above 8 KiB. BNROM: a 32 KiB
// PRG latch at $8000-$FFFF with bus conflicts. NINA-001: registers at $7FFD
// (32 KiB PRG), $7FFE and $7FFF (4 KiB CHR at $0000 and $1000), over 8 KiB of
// PRG-RAM that keeps the written bytes too.
class BNROM : public Mapper {
public:
    BNROM() : Mapper(34) {}
    uint8_t prg = 0;
    uint8_t chr[2] = {0, 1};
    void map_write(void** context, signed char* address, signed char* value) override;
    void insert(CPU& cpu) override;
    uint32_t watched_writes_from() const override { return nina ? 0x7F00 : 0x8000; }
    uint32_t registers_from() const override { return nina ? 0x7FFD : 0x8000; }
    void snapshot(StateIO& io) override;

private:
    bool nina = false;
};

}  // namespace NES
