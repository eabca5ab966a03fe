// The 6502-family processor of the console and its flat 64 KiB address space.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "glob_const.h"

namespace NES {

class PPU;
class APU;
class ROM;
class Controller;
class StateIO;

// Sources of the CPU's interrupt request line.
enum IrqSource : uint8_t { IRQ_FRAME = 1, IRQ_DMC = 2, IRQ_CARTRIDGE = 4 };

class CPU {
public:
    PPU* ppu = nullptr;
    APU* apu = nullptr;
    int32_t clock_hz = 1789773;  // CPU cycles per second of real time
    uint8_t A = 0;
    uint8_t X = 0;
    uint8_t Y = 0;
    uint8_t pad_shift[2] = {0, 0};
    int64_t PC = 0;  // offset into memory; may go negative inside a jump
    uint16_t nmi_vector = 0xFFFA;
    uint16_t reset_vector = 0xFFFC;
    uint16_t irq_vector = 0xFFFE;
    uint8_t memory[0x10000] = {};
    ROM* rom = nullptr;
    int64_t cycles = 0;  // CPU cycles since the last reset
    bool nmi_sample = false;
    bool irq_pending = false;  // standard model: a request latched until the CPU takes it
    // The interrupt request lines, one bit per source that holds its line low
    // (IRQ_FRAME, IRQ_DMC, IRQ_CARTRIDGE): the hardware model polls them as a
    // level; the standard model latches each raise in irq_pending.
    uint8_t irq_lines = 0;
    bool nmi_prev = false;
    bool pad_strobe = false;
    bool debug = false;
    bool jammed = false;     // a halt opcode stopped the processor until the next reset
    int32_t uxrom_bank = 0;  // KiB index of the UxROM bank at $8000
    Controller* pads[2] = {nullptr, nullptr};
    uint8_t SP = 0x00;  // the reset sequence leaves $FD at power-on
    uint8_t P = 0x24;

    // `cycles` when the instruction being executed began: the moment the PPU
    // and APU have reached when the instruction touches their registers (in
    // the hardware model, the access's own cycle).
    int64_t instruction_start = 0;
    // The lazy stepping of run(): the CPU cycle count from which the PPU (and
    // the APU) must be brought up to date before the next instruction.
    int64_t ppu_due = 0;
    int64_t apu_due = 0;
    // Instructions run back to back, each executor jumping to the next, while
    // cycles is below this: the smallest of the two, run()'s end and a bound
    // on the chain's length. What lowers either due lowers it too.
    int64_t chain_end = 0;

    CPU();
    explicit CPU(bool debug);

    // Execution (cpu.cpp).
    void reset();
    void hardware_reset();  // the reset sequence's cycles, in the hardware model
    void clock();

    // The machine run lazily: instructions execute while the PPU and APU are
    // brought up to date only when the program touches their registers or a
    // mapper, when an event they predicted falls due (a change of the NMI
    // line, an interrupt request, a frame's end), and at the end. The result
    // is exactly that of the machine step (one instruction, then the APU and
    // PPU caught up) repeated. run returns once a frame has ended, with the
    // PPU right after the frame's last dot and the APU caught up to the
    // instruction that got there (where the per-frame callback belongs), or
    // once `cycles` has reached until, with every unit caught up.
    enum class RunEnd { frame, cycles };
    RunEnd run(int64_t until);
    // One instruction (with the interrupt that follows it) through a
    // dispatch table whose entries have the opcode's addressing mode and
    // operation built in: clock() without the trace.
    void step();
    template <uint8_t OPCODE, bool TRACED>
    void execute();
    template <uint8_t OPCODE, bool TRACED>
    static void execute_on(CPU& cpu) {
        cpu.execute<OPCODE, TRACED>();
    }
    // execute_on, then the next instruction's executor while cycles is below
    // chain_end, as a tail call: run()'s instructions, each opcode
    // dispatching the next from a jump of its own.
    template <uint8_t OPCODE>
    static void execute_chained(CPU& cpu);
    using Executor = void (*)(CPU&);
    static const std::array<Executor, 256> EXECUTORS;
    static const std::array<Executor, 256> CHAINED_EXECUTORS;
    static const std::array<Executor, 256> TRACED_EXECUTORS;  // print each instruction (debug)
    // Brings the PPU and APU to the end of the last instruction.
    void catch_up();
    // Brings the units a register access at this address reaches up to the
    // start of the current instruction.
    void catch_up_for(uint32_t address, bool write);
    // After an instruction: a rising NMI line (as sampled before the
    // instruction's operation) enters the NMI, else a pending IRQ is taken.
    void take_interrupt(bool nmi_line);
    int get_flag(char letter) const;
    void set_flag(char letter, bool value);
    void stack_push(signed char value);
    signed char stack_pull();
    void start_nmi();
    void start_irq();
    // A source pulls the interrupt request line low, or lets it go.
    void raise_irq(IrqSource source) {
        irq_lines |= source;
        irq_pending = true;
    }
    void clear_irq(IrqSource source) { irq_lines &= static_cast<uint8_t>(~source); }
    void set_controller(Controller* pad, unsigned char index);
    int emulated_clock_speed(long long elapsed_ns) const;
    int64_t get_addr(signed char* location) const;
    void ins_str(char* buf, unsigned char opcode);
    // The trace line of an instruction whose operand is at that address.
    void print_trace(uint8_t opcode, uint16_t operand_address);

