// Instruction-set constants, the instruction set's inline operations, the
// layout of a state file and of a snapshot's extension block, and the field
// passes that save, check and load each unit's state.
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

// Cycle cost of every opcode as one decimal digit, opcode $00 first: without
// and with an index page crossing. Branches are 0: they count their own cycles.
inline constexpr char BASE_CYCLE_DIGITS[] =
    "7608335532224466050844662427447766083355422244660508446624274477660833553222346605084466242744776608335542225466"
    "0508446624274477262633332222444406064444252555552626333322224444050544442424444426283355222244660508446624274477"
    "26283355222244660508446624274477";
inline constexpr char CROSS_CYCLE_DIGITS[] =
    "7608335532224466060844662527557766083355422244660608446625275577660833553222346606084466252755776608335542225466"
    "0608446625275577262633332222444406064444252555552626333322224444060644442525555526283355222244660608446625275577"
    "26283355222244660608446625275577";
static_assert(sizeof(BASE_CYCLE_DIGITS) == 257 && sizeof(CROSS_CYCLE_DIGITS) == 257);

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

// ---- The instruction set: addressing modes and operations ----
//
// Inline, so that the dispatch tables' per-opcode executors (cpu_helper.cpp)
// build them in.

namespace ops {

inline uint8_t u8(signed char value) { return static_cast<uint8_t>(value); }
inline signed char s8(unsigned value) { return static_cast<signed char>(value & 0xFF); }

inline void put_flag(uint8_t& p, uint8_t mask, bool on) { p = on ? (p | mask) : (p & ~mask); }

constexpr uint8_t C = flag_mask('C');
constexpr uint8_t Z = flag_mask('Z');
constexpr uint8_t I = flag_mask('I');
constexpr uint8_t V = flag_mask('V');
constexpr uint8_t N = flag_mask('N');

inline void set_zn(CPU& cpu, uint8_t result) {
    cpu.P = static_cast<uint8_t>((cpu.P & ~(Z | N)) | (result == 0 ? Z : 0) | (result & N));
}

inline uint16_t next_address(CPU& cpu, signed char* location) {
    return static_cast<uint16_t>(cpu.get_addr(location) + 1);
}

inline void compare(CPU& cpu, uint8_t reg, signed char* m) {
    const uint8_t value = ops::u8(cpu.read(m, true));
    ops::put_flag(cpu.P, C, reg >= value);
    ops::set_zn(cpu, static_cast<uint8_t>(reg - value));
}

// Taken or not, a branch costs 2 cycles; taken 3, and 4 when the target lies
// on another page than the instruction after the branch.
inline void branch(CPU& cpu, signed char* target, bool taken) {
    cpu.cycles += 2;
    if (!taken) return;
    cpu.cycles += 1;
    const int64_t destination = cpu.get_addr(target);
    const int64_t following = (cpu.PC + 2) & 0xFFFF;
    if (((destination + 2) ^ following) & 0xFF00) cpu.cycles += 1;
    cpu.PC = destination;  // the loop adds the branch's length
}

}  // namespace ops

// Addressing modes. operand is the location of the byte after the opcode.

inline signed char* CPU::acc(signed char*) { return reinterpret_cast<signed char*>(&A); }

inline signed char* CPU::imm(signed char* operand) {
    ins_len = 2;
    map_memory(&operand);
    return operand;
}

inline signed char* CPU::zpg(signed char* operand) {
    ins_len = 2;
    return location(ops::u8(read(operand, true)));
}

inline signed char* CPU::zpgx(signed char* operand) {
    ins_len = 2;
    return location(static_cast<uint8_t>(ops::u8(read(operand, true)) + X));
}

inline signed char* CPU::zpgy(signed char* operand) {
    ins_len = 2;
    return location(static_cast<uint8_t>(ops::u8(read(operand, true)) + Y));
}

inline signed char* CPU::abs(signed char* operand) {
    ins_len = 3;
    return location(read_word(*this, static_cast<uint16_t>(get_addr(operand)), ops::next_address(*this, operand)));
}

inline signed char* CPU::absx(signed char* operand) {
    ins_len = 3;
    const uint16_t base = read_word(*this, static_cast<uint16_t>(get_addr(operand)), ops::next_address(*this, operand));
    return location(static_cast<uint16_t>(base + X));
}

inline signed char* CPU::absy(signed char* operand) {
    ins_len = 3;
    const uint16_t base = read_word(*this, static_cast<uint16_t>(get_addr(operand)), ops::next_address(*this, operand));
    return location(static_cast<uint16_t>(base + Y));
}

