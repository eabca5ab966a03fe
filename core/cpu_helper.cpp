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
[[gnu::always_inline]] inline void CPU::execute() {
    using namespace isa;
    constexpr Mode mode = GRID[OPCODE].mode;
    constexpr Operation op = *GRID[OPCODE].op;
    const uint16_t pc = static_cast<uint16_t>(PC);
    const uint16_t next = static_cast<uint16_t>(pc + length(mode));
    // Every instruction reads the byte after its opcode. Operand bytes on the
    // opcode's page of plain memory (most code) are read from it directly.
    const uint8_t* code = read_pages[pc >> 8];
    const bool on_page = code && (pc & 0xFF) <= 0xFD;
    const uint8_t b = on_page ? code[(pc & 0xFF) + 1] : bus_read(static_cast<uint16_t>(pc + 1));

    uint16_t address = b;
    uint16_t base = 0;  // before indexing
    bool crossed = false;
    if constexpr (mode == ZPX) {
        address = static_cast<uint8_t>(b + X);
    } else if constexpr (mode == ZPY) {
        address = static_cast<uint8_t>(b + Y);
    } else if constexpr (mode == ABS || mode == ABX || mode == ABY || mode == IND) {
        const uint8_t high = on_page ? code[(pc & 0xFF) + 2] : bus_read(static_cast<uint16_t>(pc + 2));
        base = static_cast<uint16_t>(b | high << 8);
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
        chain_end = 0;
        PC = pc;
        return;
    }

    take_interrupt(nmi_line);
}

// One instruction of a known opcode in the hardware model, after its fetch:
// every read and write, dummy ones included, on a cycle of its own in the
// processor's order. The interrupt poll is latched before the last cycle.
template <uint8_t OPCODE, bool EXACT>
void CPU::execute_cycles() {
    using namespace isa;
    constexpr Mode mode = GRID[OPCODE].mode;
    constexpr Operation op = *GRID[OPCODE].op;
    constexpr Kind kind = op.kind;
    uint16_t pc = static_cast<uint16_t>(PC + 1);
    auto read = [this](uint16_t address) { return read_cycle<EXACT>(address); };
    auto write = [this](uint16_t address, uint8_t value) { write_cycle<EXACT>(address, value); };
    auto fetch = [&] { return read(pc++); };
    auto stack = [this] { return static_cast<uint16_t>(0x100 | SP); };

    if constexpr (kind == Kind::halt) {
        jammed = true;
        PC = static_cast<uint16_t>(pc - 1);
        return;
    } else if constexpr (kind == Kind::implied || (kind == Kind::modify && mode == ACC)) {
        latch_poll();
        read(pc);
        if constexpr (kind == Kind::implied)
            op.implied(*this);
        else
            A = op.modify(*this, A);
    } else if constexpr (kind == Kind::read && mode == IMM) {
        latch_poll();
        op.read(*this, fetch());
    } else if constexpr (kind == Kind::push) {
        read(pc);
        latch_poll();
        write(stack(), op.store(*this, 0));
        --SP;
    } else if constexpr (kind == Kind::pull) {
        read(pc);
        read(stack());
        ++SP;
        latch_poll();
        op.read(*this, read(stack()));
    } else if constexpr (kind == Kind::brk) {
        fetch();
        PC = pc;
        interrupt_sequence<EXACT>(true);
        return;
    } else if constexpr (kind == Kind::call) {
        const uint8_t low = fetch();
        read(stack());
        write(stack(), static_cast<uint8_t>(pc >> 8));
        --SP;
        write(stack(), static_cast<uint8_t>(pc));
        --SP;
        latch_poll();
        pc = static_cast<uint16_t>(read(pc) << 8 | low);
    } else if constexpr (kind == Kind::return_from_call) {
        read(pc);
        read(stack());
        ++SP;
        const uint8_t low = read(stack());
        ++SP;
        const uint8_t high = read(stack());
        pc = static_cast<uint16_t>(high << 8 | low);
        latch_poll();
        read(pc++);
    } else if constexpr (kind == Kind::return_from_interrupt) {
        read(pc);
        read(stack());
        ++SP;
        P = read(stack());
        ++SP;
        const uint8_t low = read(stack());
        ++SP;
        latch_poll();
        pc = static_cast<uint16_t>(read(stack()) << 8 | low);
    } else if constexpr (kind == Kind::jump) {
        const uint8_t low = fetch();
        if constexpr (mode == ABS) {
            latch_poll();
            pc = static_cast<uint16_t>(read(pc) << 8 | low);
        } else {
            const uint16_t pointer = static_cast<uint16_t>(fetch() << 8 | low);
            const uint8_t target_low = read(pointer);
            latch_poll();
            pc = static_cast<uint16_t>(read(static_cast<uint16_t>((pointer & 0xFF00) | ((pointer + 1) & 0xFF))) << 8 |
                                       target_low);
        }
    } else if constexpr (kind == Kind::branch) {
        // The poll before the operand fetch decides, unless the branch is
        // taken across a page: a taken branch's third cycle polls nothing.
        latch_poll();
        const int8_t offset = static_cast<int8_t>(fetch());
        if (((P & op.branch_flag) != 0) == op.branch_if_set) {
            const uint16_t target = static_cast<uint16_t>(pc + offset);
            read(pc);
            if ((target ^ pc) & 0xFF00) {
                latch_poll();
                read(static_cast<uint16_t>((pc & 0xFF00) | (target & 0xFF)));
            }
            pc = target;
        }
    } else {
        // The operand's address, with the dummy reads of the indexed modes.
        uint16_t address = 0;
        uint16_t base = 0;
        bool crossed = false;
        if constexpr (mode == ZP) {
            address = fetch();
        } else if constexpr (mode == ZPX || mode == ZPY) {
            const uint8_t b = fetch();
            read(b);
            address = static_cast<uint8_t>(b + (mode == ZPX ? X : Y));
        } else if constexpr (mode == ABS) {
            const uint8_t low = fetch();
            address = static_cast<uint16_t>(fetch() << 8 | low);
        } else if constexpr (mode == IZX) {
            const uint8_t b = fetch();
            read(b);
            const uint8_t z = static_cast<uint8_t>(b + X);
            const uint8_t low = read(z);
            address = static_cast<uint16_t>(read(static_cast<uint8_t>(z + 1)) << 8 | low);
        } else {
            // Absolute and indirect indexed: the index is added to the low
            // byte first; the high byte is corrected a cycle later.
            uint8_t low, high;
            if constexpr (mode == IZY) {
                const uint8_t z = fetch();
                low = read(z);
                high = read(static_cast<uint8_t>(z + 1));
            } else {
                low = fetch();
                high = fetch();
            }
            const uint8_t index = mode == ABX ? X : Y;
            base = static_cast<uint16_t>(high << 8 | low);
            address = static_cast<uint16_t>(base + index);
            crossed = low + index > 0xFF;
            const uint16_t uncorrected = static_cast<uint16_t>(high << 8 | ((low + index) & 0xFF));
            if (kind != Kind::read || crossed) read(uncorrected);
        }

        if constexpr (kind == Kind::read) {
            latch_poll();
            op.read(*this, read(address));
        } else if constexpr (kind == Kind::store) {
            const uint8_t value = op.store(*this, static_cast<uint8_t>(base >> 8));
            if constexpr (op.unstable) {
                if (crossed) address = static_cast<uint16_t>(value << 8 | (address & 0xFF));
            }
            latch_poll();
            write(address, value);
        } else if constexpr (kind == Kind::modify) {
            const uint8_t old = read(address);
            write(address, old);
            const uint8_t result = op.modify(*this, old);
            latch_poll();
            write(address, result);
        }
    }
    PC = pc;
    if (take_nmi || take_irq) interrupt_sequence<EXACT>(false);
}