    // ---- The hardware model: every bus access on a cycle of its own ----
    //
    // An instruction's executor (cpu_helper.cpp) makes its reads and writes,
    // dummy ones included, through read_cycle and write_cycle, one CPU cycle
    // each. EXACT steps the PPU and APU alongside every cycle (the reference
    // path of clock()); otherwise they catch up when an access reaches them
    // or an event they predicted falls due (run()).

    // The last byte on the data bus, which a read of an address nothing
    // drives returns.
    uint8_t data_bus = 0;
    // Interrupt detection, every cycle: the PPU's NMI output as last sampled,
    // its rising edge latched until an NMI is entered, and what the poll at
    // the end of an instruction's second-to-last cycle saw.
    bool nmi_output = false;
    bool nmi_edge = false;
    bool take_nmi = false;
    bool take_irq = false;
    // DMA, which halts the CPU at its next read cycle: OAM DMA requested by a
    // $4014 write of its page, and the DMC's sample fetch.
    bool oam_dma_request = false;
    uint8_t oam_dma_page = 0;
    bool dmc_dma_request = false;
    // The cycle of the last read of each pad port: a pad is clocked once for
    // a run of reads on consecutive cycles (a halted CPU repeating its read).
    int64_t pad_read_at[2] = {-2, -2};
    // The next cycle count at which run() must look at the PPU's or the APU's
    // events (the smaller of ppu_due and apu_due).
    int64_t event_due = 0;

    template <bool EXACT>
    uint8_t read_cycle(uint16_t address);
    template <bool EXACT>
    void write_cycle(uint16_t address, uint8_t value);
    // The interrupt poll at the end of the cycle just ended: what an
    // instruction takes after its last cycle, so it is called before that cycle.
    void latch_poll() {
        take_nmi = nmi_edge;
        take_irq = irq_lines != 0 && !(P & 0x04);
    }
    template <uint8_t OPCODE, bool EXACT>
    void execute_cycles();
    template <uint8_t OPCODE, bool EXACT>
    static void execute_cycles_on(CPU& cpu) {
        cpu.execute_cycles<OPCODE, EXACT>();
    }
    static const std::array<Executor, 256> HARDWARE_EXECUTORS;
    static const std::array<Executor, 256> EXACT_HARDWARE_EXECUTORS;
    // One instruction of the hardware model, then the interrupt its poll saw.
    template <bool EXACT>
    void step_cycles();
    // The interrupt sequence (7 cycles); an NMI edge seen by its vector fetch
    // takes the NMI vector, and BRK (from_brk) pushes B set.
    template <bool EXACT>
    void interrupt_sequence(bool from_brk);
    // One cycle during which the CPU does not use the bus (a halted CPU).
    template <bool EXACT>
    void idle_cycle();
    template <bool EXACT>
    RunEnd run_cycles(int64_t until);
    // The access of a cycle without the cycle's bookkeeping: the fast lane
    // for pages without side effects, the memory map otherwise.
    template <bool EXACT>
    uint8_t read_bus(uint16_t address);
    template <bool EXACT>
    uint8_t read_mapped_cycle(uint16_t address);
    template <bool EXACT>
    void write_mapped_cycle(uint16_t address, uint8_t value);
    // A cycle's end: the count advances, and the units catch up (EXACT: every
    // cycle; otherwise when an event is due).
    template <bool EXACT>
    void end_cycle();
    template <bool EXACT>
    void service_events();
    // DMA cycles before a read cycle at that address (which the halted CPU repeats).
    template <bool EXACT>
    void run_dma(uint16_t address);
    // Takes the PPU's NMI output as it stands (an edge is latched).
    void sample_nmi();
    uint8_t* hardware_read_pages[256] = {};  // read_pages without the pages nothing drives

    // Memory map (cpu.cpp). read and write take a fast lane for pages whose
    // accesses have no side effect (read_pages, write_pages: where each page
    // is stored, or null) and the whole memory map otherwise.
    uint8_t* read_pages[256] = {};
    uint8_t* write_pages[256] = {};
    void map_pages();  // after the cartridge changes
    void map_memory(signed char** location);
    void map_memory_mapped(signed char** location);
    signed char read(signed char* location, bool notify);
    void write(signed char* location, signed char value);
    signed char read_mapped(signed char* location, bool notify);
    void write_mapped(signed char* location, signed char value);
    // A read or write of a CPU address by the program.
    uint8_t bus_read(uint16_t address) { return static_cast<uint8_t>(read(location(address), true)); }
    void bus_write(uint16_t address, uint8_t value) { write(location(address), static_cast<signed char>(value)); }

