// The processor core, the CPU memory map with the side effects of the APU
// and pad registers (the PPU's registers are the PPU's), cartridge insertion
// and the state-file blocks.
#include "cpu.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "apu.h"
#include "boards/mapper.h"
#include "controller.h"
#include "cpu_helper.h"
#include "glob_const.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

namespace {

inline uint8_t u8(signed char value) { return static_cast<uint8_t>(value); }

// Offset of a location from the start of the memory array; 0x10000 or more
// for a location outside it (the accumulator).
inline uintptr_t offset_of(const CPU& cpu, const signed char* location) {
    return reinterpret_cast<uintptr_t>(location) - reinterpret_cast<uintptr_t>(cpu.memory);
}

inline Mapper* mapper_of(const CPU& cpu) { return cpu.rom ? cpu.rom->mapper.get() : nullptr; }

// A board that wires one 16 KiB bank to both halves stores it once, at $8000-$BFFF.
inline bool upper_half_mirrors_lower(const CPU& cpu) {
    const Mapper* mapper = mapper_of(cpu);
    return mapper && mapper->upper_prg_mirrors_lower(*cpu.rom);
}

// The address actually stored for a CPU address: RAM and PPU register mirrors
// fold onto their first copy.
inline uint32_t fold(const CPU& cpu, uint32_t address) {
    if (address >= 0xC000) return upper_half_mirrors_lower(cpu) ? address - 0x4000 : address;
    if (address < 0x2000) return address & 0x07FF;
    if (address < 0x4000) return 0x2000 | (address & 7);
    return address;
}

// The pages that hold registers: $2000-$3FFF, and $4000-$40FF for $4000-$4017.
inline bool register_page(int page) { return page >= 0x20 && page <= 0x40; }

inline bool is_register(uint32_t address) { return (address & 0xFFF8) == 0x2000 || address - 0x4000 < 0x18; }

// Whether the unit behind a register is attached. A bare CPU (without a PPU
// or APU, as a processor test may build it) treats such registers as memory.
inline bool unit_attached(const CPU& cpu, uint32_t address, bool write) {
    if (address < 0x4000 || address == 0x4014) return cpu.ppu != nullptr;
    // The pad ports: $4016 both ways, $4017 when read (a $4017 write goes to the APU).
    if (address == 0x4016 || (address == 0x4017 && !write)) return true;
    return cpu.apu != nullptr;
}

// The serial pad port: bit 7 of the shift register, shifting a 1 in from the
// right unless the strobe holds the latch.
uint8_t read_pad(CPU& cpu, int index) {
    const uint8_t value = 0x40 | cpu.pad_shift[index] >> 7;
    if (!cpu.pad_strobe) cpu.pad_shift[index] = static_cast<uint8_t>(cpu.pad_shift[index] << 1 | 1);
    return value;
}

// Side effects of a read of the APU and pad registers.
uint8_t read_register(CPU& cpu, uint32_t address, uint8_t value) {
    switch (address) {
        case 0x4015:
            return cpu.apu->read_status();
        case 0x4016:
            return read_pad(cpu, 0);
        case 0x4017:
            return read_pad(cpu, 1);
        default:
            return value;
    }
}

// OAM DMA: 256 bytes from page value into OAM starting at oam_addr. It takes
// no CPU cycles and the PPU does not run during it.
void oam_dma(CPU& cpu, uint8_t page) {
    PPU* ppu = cpu.ppu;
    const uint8_t start = ppu->oam_addr;
    for (int i = 0; i < 256; ++i) {
        uint8_t byte = u8(cpu.read(cpu.location(static_cast<uint16_t>(page << 8 | i)), true));
        const uint8_t destination = static_cast<uint8_t>(start + i);
        // Bits 2-4 of the attribute byte do not exist in OAM.
        if ((destination & 3) == 2) byte &= 0xE3;
        ppu->oam[destination] = byte;
    }
    ppu->oam_addr = start;
    if (cpu.debug) {
        printf("New OAM: [");
        for (int i = 0; i < 256; ++i) printf("%02x,", ppu->oam[i]);
        printf("]\n");
    }
}

// Side effects of a write to $4014-$4017 and the APU registers; returns the value to store.
uint8_t write_register(CPU& cpu, uint32_t address, uint8_t value) {
    switch (address) {
        case 0x4014:
            oam_dma(cpu, value);
            break;
        case 0x4016:
            cpu.pad_strobe = value & 1;
            if (cpu.pad_strobe) {
                for (int i = 0; i < 2; ++i) cpu.pad_shift[i] = cpu.pads[i] ? cpu.pads[i]->get_input_byte() : 0;
            }
            break;
        default:
            cpu.apu->register_write(static_cast<uint16_t>(address), value);
            break;
    }
    return value;
}

}  // namespace

CPU::CPU() : CPU(false) {}

CPU::CPU(bool debug) : debug(debug) { map_pages(); }

