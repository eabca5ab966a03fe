// The instruction set: addressing modes, operations and the per-opcode tables.
#include "cpu_helper.h"

#include "cpu.h"

namespace NES {

namespace {

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
    const uint8_t value = u8(cpu.read(m, true));
    put_flag(cpu.P, C, reg >= value);
    set_zn(cpu, static_cast<uint8_t>(reg - value));
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

}  // namespace

// Addressing modes. operand is the location of the byte after the opcode.

signed char* CPU::acc(signed char*) { return reinterpret_cast<signed char*>(&A); }

signed char* CPU::imm(signed char* operand) {
    ins_len = 2;
    map_memory(&operand);
    return operand;
}

signed char* CPU::zpg(signed char* operand) {
    ins_len = 2;
    return location(u8(read(operand, true)));
}

signed char* CPU::zpgx(signed char* operand) {
    ins_len = 2;
    return location(static_cast<uint8_t>(u8(read(operand, true)) + X));
}

signed char* CPU::zpgy(signed char* operand) {
    ins_len = 2;
    return location(static_cast<uint8_t>(u8(read(operand, true)) + Y));
}

signed char* CPU::abs(signed char* operand) {
    ins_len = 3;
    return location(read_word(*this, static_cast<uint16_t>(get_addr(operand)), next_address(*this, operand)));
}

signed char* CPU::absx(signed char* operand) {
    ins_len = 3;
    const uint16_t base = read_word(*this, static_cast<uint16_t>(get_addr(operand)), next_address(*this, operand));
    return location(static_cast<uint16_t>(base + X));
}

signed char* CPU::absy(signed char* operand) {
    ins_len = 3;
    const uint16_t base = read_word(*this, static_cast<uint16_t>(get_addr(operand)), next_address(*this, operand));
    return location(static_cast<uint16_t>(base + Y));
}

// The pointer bytes are read directly; the target's high byte comes from the
// same page as its low byte ($xxFF wraps to $xx00).
signed char* CPU::ind(signed char* operand) {
    ins_len = 3;
    signed char* low = operand;
    signed char* high = location(next_address(*this, operand));
    map_memory(&low);
    map_memory(&high);
    const uint16_t pointer = static_cast<uint16_t>(u8(*low) | u8(*high) << 8);
    const uint16_t high_address = static_cast<uint16_t>((pointer & 0xFF00) | ((pointer + 1) & 0xFF));
    return location(read_word(*this, pointer, high_address));
}

signed char* CPU::xind(signed char* operand) {
    ins_len = 2;
    const uint8_t z = static_cast<uint8_t>(u8(read(operand, true)) + X);
    return location(read_word(*this, z, static_cast<uint8_t>(z + 1)));
}

signed char* CPU::indy(signed char* operand) {
    ins_len = 2;
    const uint8_t z = u8(read(operand, true));
    const uint16_t base = read_word(*this, z, static_cast<uint8_t>(z + 1));
    return location(static_cast<uint16_t>(base + Y));
}

// The opcode's address plus the signed offset; the branch's length is added
// by the execution loop.
signed char* CPU::rel(signed char* operand) {
    ins_len = 2;
    return location(static_cast<uint16_t>(PC + static_cast<signed char>(read(operand, true))));
}

// Loads, stores and transfers.

void CPU::LDA(signed char* m) { set_zn(*this, A = u8(read(m, true))); }
void CPU::LDX(signed char* m) { set_zn(*this, X = u8(read(m, true))); }
void CPU::LDY(signed char* m) { set_zn(*this, Y = u8(read(m, true))); }
void CPU::STA(signed char* m) { write(m, static_cast<signed char>(A)); }
void CPU::STX(signed char* m) { write(m, static_cast<signed char>(X)); }
void CPU::STY(signed char* m) { write(m, static_cast<signed char>(Y)); }
void CPU::TAX(signed char*) { set_zn(*this, X = A); }
void CPU::TAY(signed char*) { set_zn(*this, Y = A); }
void CPU::TXA(signed char*) { set_zn(*this, A = X); }
void CPU::TYA(signed char*) { set_zn(*this, A = Y); }
void CPU::TSX(signed char*) { set_zn(*this, X = SP); }
void CPU::TXS(signed char*) { SP = X; }

// Logic and arithmetic. The decimal flag never changes ADC or SBC.

void CPU::AND(signed char* m) { set_zn(*this, A &= u8(read(m, true))); }
void CPU::ORA(signed char* m) { set_zn(*this, A |= u8(read(m, true))); }
void CPU::EOR(signed char* m) { set_zn(*this, A ^= u8(read(m, true))); }

void CPU::BIT(signed char* m) {
    const uint8_t value = u8(read(m, true));
    put_flag(P, Z, (A & value) == 0);
    put_flag(P, V, value & 0x40);
    put_flag(P, N, value & 0x80);
}

void CPU::ADC(signed char* m) {
    const uint8_t value = u8(read(m, true));
    const uint16_t sum = static_cast<uint16_t>(A + value + (P & C));
    // Overflow only when both operands have the same sign and the sum's differs.
    put_flag(P, V, !((A ^ value) & 0x80) && ((sum ^ A) & 0x80));
    put_flag(P, C, sum > 0xFF);
    set_zn(*this, A = static_cast<uint8_t>(sum));
}

void CPU::SBC(signed char* m) {
    const uint8_t value = u8(read(m, true));
    const uint16_t difference = static_cast<uint16_t>(A - value - (1 - (P & C)));
    put_flag(P, V, ((A ^ value) & 0x80) && ((difference ^ A) & 0x80));
    put_flag(P, C, difference <= 0xFF);
    set_zn(*this, A = static_cast<uint8_t>(difference));
}

void CPU::CMP(signed char* m) { compare(*this, A, m); }
void CPU::CPX(signed char* m) { compare(*this, X, m); }
void CPU::CPY(signed char* m) { compare(*this, Y, m); }

void CPU::INX(signed char*) { set_zn(*this, ++X); }
void CPU::INY(signed char*) { set_zn(*this, ++Y); }
void CPU::DEX(signed char*) { set_zn(*this, --X); }
void CPU::DEY(signed char*) { set_zn(*this, --Y); }

// Read-modify-write: one read and one write of the operand.

void CPU::INC(signed char* m) {
    const uint8_t result = static_cast<uint8_t>(u8(read(m, true)) + 1);
    write(m, s8(result));
    set_zn(*this, result);
}

void CPU::DEC(signed char* m) {
    const uint8_t result = static_cast<uint8_t>(u8(read(m, true)) - 1);
    write(m, s8(result));
    set_zn(*this, result);
}

void CPU::ASL(signed char* m) {
    const uint8_t value = u8(read(m, true));
    const uint8_t result = static_cast<uint8_t>(value << 1);
    write(m, s8(result));
    put_flag(P, C, value & 0x80);
    set_zn(*this, result);
}

void CPU::LSR(signed char* m) {
    const uint8_t value = u8(read(m, true));
    const uint8_t result = value >> 1;
    write(m, s8(result));
    put_flag(P, C, value & 0x01);
    set_zn(*this, result);
}

void CPU::ROL(signed char* m) {
    const uint8_t value = u8(read(m, true));
    const uint8_t result = static_cast<uint8_t>(value << 1 | (P & C));
    write(m, s8(result));
    put_flag(P, C, value & 0x80);
    set_zn(*this, result);
}

void CPU::ROR(signed char* m) {
    const uint8_t value = u8(read(m, true));
    const uint8_t result = static_cast<uint8_t>((P & C) << 7 | value >> 1);
    write(m, s8(result));
    put_flag(P, C, value & 0x01);
    set_zn(*this, result);
}

// Flags.

void CPU::CLC(signed char*) { P &= ~C; }
void CPU::CLD(signed char*) { P &= ~flag_mask('D'); }
void CPU::CLI(signed char*) { P &= ~I; }
void CPU::CLV(signed char*) { P &= ~V; }
void CPU::SEC(signed char*) { P |= C; }
void CPU::SED(signed char*) { P |= flag_mask('D'); }
void CPU::SEI(signed char*) { P |= I; }

// Stack. B and bit 5 are ordinary bits of P.

void CPU::PHA(signed char*) { stack_push(static_cast<signed char>(A)); }
void CPU::PHP(signed char*) { stack_push(static_cast<signed char>(P | 0x30)); }
void CPU::PLA(signed char*) { set_zn(*this, A = u8(stack_pull())); }
void CPU::PLP(signed char*) { P = u8(stack_pull()); }

// Control transfer. PC holds the opcode's address while an operation runs and
// the loop adds ins_len afterwards, so a jump stores target - ins_len.

void CPU::JMP(signed char* m) { PC = get_addr(m) - ins_len; }

void CPU::JSR(signed char* m) {
    const int64_t last_byte = PC + ins_len - 1;
    stack_push(s8(static_cast<unsigned>(last_byte >> 8)));
    stack_push(s8(static_cast<unsigned>(last_byte)));
    PC = get_addr(m) - ins_len;
}

void CPU::RTS(signed char*) {
    const uint8_t low = u8(stack_pull());
    const uint8_t high = u8(stack_pull());
    PC = high << 8 | low;
}

void CPU::RTI(signed char*) {
    P = u8(stack_pull());
    const uint8_t low = u8(stack_pull());
    const uint8_t high = u8(stack_pull());
    PC = (high << 8 | low) - 1;
}

void CPU::BRK(signed char*) {
    const int64_t return_address = PC + ins_len + 1;
    stack_push(s8(static_cast<unsigned>(return_address >> 8)));
    stack_push(s8(static_cast<unsigned>(return_address)));
    P |= 0x30;
    stack_push(static_cast<signed char>(P));
    P |= I;
    ins_len = 3;
    PC = read_word(*this, irq_vector, static_cast<uint16_t>(irq_vector + 1)) - 3;
}

void CPU::BCC(signed char* m) { branch(*this, m, !(P & C)); }
void CPU::BCS(signed char* m) { branch(*this, m, P & C); }
void CPU::BEQ(signed char* m) { branch(*this, m, P & Z); }
void CPU::BMI(signed char* m) { branch(*this, m, P & N); }
void CPU::BNE(signed char* m) { branch(*this, m, !(P & Z)); }
void CPU::BPL(signed char* m) { branch(*this, m, !(P & N)); }
void CPU::BVC(signed char* m) { branch(*this, m, !(P & V)); }
void CPU::BVS(signed char* m) { branch(*this, m, P & V); }

void CPU::NOP(signed char*) {}

// A halt opcode: the processor stops fetching, leaving PC on the opcode.
void CPU::JAM(signed char*) {
    jammed = true;
    PC -= ins_len;
}

// The opcode table. An opcode splits into aaa (bits 7-5), bbb (bits 4-2) and
// cc (bits 1-0); each cc group decodes its operation and addressing mode from
// the lists below, indexed by aaa and bbb.

namespace {

enum Mode : uint8_t { IMPL, ACC, IMM, ZPG, ZPGX, ZPGY, ABS, ABSX, ABSY, IND, XIND, INDY, REL, NO_MODE };

struct ModeEntry {
    CPU::ModeHandler handler;
    const char* name;
};

// Indexed by Mode. "impl" has a name but no handler.
constexpr ModeEntry MODES[] = {
    {nullptr, "impl"},    {&CPU::acc, "acc"},   {&CPU::imm, "imm"},   {&CPU::zpg, "zpg"},   {&CPU::zpgx, "zpgx"},
    {&CPU::zpgy, "zpgy"}, {&CPU::abs, "abs"},   {&CPU::absx, "absx"}, {&CPU::absy, "absy"}, {&CPU::ind, "ind"},
    {&CPU::xind, "xind"}, {&CPU::indy, "indy"}, {&CPU::rel, "rel"},   {nullptr, nullptr},
};

struct OpEntry {
    CPU::OpHandler handler;
    const char* name;
};

// clang-format off
#define OP(name) OpEntry{&CPU::name, #name}
// clang-format on
constexpr OpEntry NONE{nullptr, nullptr};

// cc = 01: operation by aaa, mode by bbb; all 64 opcodes decode.
constexpr OpEntry ALU_OPS[8] = {OP(ORA), OP(AND), OP(EOR), OP(ADC), OP(STA), OP(LDA), OP(CMP), OP(SBC)};
constexpr Mode ALU_MODES[8] = {XIND, ZPG, IMM, ABS, INDY, ZPGX, ABSY, ABSX};

// cc = 10: operation by aaa, mode by bbb. STX and LDX index with Y instead of
// X; columns bbb = 2 and 6 hold implied operations in place of the
// read-modify-write ones. Column 0 is immediate only for LDX: the upper four
// rows halt the processor and the others skip their operand byte; column 4
// halts the processor in every row.
constexpr OpEntry RMW_OPS[8] = {OP(ASL), OP(ROL), OP(LSR), OP(ROR), OP(STX), OP(LDX), OP(DEC), OP(INC)};
constexpr Mode RMW_MODES[8] = {IMM, ZPG, ACC, ABS, IMPL, ZPGX, IMPL, ABSX};
constexpr OpEntry RMW_COLUMN0[8] = {OP(JAM), OP(JAM), OP(JAM), OP(JAM), OP(NOP), OP(LDX), OP(NOP), OP(NOP)};
constexpr OpEntry RMW_COLUMN2_IMPLIED[8] = {NONE, NONE, NONE, NONE, OP(TXA), OP(TAX), OP(DEX), OP(NOP)};
constexpr OpEntry RMW_COLUMN6_IMPLIED[8] = {OP(NOP), OP(NOP), OP(NOP), OP(NOP), OP(TXS), OP(TSX), OP(NOP), OP(NOP)};

// cc = 00, indexed [aaa][bbb]. The mode is set by the column (column 0 by
// the row), except JMP ($6C) which is indirect. $80 skips its operand byte.
constexpr OpEntry CONTROL_OPS[8][8] = {
    {OP(BRK), NONE, OP(PHP), NONE, OP(BPL), NONE, OP(CLC), NONE},
    {OP(JSR), OP(BIT), OP(PLP), OP(BIT), OP(BMI), NONE, OP(SEC), NONE},
    {OP(RTI), NONE, OP(PHA), OP(JMP), OP(BVC), NONE, OP(CLI), NONE},
    {OP(RTS), NONE, OP(PLA), OP(JMP), OP(BVS), NONE, OP(SEI), NONE},
    {OP(NOP), OP(STY), OP(DEY), OP(STY), OP(BCC), OP(STY), OP(TYA), NONE},
    {OP(LDY), OP(LDY), OP(TAY), OP(LDY), OP(BCS), OP(LDY), OP(CLV), OP(LDY)},
    {OP(CPY), OP(CPY), OP(INY), OP(CPY), OP(BNE), NONE, OP(CLD), NONE},
    {OP(CPX), OP(CPX), OP(INX), OP(CPX), OP(BEQ), NONE, OP(SED), NONE},
};
constexpr Mode CONTROL_MODES[8] = {NO_MODE, ZPG, IMPL, ABS, REL, ZPGX, IMPL, ABSX};
constexpr Mode CONTROL_COLUMN0_MODES[8] = {IMPL, ABS, IMPL, IMPL, IMM, IMM, IMM, IMM};

constexpr OpEntry NOP_ENTRY = OP(NOP);
constexpr OpEntry JAM_ENTRY = OP(JAM);

// cc = 11: no operation; the odd columns still decode a mode.
constexpr Mode UNUSED_MODES[8] = {NO_MODE, ZPG, NO_MODE, ABS, NO_MODE, ZPGX, NO_MODE, ABSX};

#undef OP

}  // namespace

void CPU::define_opcodes() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        const int aaa = opcode >> 5;
        const int bbb = (opcode >> 2) & 7;
        const int cc = opcode & 3;
        OpEntry op = NONE;
        Mode mode = NO_MODE;
        switch (cc) {
            case 0:
                op = CONTROL_OPS[aaa][bbb];
                mode = bbb == 0 ? CONTROL_COLUMN0_MODES[aaa] : CONTROL_MODES[bbb];
                if (opcode == 0x6C) mode = IND;
                break;
            case 1:
                op = ALU_OPS[aaa];
                mode = ALU_MODES[bbb];
                if (opcode == 0x89) op = NOP_ENTRY;  // no store into an immediate
                break;
            case 2:
                op = RMW_OPS[aaa];
                mode = RMW_MODES[bbb];
                if (op.handler == &CPU::STX || op.handler == &CPU::LDX) {
                    if (mode == ZPGX) mode = ZPGY;
                }
                if (op.handler == &CPU::LDX && mode == ABSX) mode = ABSY;
                if (bbb == 0) op = RMW_COLUMN0[aaa];
                if (bbb == 2 && RMW_COLUMN2_IMPLIED[aaa].handler) {
                    op = RMW_COLUMN2_IMPLIED[aaa];
                    mode = IMPL;
                }
                if (bbb == 4) op = JAM_ENTRY;
                if (bbb == 6) op = RMW_COLUMN6_IMPLIED[aaa];
                if (op.handler == &CPU::JAM) mode = IMPL;
                break;
            default:
                mode = UNUSED_MODES[bbb];
                break;
        }
        op_handlers[opcode] = op.handler;
        op_names[opcode] = op.name;
        mode_handlers[opcode] = MODES[mode].handler;
        mode_names[opcode] = MODES[mode].name;
    }
}

void CPU::define_timings() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        base_cycles[opcode] = static_cast<uint8_t>(BASE_CYCLE_DIGITS[opcode] - '0');
        cross_cycles[opcode] = static_cast<uint8_t>(CROSS_CYCLE_DIGITS[opcode] - '0');
    }
}

}  // namespace NES
