// The layout of a state file and of a snapshot's extension block, the field
// passes that save, check and load each unit's state, and the instruction
// set: the opcode grid and its operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "cpu.h"

namespace NES {

// Bit of P named by a flag letter; 0 for a letter that names no flag.
constexpr uint8_t flag_mask(char letter) {
    switch (letter) {
        case 'C':
            return 0x01;
        case 'Z':
            return 0x02;
        case 'I':
            return 0x04;
        case 'D':
            return 0x08;
        case 'B':
            return 0x10;
        case 'V':
            return 0x40;
        case 'N':
            return 0x80;
        default:
            return 0;
    }
}

// A state file: registers, both memories and the mapper block, in bytes.
namespace state_file {
inline constexpr std::size_t P = 0;
inline constexpr std::size_t A = 1;
inline constexpr std::size_t X = 2;
inline constexpr std::size_t Y = 3;
inline constexpr std::size_t SP = 4;
inline constexpr std::size_t PC = 5;  // signed 64-bit, little-endian
inline constexpr std::size_t CPU_MEMORY = 13;
inline constexpr std::size_t PPU_MEMORY = CPU_MEMORY + 0x10000;
inline constexpr std::size_t MAPPER_BLOCK = PPU_MEMORY + 0x4000;
inline constexpr std::size_t LENGTH = MAPPER_BLOCK + 256;
static_assert(LENGTH == 82189);
}  // namespace state_file

// The extension block a snapshot appends to the state-file layout
// (docs/state-format.md).
namespace snapshot {

inline constexpr char MAGIC[8] = {'P', 'I', 'C', 'T', 'S', 'N', 'A', 'P'};
inline constexpr uint32_t VERSION = 1;
// Magic, version, extension length, cartridge identity.
inline constexpr std::size_t HEADER_LEN = 8 + 4 + 4 + 8;
// Counters run far below this; anything above is no state this machine made.
inline constexpr int64_t MAX_COUNT = int64_t{1} << 62;
// CPU cycles: three PPU dots each must stay within 64 bits.
inline constexpr int64_t MAX_CPU_CYCLES = int64_t{1} << 60;

}  // namespace snapshot

// One pass over the fields of a machine snapshot. A single field list per
// unit serves three passes: Save appends every field to a byte buffer, Check
// reads every field from a snapshot and validates it without changing
// anything, and Load reads the (already checked) fields into the machine.
class StateIO {
public:
    enum class Mode { Save, Check, Load };

    // A Save pass appending to out.
    explicit StateIO(std::vector<uint8_t>& out) : mode_(Mode::Save), out_(&out) {}
    // A Check or Load pass over size bytes of data.
    StateIO(Mode mode, const uint8_t* data, std::size_t size) : mode_(mode), data_(data), limit_(size), size_(size) {}

    // Bytes written (Save) or read (Check, Load) so far.
    std::size_t position() const { return mode_ == Mode::Save ? out_->size() : pos_; }

    // An integer field stored little-endian in sizeof(T) bytes; a value read
    // back must lie in lo..hi. Returns the field's value in this pass.
    template <typename T>
    T num(T& field, const char* name, int64_t lo, int64_t hi) {
        static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
        using U = std::make_unsigned_t<T>;
        if (mode_ == Mode::Save) {
            const U u = static_cast<U>(field);
            for (std::size_t i = 0; i < sizeof(T); ++i) out_->push_back(static_cast<uint8_t>(u >> (8 * i)));
            return field;
        }
        const uint8_t* p = take(sizeof(T), name);
        U u = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) u = static_cast<U>(u | static_cast<U>(p[i]) << (8 * i));
        const T value = static_cast<T>(u);
        if (mode_ == Mode::Check && (static_cast<int64_t>(value) < lo || static_cast<int64_t>(value) > hi))
            fail(std::string(name) + " holds " + std::to_string(static_cast<int64_t>(value)) + ", outside " +
                 std::to_string(lo) + ".." + std::to_string(hi));
        if (mode_ == Mode::Load) field = value;
        return value;
    }

    // A whole-range integer field.
    template <typename T>
    T num(T& field, const char* name) {
        return num(field, name, static_cast<int64_t>(std::numeric_limits<T>::min()),
                   static_cast<int64_t>(std::numeric_limits<T>::max()));
    }