void CPU::reset() {
    catch_up();
    // The reset sequence runs the three stack cycles of an interrupt entry
    // without writing, and masks interrupts.
    SP = static_cast<uint8_t>(SP - 3);
    P |= flag_mask('I');
    jammed = false;
    if (apu && accuracy == Accuracy::hardware) apu->restart_count(cycles);
    cycles = 0;
    if (ppu) ppu->cycles = 0;
    if (apu) {
        if (apu->expansion) apu->run_expansion(apu->cycles);  // the cartridge's chip plays on through a reset
        apu->cycles = 0;
        apu->expansion_at = 0;
        apu->samples = 0;
    }
    signed char* vector = location(reset_vector);
    if (verbose) {
        printf("Before: %04x\n", reset_vector);
        printf("reset loc: %p, memory loc: %p\n", static_cast<void*>(vector), static_cast<void*>(memory));
    }
    map_memory(&vector);
    const uint16_t mapped = static_cast<uint16_t>(get_addr(vector));
    const uint16_t next = static_cast<uint16_t>(fold(*this, static_cast<uint16_t>(mapped + 1)));
    if (verbose) {
        printf("After: %04x\n", mapped);
        printf("%02x %02x\n", memory[mapped], memory[next]);
    }
    PC = read_word(*this, mapped, next);
    if (verbose) printf("%04x\n", static_cast<unsigned>(PC));
    if (accuracy == Accuracy::hardware) hardware_reset();
}

void CPU::clock() {
    if (accuracy == Accuracy::hardware) {
        if (jammed)
            end_cycle<true>();
        else
            step_cycles<true>();
        return;
    }
    if (jammed) {
        // Halted: the clock runs on for the rest of the machine, one cycle a call.
        ++cycles;
        return;
    }
    if (!debug) {
        step();
        return;
    }
    instruction_start = cycles;
    TRACED_EXECUTORS[bus_read(static_cast<uint16_t>(PC))](*this);
}

// ---- Lazy stepping ----

namespace {

constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();
// A chain's length bound: the stack stays small where the compiler keeps the
// executors' tail calls as calls (unoptimised builds).
constexpr int64_t MAX_CHAIN_CYCLES = 1024;

// The APU cycle count the machine step reaches after a CPU cycle count.
inline int64_t apu_target(int64_t cpu_cycles) { return (cpu_cycles + 1) / 2; }

// The first CPU cycle count at which the PPU has passed a dot count.
inline int64_t cpu_cycles_reaching(int64_t dots) { return dots <= 0 ? 0 : (dots + 2) / 3; }

}  // namespace

void CPU::catch_up() {
    if (accuracy == Accuracy::hardware) {
        if (apu) apu->run_hardware<false>(cycles);
        if (ppu) ppu->run_until<Accuracy::hardware>(3 * cycles);
    } else {
        if (apu) apu->run_until(apu_target(cycles));
        if (ppu) ppu->run_until(3 * cycles);
    }
    ppu_due = apu_due = chain_end = 0;
}

void CPU::catch_up_for(uint32_t address, bool write) {
    // Cartridge space ($4020 up) reaches both: a board's banks and its counter.
    const bool cartridge = address >= 0x4020;
    const bool ppu_side = address < 0x4000 || (write && address == 0x4014) || cartridge;
    const bool apu_side = (address >= 0x4000 && address < 0x4018 && address != 0x4014 && address != 0x4016 &&
                           (write || address == 0x4015)) ||
                          cartridge;
    if (ppu_side && ppu) {
        ppu->run_until(3 * instruction_start);
        if (write) ppu->forget_prediction();
    }
    if (apu_side && apu) apu->run_until(apu_target(instruction_start));
    // A mapper or APU write may move the next interrupt request (the PPU's
    // own events keep their dots): look again before the next instruction.
    if (write && (apu_side || cartridge)) ppu_due = apu_due = chain_end = 0;
}

CPU::RunEnd CPU::run(int64_t until) {
    if (accuracy == Accuracy::hardware) return run_cycles<false>(until);
    // Whatever happened since the last call (a state load, memory written by
    // the host) is looked at afresh.
    ppu_due = apu_due = 0;
    if (ppu) ppu->forget_prediction();
    for (;;) {
        if (cycles >= ppu_due || cycles >= apu_due) {
            if (cycles >= apu_due && apu) apu->run_until(apu_target(cycles));
            if (ppu) {
                const int64_t frame_end = ppu->frame_end();
                if (frame_end <= 3 * cycles) {
                    if (apu) apu->run_until(apu_target(cycles));
                    ppu->run_until(frame_end);
                    ppu_due = apu_due = 0;  // the next call finishes the catch-up first
                    return RunEnd::frame;
                }
                ppu->run_until(3 * cycles);
                ppu_due = cpu_cycles_reaching(ppu->next_event());
            } else {
                ppu_due = NEVER;
            }
            // A DMC interrupt request is not predicted: while one can come,
            // the APU is brought up to date at every instruction.
            apu_due = apu && apu->may_request_irq() ? cycles + 1 : NEVER;
        }
        if (cycles >= until) {
            catch_up();
            return RunEnd::cycles;
        }
        if (jammed) {
            // A halted processor only counts cycles, one per clock().
            cycles = std::min({ppu_due, apu_due, until});
            continue;
        }
        if (debug) {
            clock();  // with its trace
            continue;
        }
        chain_end = std::min({ppu_due, apu_due, until, cycles + MAX_CHAIN_CYCLES});
        instruction_start = cycles;
        CHAINED_EXECUTORS[bus_read(static_cast<uint16_t>(PC))](*this);
    }
}