// The pointer bytes are read directly; the target's high byte comes from the
// same page as its low byte ($xxFF wraps to $xx00).
inline signed char* CPU::ind(signed char* operand) {
    ins_len = 3;
    signed char* low = operand;
    signed char* high = location(ops::next_address(*this, operand));
    map_memory(&low);
    map_memory(&high);
    const uint16_t pointer = static_cast<uint16_t>(ops::u8(*low) | ops::u8(*high) << 8);
    const uint16_t high_address = static_cast<uint16_t>((pointer & 0xFF00) | ((pointer + 1) & 0xFF));
    return location(read_word(*this, pointer, high_address));
}

inline signed char* CPU::xind(signed char* operand) {
    ins_len = 2;
    const uint8_t z = static_cast<uint8_t>(ops::u8(read(operand, true)) + X);
    return location(read_word(*this, z, static_cast<uint8_t>(z + 1)));
}

inline signed char* CPU::indy(signed char* operand) {
    ins_len = 2;
    const uint8_t z = ops::u8(read(operand, true));
    const uint16_t base = read_word(*this, z, static_cast<uint8_t>(z + 1));
    return location(static_cast<uint16_t>(base + Y));
}

// The opcode's address plus the signed offset; the branch's length is added
// by the execution loop.
inline signed char* CPU::rel(signed char* operand) {
    ins_len = 2;
    return location(static_cast<uint16_t>(PC + static_cast<signed char>(read(operand, true))));
}

// Loads, stores and transfers.

inline void CPU::LDA(signed char* m) { ops::set_zn(*this, A = ops::u8(read(m, true))); }
inline void CPU::LDX(signed char* m) { ops::set_zn(*this, X = ops::u8(read(m, true))); }
inline void CPU::LDY(signed char* m) { ops::set_zn(*this, Y = ops::u8(read(m, true))); }
inline void CPU::STA(signed char* m) { write(m, static_cast<signed char>(A)); }
inline void CPU::STX(signed char* m) { write(m, static_cast<signed char>(X)); }
inline void CPU::STY(signed char* m) { write(m, static_cast<signed char>(Y)); }
inline void CPU::TAX(signed char*) { ops::set_zn(*this, X = A); }
inline void CPU::TAY(signed char*) { ops::set_zn(*this, Y = A); }
inline void CPU::TXA(signed char*) { ops::set_zn(*this, A = X); }
inline void CPU::TYA(signed char*) { ops::set_zn(*this, A = Y); }
inline void CPU::TSX(signed char*) { ops::set_zn(*this, X = SP); }
inline void CPU::TXS(signed char*) { SP = X; }

// Logic and arithmetic. The decimal flag never changes ADC or SBC.

inline void CPU::AND(signed char* m) { ops::set_zn(*this, A &= ops::u8(read(m, true))); }
inline void CPU::ORA(signed char* m) { ops::set_zn(*this, A |= ops::u8(read(m, true))); }
inline void CPU::EOR(signed char* m) { ops::set_zn(*this, A ^= ops::u8(read(m, true))); }

inline void CPU::BIT(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    ops::put_flag(P, ops::Z, (A & value) == 0);
    ops::put_flag(P, ops::V, value & 0x40);
    ops::put_flag(P, ops::N, value & 0x80);
}

inline void CPU::ADC(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    const uint16_t sum = static_cast<uint16_t>(A + value + (P & ops::C));
    // Overflow only when both operands have the same sign and the sum's differs.
    ops::put_flag(P, ops::V, !((A ^ value) & 0x80) && ((sum ^ A) & 0x80));
    ops::put_flag(P, ops::C, sum > 0xFF);
    ops::set_zn(*this, A = static_cast<uint8_t>(sum));
}

inline void CPU::SBC(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    const uint16_t difference = static_cast<uint16_t>(A - value - (1 - (P & ops::C)));
    ops::put_flag(P, ops::V, ((A ^ value) & 0x80) && ((difference ^ A) & 0x80));
    ops::put_flag(P, ops::C, difference <= 0xFF);
    ops::set_zn(*this, A = static_cast<uint8_t>(difference));
}

inline void CPU::CMP(signed char* m) { ops::compare(*this, A, m); }
inline void CPU::CPX(signed char* m) { ops::compare(*this, X, m); }
inline void CPU::CPY(signed char* m) { ops::compare(*this, Y, m); }

inline void CPU::INX(signed char*) { ops::set_zn(*this, ++X); }
inline void CPU::INY(signed char*) { ops::set_zn(*this, ++Y); }
inline void CPU::DEX(signed char*) { ops::set_zn(*this, --X); }
inline void CPU::DEY(signed char*) { ops::set_zn(*this, --Y); }

// Read-modify-write: one read and one write of the operand.

inline void CPU::INC(signed char* m) {
    const uint8_t result = static_cast<uint8_t>(ops::u8(read(m, true)) + 1);
    write(m, ops::s8(result));
    ops::set_zn(*this, result);
}