    // The CPU's part of a snapshot (cpu.cpp); returns cycles as the pass has it.
    int64_t state_fields(StateIO& io);

    // Cartridge insertion and state files (cpu.cpp).
    void loadRom(ROM* rom, bool load_battery);
    void save_state(FILE* file);
    void load_state(FILE* file);
    size_t save_ram(FILE* file);
    size_t load_ram(FILE* file);

    // The location of a CPU address.
    signed char* location(uint16_t address) { return reinterpret_cast<signed char*>(memory + address); }

    bool verbose = true;                     // print the reset and battery RAM lines
    Accuracy accuracy = Accuracy::standard;  // fixed before the cartridge goes in
};

[[gnu::always_inline]] inline void CPU::take_interrupt(bool nmi_line) {
    if (nmi_line && !nmi_prev) {
        start_nmi();
    } else if (irq_pending) {
        start_irq();
    }
    nmi_prev = nmi_line;
}

[[gnu::always_inline]] inline void CPU::stack_push(signed char value) {
    memory[0x100 + SP] = static_cast<uint8_t>(value);
    --SP;
}

[[gnu::always_inline]] inline signed char CPU::stack_pull() {
    ++SP;
    return static_cast<signed char>(memory[0x100 + SP]);
}

[[gnu::always_inline]] inline int64_t CPU::get_addr(signed char* location) const {
    return static_cast<int64_t>(reinterpret_cast<uintptr_t>(location) - reinterpret_cast<uintptr_t>(memory));
}

[[gnu::always_inline]] inline void CPU::map_memory(signed char** location) {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(*location) - reinterpret_cast<uintptr_t>(memory);
    if (offset < 0x10000) {
        // The read lane's pages are stored where the memory map folds them.
        if (uint8_t* page = read_pages[offset >> 8]) {
            *location = reinterpret_cast<signed char*>(page + (offset & 0xFF));
            return;
        }
    }
    map_memory_mapped(location);
}

[[gnu::always_inline]] inline void CPU::step() {
    instruction_start = cycles;
    EXECUTORS[bus_read(static_cast<uint16_t>(PC))](*this);
}

template <uint8_t OPCODE>
void CPU::execute_chained(CPU& cpu) {
    cpu.execute<OPCODE, false>();
    if (cpu.cycles >= cpu.chain_end) return;
    cpu.instruction_start = cpu.cycles;
    return CHAINED_EXECUTORS[cpu.bus_read(static_cast<uint16_t>(cpu.PC))](cpu);
}

[[gnu::always_inline]] inline signed char CPU::read(signed char* location, bool notify) {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(location) - reinterpret_cast<uintptr_t>(memory);
    if (offset < 0x10000) {
        if (const uint8_t* page = read_pages[offset >> 8]) return static_cast<signed char>(page[offset & 0xFF]);
    }
    return read_mapped(location, notify);
}

[[gnu::always_inline]] inline void CPU::write(signed char* location, signed char value) {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(location) - reinterpret_cast<uintptr_t>(memory);
    if (offset < 0x10000 && !debug) {
        if (uint8_t* page = write_pages[offset >> 8]) {
            page[offset & 0xFF] = static_cast<uint8_t>(value);
            return;
        }
    }
    write_mapped(location, value);
}

template <bool EXACT>
[[gnu::always_inline]] inline uint8_t CPU::read_bus(uint16_t address) {
    if (const uint8_t* page = hardware_read_pages[address >> 8]) return page[address & 0xFF];
    return read_mapped_cycle<EXACT>(address);
}

template <bool EXACT>
[[gnu::always_inline]] inline void CPU::end_cycle() {
    ++cycles;
    if (EXACT || cycles >= event_due) service_events<EXACT>();
}

template <bool EXACT>
[[gnu::always_inline]] inline uint8_t CPU::read_cycle(uint16_t address) {
    if (oam_dma_request | dmc_dma_request) [[unlikely]]
        run_dma<EXACT>(address);
    data_bus = read_bus<EXACT>(address);
    end_cycle<EXACT>();
    return data_bus;
}

template <bool EXACT>
[[gnu::always_inline]] inline void CPU::write_cycle(uint16_t address, uint8_t value) {
    data_bus = value;
    if (uint8_t* page = write_pages[address >> 8])
        page[address & 0xFF] = value;
    else
        write_mapped_cycle<EXACT>(address, value);
    end_cycle<EXACT>();
}

// Whole-machine snapshots: the numbered state-file layout followed by a
// versioned extension block with everything else that determines the
// machine's future (docs/state-format.md describes the bytes).

// The snapshot of a console whose CPU is wired to its PPU, APU and cartridge.
std::vector<uint8_t> save_snapshot(CPU& cpu);

// Checks a snapshot completely, then restores it; throws std::invalid_argument
// with the reason, leaving the console untouched, when it is malformed, of
// another version or of another cartridge. Undelivered audio is discarded.
void load_snapshot(CPU& cpu, const uint8_t* data, std::size_t size);

}  // namespace NES