// ---- The hardware model ----

namespace {

// The PPU dot at which an access in the current CPU cycle reaches the PPU.
inline int64_t access_dot(const CPU& cpu) { return 3 * cpu.cycles + PPU::ACCESS_DOT_OFFSET; }

}  // namespace

void CPU::hardware_reset() {
    // The reset sequence: the cycles of an interrupt entry, its three stack
    // writes turned into reads (SP is already three lower), then the vector.
    const uint16_t pc = static_cast<uint16_t>(PC);
    PC = 0;
    ppu_due = apu_due = event_due = 0;
    for (int i = 0; i < 2; ++i) read_cycle<false>(static_cast<uint16_t>(PC));
    for (int i = 3; i > 0; --i) read_cycle<false>(static_cast<uint16_t>(0x100 | static_cast<uint8_t>(SP + i)));
    read_cycle<false>(reset_vector);
    read_cycle<false>(static_cast<uint16_t>(reset_vector + 1));
    PC = pc;
    catch_up();  // the units in step, as a snapshot needs them
}

void CPU::sample_nmi() {
    bool output = ppu && ppu->nmi_occurred && (memory[0x2000] & 0x80);
    if (output && ppu->nmi_line_released()) output = false;
    if (output && ppu->nmi_line_settling()) {
        output = false;
        ppu_due = event_due = cycles + 1;  // looked at again on the next cycle
    }
    if (output && !nmi_output) nmi_edge = true;
    nmi_output = output;
}

template <bool EXACT>
void CPU::service_events() {
    if constexpr (EXACT) {
        // The reference path: every unit one cycle at a time.
        if (apu) apu->run_hardware<true>(cycles);
        if (ppu)
            while (ppu->cycles < 3 * cycles) ppu->cycle<Accuracy::hardware>();
    } else {
        if (cycles >= apu_due) {
            if (apu) {
                apu->run_hardware<false>(cycles);
                apu_due = std::max(apu->next_event_cpu(), cycles + 1);
            } else {
                apu_due = NEVER;
            }
        }
        if (cycles >= ppu_due) {
            if (ppu) {
                // Never past the frame's end: run() stops there at the next instruction.
                ppu->run_until<Accuracy::hardware>(std::min(3 * cycles, ppu->frame_end<Accuracy::hardware>()));
                ppu_due = cpu_cycles_reaching(ppu->next_event<Accuracy::hardware>());
            } else {
                ppu_due = NEVER;
            }
        }
        event_due = std::min(ppu_due, apu_due);
    }
    sample_nmi();
}

namespace {

// The units brought to this cycle for a cartridge access the board sees at
// it, so that the memory map's own catch-up finds nothing to do.
template <bool EXACT>
void bring_units_here(CPU& cpu) {
    if (cpu.apu) cpu.apu->run_hardware<EXACT>(cpu.cycles);
    if (!cpu.ppu) return;
    if constexpr (EXACT) {
        while (cpu.ppu->cycles < 3 * cpu.cycles) cpu.ppu->cycle<Accuracy::hardware>();
    } else {
        cpu.ppu->run_until<Accuracy::hardware>(3 * cpu.cycles);
    }
}

}  // namespace

template <bool EXACT>
uint8_t CPU::read_mapped_cycle(uint16_t address) {
    instruction_start = cycles;
    if (address - 0x2000u < 0x2000u && ppu) {
        const int64_t at = access_dot(*this);
        if constexpr (EXACT) {
            while (ppu->cycles < at) ppu->cycle<Accuracy::hardware>();
        }
        const uint8_t value = ppu->read_register<Accuracy::hardware>(static_cast<uint16_t>(0x2000 | (address & 7)), at);
        sample_nmi();  // a PPUSTATUS read takes the flag down
        return value;
    }
    if (address - 0x4000u < 0x2000u) {
        switch (address) {
            case 0x4015:
                if (!apu) break;
                apu->run_hardware<EXACT>(cycles);
                // The read clears the frame flag, which may rise again.
                if constexpr (!EXACT) apu_due = event_due = cycles;
                return static_cast<uint8_t>(apu->read_status_hardware() | (data_bus & 0x20));
            case 0x4016:
            case 0x4017: {
                // Bits 5-7 are the data bus's; a run of reads on consecutive
                // cycles clocks the pad once.
                const int port = address & 1;
                const bool clocks = pad_read_at[port] != cycles - 1;
                pad_read_at[port] = cycles;
                const uint8_t bit = pad_shift[port] >> 7;
                if (clocks && !pad_strobe) pad_shift[port] = static_cast<uint8_t>(pad_shift[port] << 1 | 1);
                return static_cast<uint8_t>((data_bus & 0xE0) | bit);
            }
            default:
                break;
        }
        if (const Mapper* mapper = mapper_of(*this); address >= 0x4020 && mapper && mapper->answers_expansion_reads()) {
            bring_units_here<EXACT>(*this);  // the board answers at this cycle
            return u8(read_mapped(location(address), true));
        }
        // The write-only registers and the expansion area: nothing drives the bus.
        return data_bus;
    }
    return u8(read_mapped(location(address), true));
}

