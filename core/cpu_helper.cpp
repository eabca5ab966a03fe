// The instruction set's executors: one per opcode, with the grid cell's
// addressing mode, kind and operation built in.
#include "cpu_helper.h"

#include <array>
#include <utility>

#include "cpu.h"
#include "ppu.h"

namespace NES {

namespace isa {

OpcodeInfo opcode_info(uint8_t opcode) {
    static constexpr const char* MODE_NAMES[] = {"impl", "acc",  "imm", "zpg",  "zpgx", "zpgy", "abs",
                                                 "absx", "absy", "ind", "xind", "indy", "rel"};
    const Cell& cell = GRID[opcode];
    return {cell.op->name, MODE_NAMES[cell.mode], length(cell.mode)};
}

}  // namespace isa

// One instruction of a known opcode, after its fetch: the operand's address
// is found, the cycles are counted and the NMI line sampled, then the
// operation reads and writes its operand at once.
template <uint8_t OPCODE, bool TRACED>
void CPU::execute() {
    using namespace isa;
    constexpr Mode mode = GRID[OPCODE].mode;
    constexpr Operation op = *GRID[OPCODE].op;
    const uint16_t pc = static_cast<uint16_t>(PC);
    const uint16_t next = static_cast<uint16_t>(pc + length(mode));
    // Every instruction reads the byte after its opcode.
    const uint8_t b = bus_read(static_cast<uint16_t>(pc + 1));

    uint16_t address = b;
    uint16_t base = 0;  // before indexing
    bool crossed = false;
    if constexpr (mode == ZPX) {
        address = static_cast<uint8_t>(b + X);
    } else if constexpr (mode == ZPY) {
        address = static_cast<uint8_t>(b + Y);
    } else if constexpr (mode == ABS || mode == ABX || mode == ABY || mode == IND) {
        base = static_cast<uint16_t>(b | bus_read(static_cast<uint16_t>(pc + 2)) << 8);
        address = base;
        if constexpr (mode == ABX) {
            address = static_cast<uint16_t>(base + X);
            crossed = b + X > 0xFF;
        } else if constexpr (mode == ABY) {
            address = static_cast<uint16_t>(base + Y);
            crossed = b + Y > 0xFF;
        } else if constexpr (mode == IND) {
            // The target's high byte comes from the same page as its low byte
            // ($xxFF wraps to $xx00).
            address = read_word(*this, base, static_cast<uint16_t>((base & 0xFF00) | ((base + 1) & 0xFF)));
        }
    } else if constexpr (mode == IZX) {
        const uint8_t z = static_cast<uint8_t>(b + X);
        address = read_word(*this, z, static_cast<uint8_t>(z + 1));
    } else if constexpr (mode == IZY) {
        base = read_word(*this, b, static_cast<uint8_t>(b + 1));
        address = static_cast<uint16_t>(base + Y);
        crossed = (base & 0xFF) + Y > 0xFF;
    } else if constexpr (mode == REL) {
        address = static_cast<uint16_t>(next + static_cast<int8_t>(b));
    }

    cycles += instruction_cycles(op.kind, mode) + (pays_page_cross(op.kind, mode) && crossed ? 1 : 0);

    // The NMI line is sampled before the operation runs: a change made by this
    // instruction is seen at the end of the next one.
    const bool nmi_line = (memory[0x2000] & 0x80) && nmi_sample;
    nmi_sample = ppu && ppu->nmi_occurred;

    if constexpr (TRACED) print_trace(OPCODE, mode == IMP || mode == ACC || mode == IMM ? pc + 1 : address);

    PC = next;
    if constexpr (op.kind == Kind::read) {
        if constexpr (mode == IMM)
            op.read(*this, b);
        else
            op.read(*this, bus_read(address));
    } else if constexpr (op.kind == Kind::modify) {
        if constexpr (mode == ACC) {
            A = op.modify(*this, A);
        } else {
            const uint8_t old = bus_read(address);
            bus_write(address, op.modify(*this, old));
        }
    } else if constexpr (op.kind == Kind::store) {
        const uint8_t value = op.store(*this, static_cast<uint8_t>(base >> 8));
        if constexpr (op.unstable) {
            if (crossed) address = static_cast<uint16_t>(value << 8 | (address & 0xFF));
        }
        bus_write(address, value);
    } else if constexpr (op.kind == Kind::implied) {
        op.implied(*this);
    } else if constexpr (op.kind == Kind::push) {
        stack_push(static_cast<signed char>(op.store(*this, 0)));
    } else if constexpr (op.kind == Kind::pull) {
        op.read(*this, static_cast<uint8_t>(stack_pull()));
    } else if constexpr (op.kind == Kind::branch) {
        // Taken: one cycle more, and another when the target lies on another
        // page than the instruction after the branch.
        if (((P & op.branch_flag) != 0) == op.branch_if_set) {
            cycles += ((address ^ next) & 0xFF00) ? 2 : 1;
            PC = address;
        }
    } else if constexpr (op.kind == Kind::jump) {
        PC = address;
    } else if constexpr (op.kind == Kind::call) {
        // The address of the JSR's last byte.
        const uint16_t last = static_cast<uint16_t>(next - 1);
        stack_push(static_cast<signed char>(last >> 8));
        stack_push(static_cast<signed char>(last));
        PC = address;
    } else if constexpr (op.kind == Kind::return_from_call) {
        const uint8_t low = static_cast<uint8_t>(stack_pull());
        const uint8_t high = static_cast<uint8_t>(stack_pull());
        PC = static_cast<uint16_t>((high << 8 | low) + 1);
    } else if constexpr (op.kind == Kind::return_from_interrupt) {
        P = static_cast<uint8_t>(stack_pull());
        const uint8_t low = static_cast<uint8_t>(stack_pull());
        const uint8_t high = static_cast<uint8_t>(stack_pull());
        PC = high << 8 | low;
    } else if constexpr (op.kind == Kind::brk) {
        // The return address skips the byte after BRK; B and bit 5 stay set in P.
        const uint16_t return_address = static_cast<uint16_t>(pc + 2);
        stack_push(static_cast<signed char>(return_address >> 8));
        stack_push(static_cast<signed char>(return_address));
        P |= 0x30;
        stack_push(static_cast<signed char>(P));
        P |= I;
        PC = read_word(*this, irq_vector, static_cast<uint16_t>(irq_vector + 1));
    } else if constexpr (op.kind == Kind::halt) {
        // The processor stops fetching, leaving PC on the opcode.
        jammed = true;
        PC = pc;
        return;
    }

    take_interrupt(nmi_line);
}

namespace {

template <bool TRACED, std::size_t... OPCODES>
constexpr std::array<CPU::Executor, 256> executors(std::index_sequence<OPCODES...>) {
    return {&CPU::execute_on<static_cast<uint8_t>(OPCODES), TRACED>...};
}

}  // namespace

const std::array<CPU::Executor, 256> CPU::EXECUTORS = executors<false>(std::make_index_sequence<256>{});
const std::array<CPU::Executor, 256> CPU::TRACED_EXECUTORS = executors<true>(std::make_index_sequence<256>{});

void CPU::step() {
    instruction_start = cycles;
    EXECUTORS[bus_read(static_cast<uint16_t>(PC))](*this);
}

}  // namespace NES