template <bool EXACT>
void CPU::interrupt_sequence(bool from_brk) {
    const uint16_t pc = static_cast<uint16_t>(PC);
    if (!from_brk) {
        // The fetched opcode is dropped, and PC does not advance.
        read_cycle<EXACT>(pc);
        read_cycle<EXACT>(pc);
    }
    write_cycle<EXACT>(static_cast<uint16_t>(0x100 | SP--), static_cast<uint8_t>(pc >> 8));
    write_cycle<EXACT>(static_cast<uint16_t>(0x100 | SP--), static_cast<uint8_t>(pc));
    // An NMI edge seen by now takes the vector, whatever began the sequence
    // (one seen during the status push waits for the next instruction).
    const bool nmi = nmi_edge;
    write_cycle<EXACT>(static_cast<uint16_t>(0x100 | SP--),
                       static_cast<uint8_t>(from_brk ? P | 0x30 : (P | 0x20) & ~0x10));
    P |= isa::I;
    if (nmi) nmi_edge = false;
    const uint16_t vector = nmi ? nmi_vector : irq_vector;
    const uint8_t low = read_cycle<EXACT>(vector);
    PC = read_cycle<EXACT>(static_cast<uint16_t>(vector + 1)) << 8 | low;
    take_nmi = take_irq = false;
}

namespace {

template <std::size_t... OPCODES>
constexpr std::array<CPU::Executor, 256> chained_executors(std::index_sequence<OPCODES...>) {
    return {&CPU::execute_chained<static_cast<uint8_t>(OPCODES)>...};
}

template <bool EXACT, std::size_t... OPCODES>
constexpr std::array<CPU::Executor, 256> hardware_executors(std::index_sequence<OPCODES...>) {
    return {&CPU::execute_cycles_on<static_cast<uint8_t>(OPCODES), EXACT>...};
}

template <bool TRACED, std::size_t... OPCODES>
constexpr std::array<CPU::Executor, 256> executors(std::index_sequence<OPCODES...>) {
    return {&CPU::execute_on<static_cast<uint8_t>(OPCODES), TRACED>...};
}

}  // namespace

const std::array<CPU::Executor, 256> CPU::EXECUTORS = executors<false>(std::make_index_sequence<256>{});
const std::array<CPU::Executor, 256> CPU::CHAINED_EXECUTORS = chained_executors(std::make_index_sequence<256>{});
const std::array<CPU::Executor, 256> CPU::TRACED_EXECUTORS = executors<true>(std::make_index_sequence<256>{});
const std::array<CPU::Executor, 256> CPU::HARDWARE_EXECUTORS =
    hardware_executors<false>(std::make_index_sequence<256>{});
const std::array<CPU::Executor, 256> CPU::EXACT_HARDWARE_EXECUTORS =
    hardware_executors<true>(std::make_index_sequence<256>{});

}  // namespace NES