template <bool EXACT>
void CPU::write_mapped_cycle(uint16_t address, uint8_t value) {
    instruction_start = cycles;
    if (address - 0x2000u < 0x2000u && ppu) {
        const int64_t at = access_dot(*this);
        if constexpr (EXACT) {
            while (ppu->cycles < at) ppu->cycle<Accuracy::hardware>();
        }
        const uint16_t reg = static_cast<uint16_t>(0x2000 | (address & 7));
        const uint8_t kept = ppu->write_register<Accuracy::hardware>(reg, value, at);
        if (reg != 0x2002) memory[reg] = kept;
        if constexpr (!EXACT) {
            ppu->forget_prediction();
            ppu_due = event_due = cycles;  // the NMI output or the next event may have moved
        }
        sample_nmi();
        return;
    }
    if (address == 0x4014 && ppu) {
        memory[0x4014] = value;
        oam_dma_page = value;
        oam_dma_request = true;
        return;
    }
    if (address - 0x4000u < 0x18u && address != 0x4016 && apu) {
        apu->run_hardware<EXACT>(cycles);
        apu->register_write_hardware(address, value, cycles);
        memory[address] = value;
        if constexpr (!EXACT) apu_due = event_due = cycles;  // the APU's next event may have moved
        return;
    }
    // The cartridge sees the write at this cycle.
    if (address >= 0x4020) bring_units_here<EXACT>(*this);
    write_mapped(location(address), static_cast<signed char>(value));
    if constexpr (!EXACT) event_due = std::min(ppu_due, apu_due);
}

template <bool EXACT>
void CPU::run_dma(uint16_t address) {
    // The halted CPU repeats its read on every cycle the DMA does not use;
    // the DMA reads on even cycles and writes OAM on odd ones.
    auto halted_read = [&] {
        data_bus = read_bus<EXACT>(address);
        end_cycle<EXACT>();
    };
    // The DMC's read, on a read cycle of the DMA's own.
    auto dmc_read = [&] {
        dmc_dma_request = false;
        apu->run_hardware<EXACT>(cycles);
        data_bus = read_bus<EXACT>(static_cast<uint16_t>(apu->dmc_address | 0x8000));
        end_cycle<EXACT>();
        apu->dmc_fetched(data_bus);
        if constexpr (!EXACT) apu_due = event_due = cycles;  // the output unit's next take
    };
    if (!oam_dma_request) {
        // The DMC alone: the halt, a dummy cycle, one more to reach a read
        // cycle, and its read.
        if (!apu) {
            dmc_dma_request = false;
            return;
        }
        halted_read();
        halted_read();
        if (cycles & 1) halted_read();
        dmc_read();
        return;
    }
    oam_dma_request = false;
    halted_read();
    if (!(cycles & 1)) halted_read();
    const uint16_t page = static_cast<uint16_t>(oam_dma_page << 8);
    for (int i = 0; i < 256; ++i) {
        if (dmc_dma_request && apu) {
            // The DMC takes a read cycle, and a cycle more brings the OAM
            // DMA back to its own.
            dmc_read();
            halted_read();
        }
        data_bus = read_bus<EXACT>(static_cast<uint16_t>(page | i));
        end_cycle<EXACT>();
        instruction_start = cycles;
        const int64_t at = access_dot(*this);
        if constexpr (EXACT) {
            while (ppu->cycles < at) ppu->cycle<Accuracy::hardware>();
        }
        ppu->write_register<Accuracy::hardware>(0x2004, data_bus, at);
        end_cycle<EXACT>();
    }
}

template <bool EXACT>
void CPU::step_cycles() {
    const uint8_t opcode = read_cycle<EXACT>(static_cast<uint16_t>(PC));
    (EXACT ? EXACT_HARDWARE_EXECUTORS : HARDWARE_EXECUTORS)[opcode](*this);
}

