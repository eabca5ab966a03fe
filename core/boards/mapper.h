// The cartridge board interface: what the CPU, the PPU and the snapshots see
// of a board's bank-switching hardware. Every bank switch copies bank bytes
// from the cartridge into a window of the CPU's or the PPU's memory
// (ROM::copy_prg, ROM::copy_chr), bounded by the data that exists. The boards
// themselves live in this folder, one file pair per family; registry.h maps
// mapper numbers to them.
#pragma once

#include <cstdint>

namespace NES {

class CPU;
class PPU;
class ROM;
class StateIO;

// context is {CPU*, PPU*, APU*}; address points into the CPU's memory (or at
// the accumulator, which lies in no mapper range).
class Mapper {
public:
    explicit Mapper(int32_t number) : number(number) {}
    virtual ~Mapper() = default;

    int32_t number;

    // A CPU write the board watches (watched_writes_from), before the CPU
    // stores *value below $8000 (a board may change what is stored).
    virtual void map_write(void**, signed char*, signed char*) {}
    // A CPU read, for boards that watch reads.
    virtual void map_read(void**, signed char*) {}
    // A PPU dot (see dot_clock).
    virtual void clock(void**) {}
    // The board's part of the mapper block of a state file (MAPPER_BLOCK_LEN
    // bytes); a board without registers there leaves it alone.
    virtual void serialize(void**, char*) {}
    virtual void deserialize(void**, char*) {}

    // Cartridge insertion: the banks the board shows at power-on, placed into
    // the CPU's windows of a cleared address space (battery RAM already read).
    virtual void insert(CPU&) {}
    // Whether $C000-$FFFF is the storage of $8000-$BFFF: a board that wires
    // one 16 KiB bank to both halves, stored once.
    virtual bool upper_prg_mirrors_lower(const ROM&) const { return false; }

    // Which CPU accesses the mapper reacts to, so that the CPU can store and
    // load the others without calling it: reads (map_read) never by default;
    // writes (map_write) from this address up ($8000: its registers, which
    // switch banks or set its interrupt counter; 0x10000: none).
    virtual bool watches_reads() const { return false; }
    virtual uint32_t watched_writes_from() const { return 0x8000; }

    // What the PPU's per-dot clock does to this mapper, so that the PPU's fast
    // path can leave out the calls that do nothing: nothing at all, something
    // only right after dot 255 of a line, or something on every dot.
    enum class DotClock { none, after_dot_255, every_dot };
    virtual DotClock dot_clock() const { return DotClock::none; }
    // The same as n calls of clock() in a row (every_dot mappers).
    virtual void clock_dots(void** context, int64_t n) {
        for (int64_t i = 0; i < n; ++i) clock(context);
    }
    // The calls of clock() (every_dot mappers), or the counted lines' clocks
    // after dot 255 (after_dot_255 mappers), until the next one that may
    // request an interrupt; -1 when none will until a register changes.
    virtual int64_t clocks_to_request() const { return -1; }
    // Every register and counter of the class, for machine snapshots (StateIO, cpu_helper.h).
    virtual void snapshot(StateIO&) {}
};

// Size of the mapper block of a state file, in bytes.
inline constexpr int MAPPER_BLOCK_LEN = 256;

// The board of a mapper number without a class of its own: no registers and
// no banks placed.
class DEFAULT_MAPPER : public Mapper {
public:
    explicit DEFAULT_MAPPER(int32_t number) : Mapper(number) {}
    uint32_t watched_writes_from() const override { return 0x10000; }
};

}  // namespace NES
