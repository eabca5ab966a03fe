// The cartridge board interface: what the CPU, the PPU and the snapshots see
// of a board's bank-switching hardware. Every bank switch copies bank bytes
// from the cartridge into a window of the CPU's or the PPU's memory
// (ROM::copy_prg, ROM::copy_chr), bounded by the data that exists. The boards
// themselves live in this folder, one file pair per family; registry.h maps
// mapper numbers to them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "glob_const.h"

namespace NES {

class CPU;
class PPU;
class ROM;
class StateIO;

// The fetches of the rendering PPU, as a board that watches them hears them.
enum class PpuFetch : uint8_t { name_table, attribute, background_low, background_high, sprite_low, sprite_high };

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
    // A CPU read (any address for boards that watch reads; $4020-$5FFF for
    // boards that answer those), before the CPU takes the byte at the
    // location: the board may store there the byte it drives.
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
    // Whether the board drives the bus for reads of $4020-$5FFF (registers
    // and RAM of its own there): such a read first brings the PPU and the
    // APU to it, then reaches map_read. Nothing drives the bus there otherwise.
    virtual bool answers_expansion_reads() const { return false; }
    virtual uint32_t watched_writes_from() const { return 0x8000; }
    // Where the registers that switch banks or touch the interrupt counter
    // begin: a write from here up first brings the APU (whose DMC reads the
    // PRG banks) and, where write_reaches_ppu says so, the PPU to the
    // instruction's start. Below it a watched write (PRG-RAM protection)
    // reaches only the board.
    virtual uint32_t registers_from() const { return 0x8000; }
    // Whether a register write of value, before the board sees it, may change
    // what the PPU fetches or the board's interrupt counter. Bringing the PPU
    // up ends the span it draws at once, so the boards answer false for PRG
    // banks and the like.
    virtual bool write_reaches_ppu(uint32_t /*address*/, uint8_t /*value*/) const { return true; }

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
    // Every register and counter of the class, and RAM of its own, for
    // machine snapshots (StateIO, cpu_helper.h).
    virtual void snapshot(StateIO&) {}
    // The bytes a battery keeps (battery_size of them, 8 KiB unless the
    // board has more): $6000-$7FFF of the CPU's memory, or a board's own
    // store while that window shows something else.
    virtual const uint8_t* battery_ram(const CPU& cpu) const;
    virtual std::size_t battery_size() const { return BATTERY_BYTES; }
    // After insert(), the whole battery file (its first 8 KiB were already
    // at $6000), for a board whose battery keeps more.
    virtual void load_battery(CPU&, const uint8_t*, std::size_t) {}
    static constexpr std::size_t BATTERY_BYTES = 0x2000;
    static constexpr std::size_t MAX_BATTERY_BYTES = 0x10000;

    // What the board hears of the PPU's address bus, said once per machine
    // when the cartridge goes in, so that a board that needs nothing costs
    // nothing. A12 rises come only from the hardware model, exactly at its
    // dots; fetches from both:
    // - a12_rises: a12_rose for every rise of address line A12 (from the
    //   fetches, or from $2006/$2007 accesses while the PPU does not fetch)
    //   that follows at least a12_low_dots dots of A12 low; `at` and
    //   `low_since` are PPU dot counts (PPU::cycles), three a CPU cycle,
    //   for a filter clocked by the CPU. A board that hears them gets no
    //   dot clock after dot 255 in that model.
    // - fetches: fetched for every fetch of the rendering PPU, with its
    //   kind; the PPU takes the byte it returns (byte: what PPU memory holds).
    //   The PPU then steps dot by dot. The standard model reads a tile's
    //   two pattern bytes together and tells them afterwards, and the sprite
    //   units' fetches of the next line at dot 257. A board that answers
    //   fetches with bytes of its own while a mode of it needs that turns
    //   this on and off itself (PPU::answer_fetches); the standard model
    //   then takes the bytes it answers, and asks again for a tile's
    //   attribute byte at each of its pixels.
    // - ppu_port: the CPU's side of the PPU, as a board on the CPU bus sees
    //   it: ppu_register_written after each write to $2000-$2007 took
    //   effect, vram_written after a PPUDATA write stored its byte (at the
    //   folded address), and vram_read for the byte a PPUDATA read takes.
    struct BusWatch {
        bool a12_rises = false;
        int a12_low_dots = 0;
        bool fetches = false;
        bool ppu_port = false;
    };
    virtual BusWatch bus_watch(Accuracy) const { return {}; }
    // The tiles (first-last) whose pattern fetches a board that hears fetches
    // acts on; a line fetching none of them is drawn without telling it.
    // Every tile by default. A board that names fewer acts on nothing but
    // the order of the fetches (it answers no byte of its own and reads no
    // dot count), so the hardware model tells it their fetches from spans.
    struct FetchedTiles {
        uint8_t first = 0x00, last = 0xFF;
    };
    virtual FetchedTiles fetched_tiles() const { return {}; }
    virtual void a12_rose(void**, int64_t /*at*/, int64_t /*low_since*/) {}
    virtual uint8_t fetched(void**, uint16_t /*address*/, PpuFetch, uint8_t byte) { return byte; }
    virtual void ppu_register_written(void**, uint16_t /*reg*/, uint8_t /*value*/) {}
    virtual void vram_written(void**, uint16_t /*address*/, uint8_t /*value*/) {}
    virtual uint8_t vram_read(void**, uint16_t /*address*/, uint8_t byte) { return byte; }
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