template <bool EXACT>
CPU::RunEnd CPU::run_cycles(int64_t until) {
    ppu_due = apu_due = event_due = 0;
    if (ppu) ppu->forget_prediction();
    const int64_t frames = ppu ? ppu->frames : 0;
    for (;;) {
        if (cycles >= event_due) service_events<EXACT>();
        // The PPU stops at a frame's end, even within an instruction.
        if (ppu && ppu->frames != frames) {
            if (apu) apu->run_hardware<EXACT>(cycles);
            ppu_due = apu_due = event_due = 0;  // the next call finishes the catch-up first
            return RunEnd::frame;
        }
        if (cycles >= until) {
            catch_up();
            return RunEnd::cycles;
        }
        if (jammed) {
            // A halted processor only counts cycles.
            cycles = std::min(event_due, until);
            continue;
        }
        step_cycles<EXACT>();
    }
}

template void CPU::service_events<false>();
template void CPU::service_events<true>();
template uint8_t CPU::read_mapped_cycle<false>(uint16_t);
template uint8_t CPU::read_mapped_cycle<true>(uint16_t);
template void CPU::write_mapped_cycle<false>(uint16_t, uint8_t);
template void CPU::write_mapped_cycle<true>(uint16_t, uint8_t);
template void CPU::run_dma<false>(uint16_t);
template void CPU::run_dma<true>(uint16_t);
template void CPU::step_cycles<false>();
template void CPU::step_cycles<true>();
template CPU::RunEnd CPU::run_cycles<false>(int64_t);

int CPU::get_flag(char letter) const { return (P & flag_mask(letter)) ? 1 : 0; }

void CPU::set_flag(char letter, bool value) {
    const uint8_t mask = flag_mask(letter);
    P = value ? (P | mask) : (P & ~mask);
}

void CPU::start_nmi() {
    stack_push(static_cast<signed char>(PC >> 8));
    stack_push(static_cast<signed char>(PC));
    stack_push(static_cast<signed char>(P));
    set_flag('I', true);
    PC = read_word(*this, nmi_vector, static_cast<uint16_t>(nmi_vector + 1));
}

void CPU::start_irq() {
    if (get_flag('I')) return;
    irq_pending = false;
    stack_push(static_cast<signed char>(PC >> 8));
    stack_push(static_cast<signed char>(PC));
    stack_push(static_cast<signed char>(P));
    set_flag('I', true);
    PC = read_word(*this, irq_vector, static_cast<uint16_t>(irq_vector + 1));
}

void CPU::set_controller(Controller* pad, unsigned char index) {
    if (index < 2) pads[index] = pad;
}

int CPU::emulated_clock_speed(long long elapsed_ns) const {
    if (cycles == 0 || elapsed_ns == 0) return 0;
    const double rate = static_cast<double>(cycles) * 1e9 / static_cast<double>(elapsed_ns);
    return static_cast<int>(std::clamp(rate, static_cast<double>(std::numeric_limits<int>::min()),
                                       static_cast<double>(std::numeric_limits<int>::max())));
}

void CPU::ins_str(char* buf, unsigned char opcode) {
    const isa::OpcodeInfo info = isa::opcode_info(opcode);
    snprintf(buf, 256, "0x%02x: %s, %s, PC=$%04x - A=%u - X=%u - Y=%u", opcode, info.name, info.mode,
             static_cast<unsigned>(PC), A, X, Y);
}

void CPU::print_trace(uint8_t opcode, uint16_t operand_address) {
    const isa::OpcodeInfo info = isa::opcode_info(opcode);
    unsigned operand_value = 0;
    for (int i = 1; i < info.length; ++i) operand_value |= memory[fold(*this, (PC + i) & 0xFFFF)] << 8 * (i - 1);
    const uint32_t folded = fold(*this, operand_address);
    printf("Cycles: %li, 0x%02x: %s, %s $%04x->%04x=%02x, PC=$%04x - A=%02x - X=%02x - Y=%02x - P=%02x SP: %02x [",
           static_cast<long>(cycles), opcode, info.name, info.mode, operand_value, static_cast<unsigned>(folded),
           memory[folded], static_cast<unsigned>(PC), A, X, Y, P, SP);
    for (int address = 0x1FF; address > 0x100 + SP; --address)
        printf(address == 0x1FF ? "%02x" : ",%02x", memory[address]);
    printf("]\n");
}

// Memory map.

void CPU::map_memory_mapped(signed char** location) {
    const uintptr_t offset = offset_of(*this, *location);
    if (offset < 0x10000) *location = reinterpret_cast<signed char*>(memory + fold(*this, offset));
}

void CPU::map_pages() {
    const Mapper* mapper = mapper_of(*this);
    const bool reads_watched = mapper && mapper->watches_reads();
    const bool expansion_answered = mapper && mapper->answers_expansion_reads();
    const uint32_t writes_watched = mapper ? mapper->watched_writes_from() : 0x10000;
    for (int page = 0; page < 256; ++page) {
        uint8_t* stored = memory + fold(*this, static_cast<uint32_t>(page) << 8);
        const bool plain = !register_page(page);
        const bool answered = reads_watched || (expansion_answered && page >= 0x40 && page < 0x60);
        read_pages[page] = plain && !answered ? stored : nullptr;
        // In the hardware model nothing drives the bus at $4000-$5FFF but the registers.
        hardware_read_pages[page] = page >= 0x40 && page < 0x60 ? nullptr : read_pages[page];
        // Program memory is never stored into.
        write_pages[page] = plain && page < 0x80 && (page << 8) < static_cast<int>(writes_watched) ? stored : nullptr;
    }
}

