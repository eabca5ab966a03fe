// Cartridge bank-switching hardware. Every bank switch copies bank bytes from
// the cartridge into a window of the CPU's or the PPU's memory.
#pragma once

#include <cstdint>
#include <memory>

#include "glob_const.h"

namespace NES {

class CPU;
class PPU;
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

    virtual void map_write(void** context, signed char* address, signed char* value) = 0;
    virtual void map_read(void** context, signed char* address) = 0;
    virtual void clock(void** context) = 0;
    virtual void serialize(void** context, char* block) = 0;
    virtual void deserialize(void** context, char* block) = 0;

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

    // What the board hears of the PPU's address bus, said once per machine
    // when the cartridge goes in, so that a board that needs nothing costs
    // nothing. Only the hardware model produces it, exactly at its dots:
    // - a12_rises: a12_rose for every rise of address line A12 (from the
    //   fetches, or from $2006/$2007 accesses while the PPU does not fetch)
    //   that follows at least a12_low_dots dots of A12 low; `at` and
    //   `low_since` are PPU dot counts (PPU::cycles), three a CPU cycle,
    //   for a filter clocked by the CPU. A board that hears them gets no
    //   dot clock after dot 255 in that model.
    // - fetches: fetched for every fetch of the rendering PPU, with its
    //   kind; the PPU takes the byte it returns (byte: what PPU memory holds).
    struct BusWatch {
        bool a12_rises = false;
        int a12_low_dots = 0;
        bool fetches = false;
    };
    virtual BusWatch bus_watch(Accuracy) const { return {}; }
    virtual void a12_rose(void**, int64_t /*at*/, int64_t /*low_since*/) {}
    virtual uint8_t fetched(void**, uint16_t /*address*/, PpuFetch, uint8_t byte) { return byte; }
};

// Size of the mapper block of a state file, in bytes.
inline constexpr int MAPPER_BLOCK_LEN = 256;

class NROM : public Mapper {
public:
    NROM() : Mapper(0) {}
    uint32_t watched_writes_from() const override { return 0x10000; }
    void map_write(void**, signed char*, signed char*) override {}
    void map_read(void**, signed char*) override {}
    void clock(void**) override {}
    void serialize(void**, char*) override {}
    void deserialize(void**, char*) override {}
};

class DEFAULT_MAPPER : public Mapper {
public:
    explicit DEFAULT_MAPPER(int32_t number) : Mapper(number) {}
    uint32_t watched_writes_from() const override { return 0x10000; }
    void map_write(void**, signed char*, signed char*) override {}
    void map_read(void**, signed char*) override {}
    void clock(void**) override {}
    void serialize(void**, char*) override {}
    void deserialize(void**, char*) override {}
};

class UxROM : public Mapper {
public:
    UxROM() : Mapper(2) {}
    int32_t bank = 0;  // selected 16 KiB PRG bank, as a KiB index
    void map_write(void** context, signed char* address, signed char* value) override;
    void map_read(void**, signed char*) override {}
    void clock(void**) override {}
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void snapshot(StateIO& io) override;
};

class CNROM : public Mapper {
public:
    CNROM() : Mapper(3) {}
    int32_t bank = 0;  // selected 8 KiB CHR bank, as a KiB index
    void map_write(void** context, signed char* address, signed char* value) override;
    void map_read(void**, signed char*) override {}
    void clock(void**) override {}
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void snapshot(StateIO& io) override;
};

class NTDEC2722 : public Mapper {
public:
    NTDEC2722() : Mapper(40) {}
    uint16_t irq_counter = 0x3000;  // PPU dots left until the next interrupt request
    bool irq_enabled = true;
    void map_write(void** context, signed char* address, signed char* value) override;
    void map_read(void**, signed char*) override {}
    void clock(void** context) override;
    void serialize(void**, char*) override {}
    void deserialize(void**, char*) override {}
    DotClock dot_clock() const override { return DotClock::every_dot; }
    void clock_dots(void** context, int64_t n) override;
    int64_t clocks_to_request() const override;
    void snapshot(StateIO& io) override;
};

class MMC1 : public Mapper {
public:
    MMC1() : Mapper(1) {}
    uint8_t prg_mode = 3;
    uint8_t chr_mode = 0;
    uint8_t shift = 0x10;  // bit 4 holds the marker that travels down per write
    uint8_t last_value = 0;
    void map_write(void** context, signed char* address, signed char* value) override;
    void map_read(void**, signed char*) override {}
    void clock(void**) override {}
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    void control(CPU* cpu, PPU* ppu, uint8_t value);
    // The control register as the modes and the PPU's arrangement show it.
    uint8_t control_value(const PPU* ppu) const;
    void snapshot(StateIO& io) override;
};

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
    void map_read(void**, signed char*) override {}
    void clock(void** context) override;
    void serialize(void** context, char* block) override;
    void deserialize(void** context, char* block) override;
    uint32_t watched_writes_from() const override { return 0x6000; }  // RAM protection
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

// The mapper object for an iNES mapper number; prints "UNRECOGNIZED MAPPER!"
// and returns a DEFAULT_MAPPER for numbers without a class.
std::unique_ptr<Mapper> make_mapper(int number);
// The same; prints nothing when verbose is false.
std::unique_ptr<Mapper> make_mapper(int number, bool verbose);

// The mapper numbers with a class of their own, in increasing order.
inline constexpr int SUPPORTED_MAPPERS[] = {0, 1, 2, 3, 4, 40};

}  // namespace NES