    // A boolean, stored as one byte 0 or 1.
    bool flag(bool& field, const char* name) {
        uint8_t b = field ? 1 : 0;
        b = num(b, name, 0, 1);
        if (mode_ == Mode::Load) field = b != 0;
        return b != 0;
    }

    // A float stored as its 32 IEEE bits; a value read back must be a number in lo..hi.
    float real(float& field, const char* name, float lo, float hi) {
        static_assert(sizeof(float) == sizeof(uint32_t));
        uint32_t bits;
        std::memcpy(&bits, &field, sizeof bits);
        bits = num(bits, name);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (mode_ == Mode::Check && !(value >= lo && value <= hi))
            fail(std::string(name) + " holds " + std::to_string(value) + ", outside " + std::to_string(lo) + ".." +
                 std::to_string(hi));
        if (mode_ == Mode::Load) field = value;
        return value;
    }

    // n raw bytes, any values.
    void bytes(uint8_t* field, std::size_t n, const char* name) {
        if (mode_ == Mode::Save) {
            out_->insert(out_->end(), field, field + n);
            return;
        }
        const uint8_t* p = take(n, name);
        if (mode_ == Mode::Load) std::memcpy(field, p, n);
    }

    // A rule between fields: fails a Check pass with the reason; no effect otherwise.
    void require(bool ok, const char* reason) {
        if (mode_ == Mode::Check && !ok) fail(reason);
    }

    // A section: a four-character tag and the byte length of what follows.
    void begin_section(const char (&tag)[5]) {
        if (mode_ == Mode::Save) {
            out_->insert(out_->end(), tag, tag + 4);
            section_start_ = out_->size();
            uint32_t placeholder = 0;
            num(placeholder, "section length");
            return;
        }
        limit_ = size_;
        const uint8_t* p = take(4, "section tag");
        if (std::memcmp(p, tag, 4) != 0)
            fail("section '" + std::string(tag) + "' expected, found '" + printable(p, 4) + "'");
        uint32_t field = 0;
        const uint32_t length = num(field, "section length");
        if (length > size_ - pos_)
            fail("section '" + std::string(tag) + "' announces " + std::to_string(length) + " bytes but " +
                 std::to_string(size_ - pos_) + " remain");
        section_tag_ = tag;
        limit_ = pos_ + length;
    }