signed char CPU::read_mapped(signed char* location, bool notify) {
    const uintptr_t offset = offset_of(*this, location);
    // The accumulator: no register and no mapper range applies.
    if (offset >= 0x10000) return *location;
    const uint32_t address = fold(*this, offset);
    signed char* folded = reinterpret_cast<signed char*>(memory + address);
    if (notify) {
        if (Mapper* mapper = mapper_of(*this)) {
            if (address - 0x4020u < 0x1FE0u && mapper->answers_expansion_reads()) catch_up_for(address, false);
            void* context[3] = {this, ppu, apu};
            mapper->map_read(context, folded);
        }
    }
    signed char value = *folded;
    if (is_register(address) && unit_attached(*this, address, false)) {
        if (address < 0x4000) {
            // The PPU answers for the instruction's start, drawing only as far as it must.
            value = static_cast<signed char>(ppu->read_register(static_cast<uint16_t>(address), 3 * instruction_start));
        } else {
            catch_up_for(address, false);
            value = static_cast<signed char>(read_register(*this, address, u8(*folded)));
        }
    }
    return value;
}

void CPU::write_mapped(signed char* location, signed char value) {
    const uintptr_t offset = offset_of(*this, location);
    if (offset >= 0x10000) {
        *location = value;
        return;
    }
    const uint32_t address = fold(*this, offset);
    signed char* folded = reinterpret_cast<signed char*>(memory + address);
    if (debug) printf("%04x=>%02x\n", address, u8(value));
    if (is_register(address) && unit_attached(*this, address, true)) {
        if (address < 0x4000) {
            value = static_cast<signed char>(
                ppu->write_register(static_cast<uint16_t>(address), u8(value), 3 * instruction_start));
        } else {
            catch_up_for(address, true);
            value = static_cast<signed char>(write_register(*this, address, u8(value)));
        }
    }
    if (Mapper* mapper = mapper_of(*this)) {
        if (address >= mapper->registers_from() && address >= mapper->watched_writes_from()) {
            if (mapper->write_reaches_ppu(address, u8(value)))
                catch_up_for(address, true);
            else if (apu)
                apu->run_until(apu_target(instruction_start));
        }
        void* context[3] = {this, ppu, apu};
        mapper->map_write(context, folded, &value);
    }
    // ROM windows change only by bank copies; PPUSTATUS keeps the PPU's flags.
    if (address < 0x8000 && address != 0x2002) *folded = value;
}

// Cartridge insertion.

void CPU::loadRom(ROM* cartridge, bool load_battery) {
    std::memset(memory, 0, sizeof(memory));
    rom = cartridge;
    map_pages();
    std::optional<std::vector<uint8_t>> battery;  // the battery RAM file
    if (rom->battery && load_battery) {
        std::string path = config_dir;
        if (sep) path += sep;
        path += "ram";
        if (verbose) printf("load RAM file: %s\n", path.c_str());
        // Without a game folder there is no battery file to look for. Only a
        // regular file is read: a FIFO or a device there is an error at once.
        if (!config_dir.empty())
            battery = read_regular_file(path, Mapper::MAX_BATTERY_BYTES, "cannot read the battery RAM file");
        if (verbose) printf("RAM file exists: %i\n", battery ? 1 : 0);
        if (battery) std::memcpy(memory + 0x6000, battery->data(), std::min(battery->size(), Mapper::BATTERY_BYTES));
    }

    if (rom->has_trainer) std::memcpy(memory + 0x7000, rom->trainer, sizeof rom->trainer);
    if (apu) apu->expansion = nullptr;  // a board with a sound chip attaches it
    if (Mapper* mapper = rom->mapper.get()) {
        mapper->insert(*this);
        if (battery) mapper->load_battery(*this, battery->data(), battery->size());
    }
    map_pages();  // again: a board may choose its watched ranges at insertion
}

// State files.

void CPU::save_state(FILE* file) {
    std::vector<uint8_t> state(state_file::LENGTH, 0);
    state[state_file::P] = P;
    state[state_file::A] = A;
    state[state_file::X] = X;
    state[state_file::Y] = Y;
    state[state_file::SP] = SP;
    for (int i = 0; i < 8; ++i) state[state_file::PC + i] = static_cast<uint8_t>(static_cast<uint64_t>(PC) >> 8 * i);
    std::memcpy(&state[state_file::CPU_MEMORY], memory, sizeof(memory));
    std::memcpy(&state[state_file::PPU_MEMORY], ppu->memory, sizeof(ppu->memory));
    if (Mapper* mapper = mapper_of(*this)) {
        void* context[3] = {this, ppu, apu};
        mapper->serialize(context, reinterpret_cast<char*>(&state[state_file::MAPPER_BLOCK]));
    }
    if (fwrite(state.data(), 1, state.size(), file) != state.size() || fflush(file) != 0) {
        const int err = errno;
        throw FileError(err, "state file", "cannot write the state");
    }
}

