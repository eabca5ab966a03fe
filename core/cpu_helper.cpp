// The instruction set: addressing modes, operations and the per-opcode tables.
#include "cpu_helper.h"

#include <array>
#include <utility>

#include "cpu.h"
#include "ppu.h"

namespace NES {

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

// Whether an entry is the operation of that mnemonic (compared by name:
// member function pointers do not compare in every constant expression).
constexpr bool is(const OpEntry& op, const char* mnemonic) {
    if (!op.name) return false;
    int i = 0;
    for (; op.name[i] && op.name[i] == mnemonic[i]; ++i) {
    }
    return op.name[i] == mnemonic[i];
}

// The operation and addressing mode of one opcode, from its bit groups.
struct Decoded {
    OpEntry op;
    Mode mode;
};

constexpr Decoded decode(int opcode) {
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
            if (is(op, "STX") || is(op, "LDX")) {
                if (mode == ZPGX) mode = ZPGY;
            }
            if (is(op, "LDX") && mode == ABSX) mode = ABSY;
            if (bbb == 0) op = RMW_COLUMN0[aaa];
            if (bbb == 2 && RMW_COLUMN2_IMPLIED[aaa].name) {
                op = RMW_COLUMN2_IMPLIED[aaa];
                mode = IMPL;
            }
            if (bbb == 4) op = JAM_ENTRY;
            if (bbb == 6) op = RMW_COLUMN6_IMPLIED[aaa];
            if (is(op, "JAM")) mode = IMPL;
            break;
        default:
            mode = UNUSED_MODES[bbb];
            break;
    }
    return {op, mode};
}

}  // namespace

void CPU::define_opcodes() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        const Decoded d = decode(opcode);
        op_handlers[opcode] = d.op.handler;
        op_names[opcode] = d.op.name;
        mode_handlers[opcode] = MODES[d.mode].handler;
        mode_names[opcode] = MODES[d.mode].name;
    }
}

// One instruction of a known opcode: what clock() does after the opcode
// fetch (without the trace), with the mode, the operation and the cycle costs
// fixed at compile time so that they inline.
template <uint8_t OPCODE>
void CPU::execute() {
    constexpr Decoded d = decode(OPCODE);
    constexpr ModeHandler mode = MODES[d.mode].handler;
    constexpr OpHandler op = d.op.handler;
    constexpr uint8_t base = BASE_CYCLE_DIGITS[OPCODE] - '0';
    constexpr uint8_t cross = CROSS_CYCLE_DIGITS[OPCODE] - '0';

    signed char* next = location(static_cast<uint16_t>(PC + 1));
    const uint8_t b = ops::u8(read(next, true));
    signed char* operand = next;
    if constexpr (d.mode != IMPL && d.mode != NO_MODE) operand = (this->*mode)(next);

    uint8_t cost = base;
    if constexpr (cross != base) {
        bool crossed = false;
        if constexpr (d.mode == ABSX)
            crossed = b + X > 0xFF;
        else if constexpr (d.mode == ABSY)
            crossed = b + Y > 0xFF;
        else if constexpr (d.mode == INDY)
            crossed = memory[b] + Y > 0xFF;
        if (crossed) cost = cross;
    }
    cycles += cost;

    const bool nmi_line = (memory[0x2000] & 0x80) && nmi_sample;
    nmi_sample = ppu && ppu->nmi_occurred;

    if constexpr (d.op.name != nullptr) (this->*op)(operand);
    PC = (PC + ins_len) & 0xFFFF;
    if constexpr (is(d.op, "JAM")) return;

    take_interrupt(nmi_line);
}

namespace {

template <std::size_t... OPCODES>
constexpr std::array<CPU::Executor, 256> executors(std::index_sequence<OPCODES...>) {
    return {&CPU::execute_on<static_cast<uint8_t>(OPCODES)>...};
}

}  // namespace

const std::array<CPU::Executor, 256> CPU::EXECUTORS = executors(std::make_index_sequence<256>{});

void CPU::step() {
    ins_len = 1;
    instruction_start = cycles;
    const uint8_t opcode = ops::u8(read(location(static_cast<uint16_t>(PC)), true));
    EXECUTORS[opcode](*this);
}

void CPU::define_timings() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        base_cycles[opcode] = static_cast<uint8_t>(BASE_CYCLE_DIGITS[opcode] - '0');
        cross_cycles[opcode] = static_cast<uint8_t>(CROSS_CYCLE_DIGITS[opcode] - '0');
    }
}

}  // namespace NES