    void end_section() {
        if (mode_ == Mode::Save) {
            const std::size_t length = out_->size() - section_start_ - 4;
            for (std::size_t i = 0; i < 4; ++i)
                (*out_)[section_start_ + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
            return;
        }
        if (pos_ != limit_)
            fail("section '" + section_tag_ + "' holds " + std::to_string(limit_ - pos_) +
                 " bytes more than this version has fields for");
        limit_ = size_;
    }

    // Whether every byte has been read.
    bool at_end() const { return mode_ == Mode::Save || pos_ == size_; }

    [[noreturn]] static void fail(const std::string& reason) {
        throw std::invalid_argument("invalid snapshot: " + reason);
    }

private:
    const uint8_t* take(std::size_t n, const char* name) {
        if (n > limit_ - pos_) {
            if (limit_ == size_) fail(std::string("truncated at ") + name);
            fail("section '" + section_tag_ + "' is too short for " + name);
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

    static std::string printable(const uint8_t* p, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?';
        return s;
    }

    Mode mode_;
    std::vector<uint8_t>* out_ = nullptr;
    const uint8_t* data_ = nullptr;
    std::size_t pos_ = 0;
    std::size_t limit_ = 0;  // end of the current section, or of the data
    std::size_t size_ = 0;
    std::size_t section_start_ = 0;
    std::string section_tag_;
};

// The little-endian word at two CPU addresses, read with mapper notification.
inline uint16_t read_word(CPU& cpu, uint16_t low_address, uint16_t high_address) {
    const uint8_t low = static_cast<uint8_t>(cpu.read(cpu.location(low_address), true));
    const uint8_t high = static_cast<uint8_t>(cpu.read(cpu.location(high_address), true));
    return static_cast<uint16_t>(low | high << 8);
}

// ---- The instruction set: the opcode grid and its operations ----
//
// An operation is a function of values, apart from the addressing mode that
// finds its operand: a read takes the operand byte, a read-modify-write maps
// the old byte to the new one, a store gives the byte to store (from the high
// byte of the base address, which the unstable stores AND into it), an
// implied operation acts on the registers. The executors (cpu_helper.cpp)
// combine the grid's mode, kind and operation, and the bus order of each kind.

namespace isa {

enum Mode : uint8_t { IMP, ACC, IMM, ZP, ZPX, ZPY, ABS, ABX, ABY, IND, IZX, IZY, REL };

// What an instruction does with its operand, which fixes its bus accesses.
enum class Kind : uint8_t {
    read,                   // reads the operand
    modify,                 // reads the operand and writes the result back (or A)
    store,                  // writes the operand
    implied,                // registers only
    push,                   // PHA, PHP
    pull,                   // PLA, PLP
    branch,                 // relative, when the condition holds
    jump,                   // JMP
    call,                   // JSR
    return_from_call,       // RTS
    return_from_interrupt,  // RTI
    brk,                    // BRK
    halt,                   // the jam opcodes
};

struct Operation {
    const char* name;
    Kind kind;
    void (*read)(CPU&, uint8_t) = nullptr;           // read, pull: the byte read
    uint8_t (*modify)(CPU&, uint8_t) = nullptr;      // modify: old byte -> new byte
    uint8_t (*store)(CPU&, uint8_t high) = nullptr;  // store, push: the byte to write
    void (*implied)(CPU&) = nullptr;
    uint8_t branch_flag = 0;     // branch: taken when this flag of P is
    bool branch_if_set = false;  // set, or clear
    // The unstable stores: on a page crossing the stored byte replaces the
    // high byte of the address.
    bool unstable = false;
};

constexpr uint8_t C = flag_mask('C');
constexpr uint8_t Z = flag_mask('Z');
constexpr uint8_t I = flag_mask('I');
constexpr uint8_t D = flag_mask('D');
constexpr uint8_t V = flag_mask('V');
constexpr uint8_t N = flag_mask('N');

inline void put_flag(CPU& cpu, uint8_t mask, bool on) {
    cpu.P = static_cast<uint8_t>(on ? (cpu.P | mask) : (cpu.P & ~mask));
}

inline uint8_t set_zn(CPU& cpu, uint8_t result) {
    cpu.P = static_cast<uint8_t>((cpu.P & ~(Z | N)) | (result == 0 ? Z : 0) | (result & N));
    return result;
}

// The decimal flag never changes ADC or SBC: the console's processor has no
// decimal mode.
inline void add(CPU& cpu, uint8_t value) {
    const unsigned sum = cpu.A + value + (cpu.P & C);
    // Overflow only when both operands have the same sign and the sum's differs.
    put_flag(cpu, V, ~(cpu.A ^ value) & (cpu.A ^ sum) & 0x80);
    put_flag(cpu, C, sum > 0xFF);
    cpu.A = set_zn(cpu, static_cast<uint8_t>(sum));
}

inline void subtract(CPU& cpu, uint8_t value) { add(cpu, static_cast<uint8_t>(~value)); }

inline void compare(CPU& cpu, uint8_t reg, uint8_t value) {
    put_flag(cpu, C, reg >= value);
    set_zn(cpu, static_cast<uint8_t>(reg - value));
}

inline uint8_t shift_left(CPU& cpu, uint8_t value, bool in) {
    put_flag(cpu, C, value & 0x80);
    return set_zn(cpu, static_cast<uint8_t>(value << 1 | in));
}

inline uint8_t shift_right(CPU& cpu, uint8_t value, bool in) {
    put_flag(cpu, C, value & 0x01);
    return set_zn(cpu, static_cast<uint8_t>(in << 7 | value >> 1));
}

inline bool carry(const CPU& cpu) { return cpu.P & C; }

// The constant that ANE and LXA OR into A before the AND. On the console the
// bits depend on the chip and its temperature; with $FF, LXA loads the
// operand into A and X, as an RP2A03G does.
constexpr uint8_t UNSTABLE_MAGIC = 0xFF;

constexpr Operation read_op(const char* name, void (*f)(CPU&, uint8_t)) {
    return {.name = name, .kind = Kind::read, .read = f};
}
constexpr Operation modify_op(const char* name, uint8_t (*f)(CPU&, uint8_t)) {
    return {.name = name, .kind = Kind::modify, .modify = f};
}
constexpr Operation store_op(const char* name, uint8_t (*f)(CPU&, uint8_t), bool unstable = false) {
    return {.name = name, .kind = Kind::store, .store = f, .unstable = unstable};
}
constexpr Operation implied_op(const char* name, void (*f)(CPU&)) {
    return {.name = name, .kind = Kind::implied, .implied = f};
}
constexpr Operation branch_op(const char* name, uint8_t flag, bool if_set) {
    return {.name = name, .kind = Kind::branch, .branch_flag = flag, .branch_if_set = if_set};
}
constexpr Operation control_op(const char* name, Kind kind) { return {.name = name, .kind = kind}; }

// Reads.
inline constexpr Operation LDA = read_op("LDA", [](CPU& c, uint8_t v) { c.A = set_zn(c, v); });
inline constexpr Operation LDX = read_op("LDX", [](CPU& c, uint8_t v) { c.X = set_zn(c, v); });
inline constexpr Operation LDY = read_op("LDY", [](CPU& c, uint8_t v) { c.Y = set_zn(c, v); });
inline constexpr Operation LAX = read_op("LAX", [](CPU& c, uint8_t v) { c.A = c.X = set_zn(c, v); });
inline constexpr Operation AND = read_op("AND", [](CPU& c, uint8_t v) { c.A = set_zn(c, c.A & v); });
inline constexpr Operation ORA = read_op("ORA", [](CPU& c, uint8_t v) { c.A = set_zn(c, c.A | v); });
inline constexpr Operation EOR = read_op("EOR", [](CPU& c, uint8_t v) { c.A = set_zn(c, c.A ^ v); });
inline constexpr Operation ADC = read_op("ADC", add);
inline constexpr Operation SBC = read_op("SBC", subtract);
inline constexpr Operation CMP = read_op("CMP", [](CPU& c, uint8_t v) { compare(c, c.A, v); });
inline constexpr Operation CPX = read_op("CPX", [](CPU& c, uint8_t v) { compare(c, c.X, v); });
inline constexpr Operation CPY = read_op("CPY", [](CPU& c, uint8_t v) { compare(c, c.Y, v); });
inline constexpr Operation BIT = read_op("BIT", [](CPU& c, uint8_t v) {
    put_flag(c, Z, (c.A & v) == 0);
    c.P = static_cast<uint8_t>((c.P & ~(V | N)) | (v & (V | N)));
});
inline constexpr Operation NOP = read_op("NOP", [](CPU&, uint8_t) {});
// AND, then bit 7 into C as well.
inline constexpr Operation ANC = read_op("ANC", [](CPU& c, uint8_t v) {
    c.A = set_zn(c, c.A & v);
    put_flag(c, C, c.A & 0x80);
});
// AND, then LSR A.
inline constexpr Operation ALR = read_op("ALR", [](CPU& c, uint8_t v) { c.A = shift_right(c, c.A & v, false); });
// AND, then ROR A, with C from bit 6 of the result and V from bit 6 XOR bit 5.
inline constexpr Operation ARR = read_op("ARR", [](CPU& c, uint8_t v) {
    c.A = set_zn(c, static_cast<uint8_t>(carry(c) << 7 | (c.A & v) >> 1));
    put_flag(c, C, c.A & 0x40);
    put_flag(c, V, ((c.A >> 6) ^ (c.A >> 5)) & 1);
});
// X = (A AND X) - operand, without borrow in, C and flags as CMP.
inline constexpr Operation SBX = read_op("SBX", [](CPU& c, uint8_t v) {
    const uint8_t ax = c.A & c.X;
    put_flag(c, C, ax >= v);
    c.X = set_zn(c, static_cast<uint8_t>(ax - v));
});
inline constexpr Operation ANE =
    read_op("ANE", [](CPU& c, uint8_t v) { c.A = set_zn(c, (c.A | UNSTABLE_MAGIC) & c.X & v); });
inline constexpr Operation LXA =
    read_op("LXA", [](CPU& c, uint8_t v) { c.A = c.X = set_zn(c, (c.A | UNSTABLE_MAGIC) & v); });
inline constexpr Operation LAS = read_op("LAS", [](CPU& c, uint8_t v) { c.A = c.X = c.SP = set_zn(c, v & c.SP); });

// Read-modify-write: the documented ones, and the combined ones that follow
// each with an operation on A.
inline constexpr Operation ASL = modify_op("ASL", [](CPU& c, uint8_t v) { return shift_left(c, v, false); });
inline constexpr Operation ROL = modify_op("ROL", [](CPU& c, uint8_t v) { return shift_left(c, v, carry(c)); });
inline constexpr Operation LSR = modify_op("LSR", [](CPU& c, uint8_t v) { return shift_right(c, v, false); });
inline constexpr Operation ROR = modify_op("ROR", [](CPU& c, uint8_t v) { return shift_right(c, v, carry(c)); });
inline constexpr Operation INC =
    modify_op("INC", [](CPU& c, uint8_t v) { return set_zn(c, static_cast<uint8_t>(v + 1)); });
inline constexpr Operation DEC =
    modify_op("DEC", [](CPU& c, uint8_t v) { return set_zn(c, static_cast<uint8_t>(v - 1)); });
inline constexpr Operation SLO = modify_op("SLO", [](CPU& c, uint8_t v) {
    const uint8_t r = shift_left(c, v, false);
    c.A = set_zn(c, c.A | r);
    return r;
});
inline constexpr Operation RLA = modify_op("RLA", [](CPU& c, uint8_t v) {
    const uint8_t r = shift_left(c, v, carry(c));
    c.A = set_zn(c, c.A & r);
    return r;
});
inline constexpr Operation SRE = modify_op("SRE", [](CPU& c, uint8_t v) {
    const uint8_t r = shift_right(c, v, false);
    c.A = set_zn(c, c.A ^ r);
    return r;
});
inline constexpr Operation RRA = modify_op("RRA", [](CPU& c, uint8_t v) {
    const uint8_t r = shift_right(c, v, carry(c));
    add(c, r);
    return r;
});
inline constexpr Operation DCP = modify_op("DCP", [](CPU& c, uint8_t v) {
    const uint8_t r = static_cast<uint8_t>(v - 1);
    compare(c, c.A, r);
    return r;
});
inline constexpr Operation ISC = modify_op("ISC", [](CPU& c, uint8_t v) {
    const uint8_t r = static_cast<uint8_t>(v + 1);
    subtract(c, r);
    return r;
});

// Stores. The unstable ones AND the high byte of the base address plus one
// into the byte.
inline constexpr Operation STA = store_op("STA", [](CPU& c, uint8_t) { return c.A; });
inline constexpr Operation STX = store_op("STX", [](CPU& c, uint8_t) { return c.X; });
inline constexpr Operation STY = store_op("STY", [](CPU& c, uint8_t) { return c.Y; });
inline constexpr Operation SAX = store_op("SAX", [](CPU& c, uint8_t) { return static_cast<uint8_t>(c.A & c.X); });
inline constexpr Operation SHA = store_op(
    "SHA", [](CPU& c, uint8_t h) { return static_cast<uint8_t>(c.A & c.X & (h + 1)); }, true);
inline constexpr Operation SHX = store_op(
    "SHX", [](CPU& c, uint8_t h) { return static_cast<uint8_t>(c.X & (h + 1)); }, true);
inline constexpr Operation SHY = store_op(
    "SHY", [](CPU& c, uint8_t h) { return static_cast<uint8_t>(c.Y & (h + 1)); }, true);
inline constexpr Operation TAS = store_op(
    "TAS",
    [](CPU& c, uint8_t h) {
        c.SP = c.A & c.X;
        return static_cast<uint8_t>(c.SP & (h + 1));
    },
    true);

// Implied.
inline constexpr Operation NOP_IMP = implied_op("NOP", [](CPU&) {});
inline constexpr Operation TAX = implied_op("TAX", [](CPU& c) { c.X = set_zn(c, c.A); });
inline constexpr Operation TAY = implied_op("TAY", [](CPU& c) { c.Y = set_zn(c, c.A); });
inline constexpr Operation TXA = implied_op("TXA", [](CPU& c) { c.A = set_zn(c, c.X); });
inline constexpr Operation TYA = implied_op("TYA", [](CPU& c) { c.A = set_zn(c, c.Y); });
inline constexpr Operation TSX = implied_op("TSX", [](CPU& c) { c.X = set_zn(c, c.SP); });
inline constexpr Operation TXS = implied_op("TXS", [](CPU& c) { c.SP = c.X; });
inline constexpr Operation INX = implied_op("INX", [](CPU& c) { c.X = set_zn(c, static_cast<uint8_t>(c.X + 1)); });
inline constexpr Operation INY = implied_op("INY", [](CPU& c) { c.Y = set_zn(c, static_cast<uint8_t>(c.Y + 1)); });
inline constexpr Operation DEX = implied_op("DEX", [](CPU& c) { c.X = set_zn(c, static_cast<uint8_t>(c.X - 1)); });
inline constexpr Operation DEY = implied_op("DEY", [](CPU& c) { c.Y = set_zn(c, static_cast<uint8_t>(c.Y - 1)); });
inline constexpr Operation CLC = implied_op("CLC", [](CPU& c) { put_flag(c, C, false); });
inline constexpr Operation SEC = implied_op("SEC", [](CPU& c) { put_flag(c, C, true); });
inline constexpr Operation CLI = implied_op("CLI", [](CPU& c) { put_flag(c, I, false); });
inline constexpr Operation SEI = implied_op("SEI", [](CPU& c) { put_flag(c, I, true); });
inline constexpr Operation CLD = implied_op("CLD", [](CPU& c) { put_flag(c, D, false); });
inline constexpr Operation SED = implied_op("SED", [](CPU& c) { put_flag(c, D, true); });
inline constexpr Operation CLV = implied_op("CLV", [](CPU& c) { put_flag(c, V, false); });

// Stack. B and bit 5 are ordinary bits of P: PHP pushes them set, PLP pulls all eight.
inline constexpr Operation PHA = {.name = "PHA", .kind = Kind::push, .store = [](CPU& c, uint8_t) { return c.A; }};
inline constexpr Operation PHP = {
    .name = "PHP", .kind = Kind::push, .store = [](CPU& c, uint8_t) { return static_cast<uint8_t>(c.P | 0x30); }};
inline constexpr Operation PLA = {
    .name = "PLA", .kind = Kind::pull, .read = [](CPU& c, uint8_t v) { c.A = set_zn(c, v); }};
inline constexpr Operation PLP = {.name = "PLP", .kind = Kind::pull, .read = [](CPU& c, uint8_t v) { c.P = v; }};

// Control transfer.
inline constexpr Operation BPL = branch_op("BPL", N, false);
inline constexpr Operation BMI = branch_op("BMI", N, true);
inline constexpr Operation BVC = branch_op("BVC", V, false);
inline constexpr Operation BVS = branch_op("BVS", V, true);
inline constexpr Operation BCC = branch_op("BCC", C, false);
inline constexpr Operation BCS = branch_op("BCS", C, true);
inline constexpr Operation BNE = branch_op("BNE", Z, false);
inline constexpr Operation BEQ = branch_op("BEQ", Z, true);
inline constexpr Operation JMP = control_op("JMP", Kind::jump);
inline constexpr Operation JSR = control_op("JSR", Kind::call);
inline constexpr Operation RTS = control_op("RTS", Kind::return_from_call);
inline constexpr Operation RTI = control_op("RTI", Kind::return_from_interrupt);
inline constexpr Operation BRK = control_op("BRK", Kind::brk);
inline constexpr Operation JAM = control_op("JAM", Kind::halt);

struct Cell {
    const Operation* op;
    Mode mode;
};

// clang-format off
// The opcode grid, laid out as the processor decodes it: row = high nibble,
// column = low nibble.
inline constexpr Cell GRID[256] = {
//    x0              x1              x2              x3              x4              x5              x6              x7              x8              x9              xA              xB              xC              xD              xE              xF
/*0*/ {&BRK,IMP},     {&ORA,IZX},     {&JAM,IMP},     {&SLO,IZX},     {&NOP,ZP},      {&ORA,ZP},      {&ASL,ZP},      {&SLO,ZP},      {&PHP,IMP},     {&ORA,IMM},     {&ASL,ACC},     {&ANC,IMM},     {&NOP,ABS},     {&ORA,ABS},     {&ASL,ABS},     {&SLO,ABS},
/*1*/ {&BPL,REL},     {&ORA,IZY},     {&JAM,IMP},     {&SLO,IZY},     {&NOP,ZPX},     {&ORA,ZPX},     {&ASL,ZPX},     {&SLO,ZPX},     {&CLC,IMP},     {&ORA,ABY},     {&NOP_IMP,IMP}, {&SLO,ABY},     {&NOP,ABX},     {&ORA,ABX},     {&ASL,ABX},     {&SLO,ABX},
/*2*/ {&JSR,ABS},     {&AND,IZX},     {&JAM,IMP},     {&RLA,IZX},     {&BIT,ZP},      {&AND,ZP},      {&ROL,ZP},      {&RLA,ZP},      {&PLP,IMP},     {&AND,IMM},     {&ROL,ACC},     {&ANC,IMM},     {&BIT,ABS},     {&AND,ABS},     {&ROL,ABS},     {&RLA,ABS},
/*3*/ {&BMI,REL},     {&AND,IZY},     {&JAM,IMP},     {&RLA,IZY},     {&NOP,ZPX},     {&AND,ZPX},     {&ROL,ZPX},     {&RLA,ZPX},     {&SEC,IMP},     {&AND,ABY},     {&NOP_IMP,IMP}, {&RLA,ABY},     {&NOP,ABX},     {&AND,ABX},     {&ROL,ABX},     {&RLA,ABX},
/*4*/ {&RTI,IMP},     {&EOR,IZX},     {&JAM,IMP},     {&SRE,IZX},     {&NOP,ZP},      {&EOR,ZP},      {&LSR,ZP},      {&SRE,ZP},      {&PHA,IMP},     {&EOR,IMM},     {&LSR,ACC},     {&ALR,IMM},     {&JMP,ABS},     {&EOR,ABS},     {&LSR,ABS},     {&SRE,ABS},
/*5*/ {&BVC,REL},     {&EOR,IZY},     {&JAM,IMP},     {&SRE,IZY},     {&NOP,ZPX},     {&EOR,ZPX},     {&LSR,ZPX},     {&SRE,ZPX},     {&CLI,IMP},     {&EOR,ABY},     {&NOP_IMP,IMP}, {&SRE,ABY},     {&NOP,ABX},     {&EOR,ABX},     {&LSR,ABX},     {&SRE,ABX},
/*6*/ {&RTS,IMP},     {&ADC,IZX},     {&JAM,IMP},     {&RRA,IZX},     {&NOP,ZP},      {&ADC,ZP},      {&ROR,ZP},      {&RRA,ZP},      {&PLA,IMP},     {&ADC,IMM},     {&ROR,ACC},     {&ARR,IMM},     {&JMP,IND},     {&ADC,ABS},     {&ROR,ABS},     {&RRA,ABS},
/*7*/ {&BVS,REL},     {&ADC,IZY},     {&JAM,IMP},     {&RRA,IZY},     {&NOP,ZPX},     {&ADC,ZPX},     {&ROR,ZPX},     {&RRA,ZPX},     {&SEI,IMP},     {&ADC,ABY},     {&NOP_IMP,IMP}, {&RRA,ABY},     {&NOP,ABX},     {&ADC,ABX},     {&ROR,ABX},     {&RRA,ABX},
/*8*/ {&NOP,IMM},     {&STA,IZX},     {&NOP,IMM},     {&SAX,IZX},     {&STY,ZP},      {&STA,ZP},      {&STX,ZP},      {&SAX,ZP},      {&DEY,IMP},     {&NOP,IMM},     {&TXA,IMP},     {&ANE,IMM},     {&STY,ABS},     {&STA,ABS},     {&STX,ABS},     {&SAX,ABS},
/*9*/ {&BCC,REL},     {&STA,IZY},     {&JAM,IMP},     {&SHA,IZY},     {&STY,ZPX},     {&STA,ZPX},     {&STX,ZPY},     {&SAX,ZPY},     {&TYA,IMP},     {&STA,ABY},     {&TXS,IMP},     {&TAS,ABY},     {&SHY,ABX},     {&STA,ABX},     {&SHX,ABY},     {&SHA,ABY},
/*A*/ {&LDY,IMM},     {&LDA,IZX},     {&LDX,IMM},     {&LAX,IZX},     {&LDY,ZP},      {&LDA,ZP},      {&LDX,ZP},      {&LAX,ZP},      {&TAY,IMP},     {&LDA,IMM},     {&TAX,IMP},     {&LXA,IMM},     {&LDY,ABS},     {&LDA,ABS},     {&LDX,ABS},     {&LAX,ABS},
/*B*/ {&BCS,REL},     {&LDA,IZY},     {&JAM,IMP},     {&LAX,IZY},     {&LDY,ZPX},     {&LDA,ZPX},     {&LDX,ZPY},     {&LAX,ZPY},     {&CLV,IMP},     {&LDA,ABY},     {&TSX,IMP},     {&LAS,ABY},     {&LDY,ABX},     {&LDA,ABX},     {&LDX,ABY},     {&LAX,ABY},
/*C*/ {&CPY,IMM},     {&CMP,IZX},     {&NOP,IMM},     {&DCP,IZX},     {&CPY,ZP},      {&CMP,ZP},      {&DEC,ZP},      {&DCP,ZP},      {&INY,IMP},     {&CMP,IMM},     {&DEX,IMP},     {&SBX,IMM},     {&CPY,ABS},     {&CMP,ABS},     {&DEC,ABS},     {&DCP,ABS},
/*D*/ {&BNE,REL},     {&CMP,IZY},     {&JAM,IMP},     {&DCP,IZY},     {&NOP,ZPX},     {&CMP,ZPX},     {&DEC,ZPX},     {&DCP,ZPX},     {&CLD,IMP},     {&CMP,ABY},     {&NOP_IMP,IMP}, {&DCP,ABY},     {&NOP,ABX},     {&CMP,ABX},     {&DEC,ABX},     {&DCP,ABX},
/*E*/ {&CPX,IMM},     {&SBC,IZX},     {&NOP,IMM},     {&ISC,IZX},     {&CPX,ZP},      {&SBC,ZP},      {&INC,ZP},      {&ISC,ZP},      {&INX,IMP},     {&SBC,IMM},     {&NOP_IMP,IMP}, {&SBC,IMM},     {&CPX,ABS},     {&SBC,ABS},     {&INC,ABS},     {&ISC,ABS},
/*F*/ {&BEQ,REL},     {&SBC,IZY},     {&JAM,IMP},     {&ISC,IZY},     {&NOP,ZPX},     {&SBC,ZPX},     {&INC,ZPX},     {&ISC,ZPX},     {&SED,IMP},     {&SBC,ABY},     {&NOP_IMP,IMP}, {&ISC,ABY},     {&NOP,ABX},     {&SBC,ABX},     {&INC,ABX},     {&ISC,ABX},
};
// clang-format on

// Bytes of an instruction in a mode, opcode included.
constexpr uint8_t length(Mode mode) {
    switch (mode) {
        case IMP:
        case ACC:
            return 1;
        case ABS:
        case ABX:
        case ABY:
        case IND:
            return 3;
        default:
            return 2;
    }
}

// CPU cycles of an instruction, without the page-crossing cycle of the
// indexed reads and the extra cycles of a taken branch. The halt opcodes cost
// nothing here: a halted processor counts its cycles one by one.
constexpr uint8_t instruction_cycles(Kind kind, Mode mode) {
    switch (kind) {
        case Kind::read:
            switch (mode) {
                case IMM:
                    return 2;
                case ZP:
                    return 3;
                case IZX:
                    return 6;
                case IZY:
                    return 5;
                default:
                    return 4;  // zero page indexed, absolute, absolute indexed
            }
        case Kind::store:
            switch (mode) {
                case ZP:
                    return 3;
                case ZPX:
                case ZPY:
                case ABS:
                    return 4;
                case ABX:
                case ABY:
                    return 5;
                default:
                    return 6;  // (zp,X), (zp),Y
            }
        case Kind::modify:
            switch (mode) {
                case ACC:
                    return 2;
                case ZP:
                    return 5;
                case ZPX:
                case ABS:
                    return 6;
                case ABX:
                case ABY:
                    return 7;
                default:
                    return 8;  // (zp,X), (zp),Y
            }
        case Kind::implied:
        case Kind::branch:
            return 2;
        case Kind::push:
            return 3;
        case Kind::pull:
            return 4;
        case Kind::jump:
            return mode == IND ? 5 : 3;
        case Kind::call:
        case Kind::return_from_call:
        case Kind::return_from_interrupt:
            return 6;
        case Kind::brk:
            return 7;
        case Kind::halt:
            return 0;
    }
    return 0;
}

// Whether an indexed read pays a cycle when the index carries into the high byte.
constexpr bool pays_page_cross(Kind kind, Mode mode) {
    return kind == Kind::read && (mode == ABX || mode == ABY || mode == IZY);
}

// The name of an opcode's operation and mode, and its length, for the trace.
struct OpcodeInfo {
    const char* name;
    const char* mode;
    uint8_t length;
};
OpcodeInfo opcode_info(uint8_t opcode);

}  // namespace isa

}  // namespace NES