inline void CPU::DEC(signed char* m) {
    const uint8_t result = static_cast<uint8_t>(ops::u8(read(m, true)) - 1);
    write(m, ops::s8(result));
    ops::set_zn(*this, result);
}

inline void CPU::ASL(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    const uint8_t result = static_cast<uint8_t>(value << 1);
    write(m, ops::s8(result));
    ops::put_flag(P, ops::C, value & 0x80);
    ops::set_zn(*this, result);
}

inline void CPU::LSR(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    const uint8_t result = value >> 1;
    write(m, ops::s8(result));
    ops::put_flag(P, ops::C, value & 0x01);
    ops::set_zn(*this, result);
}

inline void CPU::ROL(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    const uint8_t result = static_cast<uint8_t>(value << 1 | (P & ops::C));
    write(m, ops::s8(result));
    ops::put_flag(P, ops::C, value & 0x80);
    ops::set_zn(*this, result);
}

inline void CPU::ROR(signed char* m) {
    const uint8_t value = ops::u8(read(m, true));
    const uint8_t result = static_cast<uint8_t>((P & ops::C) << 7 | value >> 1);
    write(m, ops::s8(result));
    ops::put_flag(P, ops::C, value & 0x01);
    ops::set_zn(*this, result);
}

// Flags.

inline void CPU::CLC(signed char*) { P &= ~ops::C; }
inline void CPU::CLD(signed char*) { P &= ~flag_mask('D'); }
inline void CPU::CLI(signed char*) { P &= ~ops::I; }
inline void CPU::CLV(signed char*) { P &= ~ops::V; }
inline void CPU::SEC(signed char*) { P |= ops::C; }
inline void CPU::SED(signed char*) { P |= flag_mask('D'); }
inline void CPU::SEI(signed char*) { P |= ops::I; }

// Stack. B and bit 5 are ordinary bits of P.

inline void CPU::PHA(signed char*) { stack_push(static_cast<signed char>(A)); }
inline void CPU::PHP(signed char*) { stack_push(static_cast<signed char>(P | 0x30)); }
inline void CPU::PLA(signed char*) { ops::set_zn(*this, A = ops::u8(stack_pull())); }
inline void CPU::PLP(signed char*) { P = ops::u8(stack_pull()); }

// Control transfer. PC holds the opcode's address while an operation runs and
// the loop adds ins_len afterwards, so a jump stores target - ins_len.

inline void CPU::JMP(signed char* m) { PC = get_addr(m) - ins_len; }

inline void CPU::JSR(signed char* m) {
    const int64_t last_byte = PC + ins_len - 1;
    stack_push(ops::s8(static_cast<unsigned>(last_byte >> 8)));
    stack_push(ops::s8(static_cast<unsigned>(last_byte)));
    PC = get_addr(m) - ins_len;
}

inline void CPU::RTS(signed char*) {
    const uint8_t low = ops::u8(stack_pull());
    const uint8_t high = ops::u8(stack_pull());
    PC = high << 8 | low;
}

inline void CPU::RTI(signed char*) {
    P = ops::u8(stack_pull());
    const uint8_t low = ops::u8(stack_pull());
    const uint8_t high = ops::u8(stack_pull());
    PC = (high << 8 | low) - 1;
}

inline void CPU::BRK(signed char*) {
    const int64_t return_address = PC + ins_len + 1;
    stack_push(ops::s8(static_cast<unsigned>(return_address >> 8)));
    stack_push(ops::s8(static_cast<unsigned>(return_address)));
    P |= 0x30;
    stack_push(static_cast<signed char>(P));
    P |= ops::I;
    ins_len = 3;
    PC = read_word(*this, irq_vector, static_cast<uint16_t>(irq_vector + 1)) - 3;
}

inline void CPU::BCC(signed char* m) { ops::branch(*this, m, !(P & ops::C)); }
inline void CPU::BCS(signed char* m) { ops::branch(*this, m, P & ops::C); }
inline void CPU::BEQ(signed char* m) { ops::branch(*this, m, P & ops::Z); }
inline void CPU::BMI(signed char* m) { ops::branch(*this, m, P & ops::N); }
inline void CPU::BNE(signed char* m) { ops::branch(*this, m, !(P & ops::Z)); }
inline void CPU::BPL(signed char* m) { ops::branch(*this, m, !(P & ops::N)); }
inline void CPU::BVC(signed char* m) { ops::branch(*this, m, !(P & ops::V)); }
inline void CPU::BVS(signed char* m) { ops::branch(*this, m, P & ops::V); }

inline void CPU::NOP(signed char*) {}

// A halt opcode: the processor stops fetching, leaving PC on the opcode.
inline void CPU::JAM(signed char*) {
    jammed = true;
    PC -= ins_len;
}

}  // namespace NES