void CPU::load_state(FILE* file) {
    // One byte more than a state holds, to tell a longer file from an exact one.
    std::vector<uint8_t> state(state_file::LENGTH + 1);
    const std::size_t length = fread(state.data(), 1, state.size(), file);
    if (ferror(file)) {
        const int err = errno;
        throw FileError(err, "state file", "cannot read the state");
    }
    if (length > state_file::LENGTH) {
        throw std::invalid_argument("not a state file: longer than " + std::to_string(state_file::LENGTH) + " bytes");
    }
    if (length < state_file::LENGTH) {
        throw std::invalid_argument("not a state file: " + std::to_string(length) + " bytes instead of " +
                                    std::to_string(state_file::LENGTH));
    }
    uint64_t stored_pc = 0;
    for (int i = 0; i < 8; ++i) stored_pc |= static_cast<uint64_t>(state[state_file::PC + i]) << 8 * i;
    const int64_t pc = static_cast<int64_t>(stored_pc);
    if (pc < 0 || pc > 0xFFFF) {
        throw std::invalid_argument("state file holds the program counter " + std::to_string(pc) +
                                    ", outside 0..65535");
    }

    P = state[state_file::P];
    A = state[state_file::A];
    X = state[state_file::X];
    Y = state[state_file::Y];
    SP = state[state_file::SP];
    PC = pc;
    std::memcpy(memory, &state[state_file::CPU_MEMORY], sizeof(memory));
    std::memcpy(ppu->memory, &state[state_file::PPU_MEMORY], sizeof(ppu->memory));
    if (Mapper* mapper = mapper_of(*this)) {
        void* context[3] = {this, ppu, apu};
        mapper->deserialize(context, reinterpret_cast<char*>(&state[state_file::MAPPER_BLOCK]));
    }
}

size_t CPU::save_ram(FILE* file) { return fwrite(memory + 0x6000, 1, 0x2000, file); }

size_t CPU::load_ram(FILE* file) { return fread(memory + 0x6000, 1, 0x2000, file); }

// ---- Snapshots ----
//
// One field list per unit drives the three passes of StateIO (save, check,
// load), so what is written is exactly what is checked and read back.

// The CPU part of a snapshot; returns cycles as this pass has it: the other
// units must be in step with it.
int64_t CPU::state_fields(StateIO& io) {
    io.begin_section("CPU ");
    const int64_t counted = io.num(cycles, "cpu.cycles", 0, snapshot::MAX_CPU_CYCLES);
    io.flag(nmi_sample, "cpu.nmi_sample");
    io.flag(nmi_prev, "cpu.nmi_prev");
    io.flag(irq_pending, "cpu.irq_pending");
    io.flag(pad_strobe, "cpu.pad_strobe");
    io.num(pad_shift[0], "cpu.pad_shift");
    io.num(pad_shift[1], "cpu.pad_shift");
    io.flag(jammed, "cpu.jammed");
    const int32_t bank = io.num(uxrom_bank, "cpu.uxrom_bank", 0, 15 * 16);
    io.require(bank % 16 == 0, "cpu.uxrom_bank is not a whole 16 KiB bank");
    if (io.version >= 2) {
        uint8_t model = static_cast<uint8_t>(accuracy);
        model = io.num(model, "cpu.model", 0, 1);
        io.require(model == static_cast<uint8_t>(accuracy),
                   model ? "it was taken in the hardware model; this machine runs the standard model"
                         : "it was taken in the standard model; this machine runs the hardware model");
        io.num(irq_lines, "cpu.irq_lines", 0, IRQ_FRAME | IRQ_DMC | IRQ_CARTRIDGE);
        io.num(data_bus, "cpu.data_bus");
        io.flag(nmi_output, "cpu.nmi_output");
        io.flag(nmi_edge, "cpu.nmi_edge");
        io.flag(oam_dma_request, "cpu.oam_dma_request");
        io.num(oam_dma_page, "cpu.oam_dma_page");
        io.flag(dmc_dma_request, "cpu.dmc_dma_request");
        // The pad reads as cycles before this one (only the last cycle's counts).
        for (int64_t& at : pad_read_at) {
            uint8_t ago = static_cast<uint8_t>(std::clamp<int64_t>(cycles - at, 0, 2));
            ago = io.num(ago, "cpu.pad_read_ago", 0, 2);
            if (io.mode() == StateIO::Mode::Load) at = counted - ago;
        }
    } else {
        io.require(accuracy == Accuracy::standard,
                   "it was taken in the standard model (a version 1 snapshot); this machine runs the hardware model");
    }
    io.end_section();
    return counted;
}

namespace {

void mapper_fields(StateIO& io, Mapper& m) {
    io.begin_section("MAP ");
    int32_t number = m.number;
    io.num(number, "mapper.number", m.number, m.number);
    m.snapshot(io);
    io.end_section();
}

// One pass over every unit's fields, in snapshot order.
void fields(StateIO& io, CPU& cpu) {
    const int64_t cpu_cycles = cpu.state_fields(io);
    cpu.ppu->state_fields(io, cpu_cycles);
    cpu.apu->state_fields(io, cpu_cycles);
    mapper_fields(io, *cpu.rom->mapper);
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t get_le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

std::string hex64(uint64_t v) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

std::vector<uint8_t> save_snapshot(CPU& cpu) {
    using namespace state_file;
    std::vector<uint8_t> out(LENGTH, 0);
    out[P] = cpu.P;
    out[A] = cpu.A;
    out[X] = cpu.X;
    out[Y] = cpu.Y;
    out[SP] = cpu.SP;
    for (int i = 0; i < 8; ++i) out[state_file::PC + i] = static_cast<uint8_t>(static_cast<uint64_t>(cpu.PC) >> 8 * i);
    std::memcpy(&out[CPU_MEMORY], cpu.memory, sizeof cpu.memory);
    std::memcpy(&out[PPU_MEMORY], cpu.ppu->memory, sizeof cpu.ppu->memory);
    void* context[3] = {&cpu, cpu.ppu, cpu.apu};
    cpu.rom->mapper->serialize(context, reinterpret_cast<char*>(&out[MAPPER_BLOCK]));

    const std::size_t start = out.size();
    out.insert(out.end(), snapshot::MAGIC, snapshot::MAGIC + sizeof snapshot::MAGIC);
    put_u32(out, snapshot::VERSION);
    const std::size_t length_at = out.size();
    put_u32(out, 0);
    put_u64(out, cpu.rom->identity);
    StateIO io(out);
    fields(io, cpu);
    const uint32_t length = static_cast<uint32_t>(out.size() - start);
    for (int i = 0; i < 4; ++i) out[length_at + i] = static_cast<uint8_t>(length >> (8 * i));
    return out;
}

void load_snapshot(CPU& cpu, const uint8_t* data, std::size_t size) {
    using namespace state_file;
    if (size < LENGTH)
        StateIO::fail("it is " + std::to_string(size) + " bytes, shorter than the " + std::to_string(LENGTH) +
                      "-byte state-file layout it begins with");
    if (size == LENGTH)
        StateIO::fail("it is a state file of the old layout, without the extension block (loadState loads those)");
    if (size < LENGTH + snapshot::HEADER_LEN) StateIO::fail("truncated in the extension header");
    const uint64_t pc = get_le(data + state_file::PC, 8);
    if (pc > 0xFFFF)
        StateIO::fail("the program counter " + std::to_string(static_cast<int64_t>(pc)) + " is outside 0..65535");

    const uint8_t* ext = data + LENGTH;
    if (std::memcmp(ext, snapshot::MAGIC, sizeof snapshot::MAGIC) != 0)
        StateIO::fail("the extension block does not start with PICTSNAP");
    const uint32_t version = static_cast<uint32_t>(get_le(ext + 8, 4));
    if (version < 1 || version > snapshot::VERSION)
        StateIO::fail("extension version " + std::to_string(version) + " is unknown (this module reads versions 1 to " +
                      std::to_string(snapshot::VERSION) + ")");
    const uint64_t length = get_le(ext + 12, 4);
    if (length != size - LENGTH)
        StateIO::fail("the extension block announces " + std::to_string(length) + " bytes but " +
                      std::to_string(size - LENGTH) + " follow the state-file layout");
    const uint64_t identity = get_le(ext + 16, 8);
    if (identity != cpu.rom->identity)
        StateIO::fail("it was taken on another cartridge (image hash " + hex64(identity) + ", this cartridge's " +
                      hex64(cpu.rom->identity) + ")");

    const uint8_t* sections = ext + snapshot::HEADER_LEN;
    const std::size_t sections_len = size - LENGTH - snapshot::HEADER_LEN;
    StateIO check(StateIO::Mode::Check, sections, sections_len);
    check.version = version;
    fields(check, cpu);
    if (!check.at_end())
        StateIO::fail(std::to_string(sections_len - check.position()) + " bytes follow the last section");

    // Everything is valid: only now does the machine change.
    cpu.P = data[P];
    cpu.A = data[A];
    cpu.X = data[X];
    cpu.Y = data[Y];
    cpu.SP = data[SP];
    cpu.PC = static_cast<int64_t>(pc);
    std::memcpy(cpu.memory, data + CPU_MEMORY, sizeof cpu.memory);
    std::memcpy(cpu.ppu->memory, data + PPU_MEMORY, sizeof cpu.ppu->memory);
    StateIO load(StateIO::Mode::Load, sections, sections_len);
    load.version = version;
    fields(load, cpu);
    cpu.ppu->rebuild_frame_buffer();
    cpu.apu->discard_undelivered();
}

}  // namespace NES
