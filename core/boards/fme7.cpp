#include "fme7.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "cpu_helper.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

namespace {
constexpr int ARRANGEMENTS[4] = {VERTICAL, HORIZONTAL, SCREEN_A, SCREEN_B};
}  // namespace

// $6000-$7FFF after command 8 changed from `before`: the RAM goes out to its
// store or comes back from it, and a ROM bank is copied in.
void FME7::place_6000(CPU& cpu, uint8_t before) {
    const bool was_ram = (before & 0xC0) == 0xC0;
    if (was_ram && !ram_shown()) std::memcpy(ram, cpu.memory + 0x6000, sizeof ram);
    if (ram_shown()) {
        if (!was_ram) std::memcpy(cpu.memory + 0x6000, ram, sizeof ram);
    } else if (regs[8] & 0x40) {
        std::memset(cpu.memory + 0x6000, 0, sizeof ram);  // RAM disabled: nothing drives the bus
    } else {
        place_prg(cpu, 0x6000, 8, regs[8] & 0x3F);
    }
}

bool FME7::write_reaches_ppu(uint32_t address, uint8_t) const {
    // The parameter of a CHR, arrangement or interrupt command; the command
    // register, the PRG commands 8-B and the sound ports stay on the CPU's side.
    return address >= 0xA000 && address < 0xC000 && (command < 8 || command > 11);
}

void FME7::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    const auto v = static_cast<uint8_t>(*value);
    if (a < 0x8000) {
        // Only RAM that is shown keeps a write.
        if (a >= 0x6000 && !ram_shown()) *value = static_cast<signed char>(cpu->memory[a]);
        return;
    }
    if (a < 0xA000) {
        command = v & 15;
        return;
    }
    if (a >= 0xC000) {
        bring_sound_up(*cpu);
        if (a < 0xE000)
            sound.select = v;
        else
            sound.write(v);
        return;
    }
    PPU* ppu = ppu_of(context);
    if (command < 8) {
        regs[command] = v;
        place_chr(ppu, static_cast<uint16_t>(command * 0x400), 1, v);
    } else if (command == 8) {
        const uint8_t before = regs[8];
        regs[8] = v;
        place_6000(*cpu, before);
    } else if (command < 12) {
        regs[command] = v & 0x3F;
        place_prg(*cpu, static_cast<uint16_t>(0x8000 + (command - 9) * 0x2000), 8, regs[command]);
    } else if (command == 12) {
        regs[12] = v & 3;
        arrange(ppu, ARRANGEMENTS[regs[12]]);
    } else if (command == 13) {
        irq_control = v & 0x81;
        cpu->clear_irq(IRQ_CARTRIDGE);
    } else if (command == 14) {
        irq_counter = static_cast<uint16_t>((irq_counter & 0xFF00) | v);
    } else {
        irq_counter = static_cast<uint16_t>((irq_counter & 0x00FF) | v << 8);
    }
}

void FME7::insert(CPU& cpu) {
    // The battery RAM read at insertion goes to the store: ROM shows first.
    std::memcpy(ram, cpu.memory + 0x6000, sizeof ram);
    place_6000(cpu, 0);
    for (int r = 9; r < 12; ++r) place_prg(cpu, static_cast<uint16_t>(0x8000 + (r - 9) * 0x2000), 8, regs[r]);
    place_prg(cpu, 0xE000, 8, last_prg_8k(cpu, 1));
    attach_sound(cpu, sound);
}

const uint8_t* FME7::battery_ram(const CPU& cpu) const { return ram_shown() ? cpu.memory + 0x6000 : ram; }

void FME7::count_cycles(CPU* cpu, int64_t cycles) {
    if (!(irq_control & 0x80)) return;
    const int64_t to_wrap = int64_t{irq_counter} + 1;
    if (cycles >= to_wrap && (irq_control & 1)) cpu->raise_irq(IRQ_CARTRIDGE);
    irq_counter = static_cast<uint16_t>(irq_counter - cycles);
}

int64_t FME7::cycles_to_request() const { return (irq_control & 0x81) == 0x81 ? int64_t{irq_counter} + 1 : -1; }

void FME7::snapshot(StateIO& io) {
    io.num(command, "fme7.command", 0, 15);
    for (uint8_t& r : regs) io.num(r, "fme7.register");
    io.num(irq_control, "fme7.irq_control");
    io.num(irq_counter, "fme7.irq_counter");
    io.bytes(ram, sizeof ram, "fme7.ram");
    sound.snapshot(io);
}

// ---- Sunsoft 5B ----

namespace {

// The output of a channel by its 5-bit level (a volume v is level 2v + 1):
// 1.5 dB a step from 1.0 at the top, nothing at 0.
const std::array<float, 32> LEVELS = [] {
    std::array<float, 32> levels{};
    for (int e = 1; e < 32; ++e) levels[e] = static_cast<float>(std::pow(10.0, (e - 31) * 1.5 / 20));
    return levels;
}();

// A channel at volume 13 (level 27, -6 dB) swings as far as the console's
// pulse at volume 15 (from -15 to +15 in the mix): the loudest is twice that.
const float LEVEL_SCALE = 30 * 0.00752f / LEVELS[27];

constexpr int NOISE_PERIOD = 131071;  // the 17-bit register's sequence, from any state but 0

// The times a counter of ticks, which restarts from 0 on reaching its period,
// restarts in `ticks` ticks.
int64_t count_up(uint16_t& counter, int period, int64_t ticks) {
    int64_t wraps = 0;
    if (counter >= period) {
        // A period shortened below the count: the next tick restarts it.
        counter = 0;
        wraps = 1;
        --ticks;
    }
    const int64_t total = counter + ticks;
    // A call per sample moves a counter by a few ticks: mostly no wrap or one.
    if (total < period) {
        counter = static_cast<uint16_t>(total);
        return wraps;
    }
    if (total < 2 * int64_t{period}) {
        counter = static_cast<uint16_t>(total - period);
        return wraps + 1;
    }
    counter = static_cast<uint16_t>(total % period);
    return wraps + total / period;
}

}  // namespace

void Sunsoft5B::write(uint8_t value) {
    if (select > 15) return;  // a select with its high bits set reaches no register
    regs[select] = value;
    if (select == 13) {
        envelope_counter = 0;
        envelope_step = 0;
        envelope_rising = value & 4;
        envelope_held = false;
    }
}

void Sunsoft5B::step_envelope(int64_t steps) {
    if (envelope_held || steps == 0) return;
    if (envelope_step + steps <= 31) {
        envelope_step = static_cast<uint8_t>(envelope_step + steps);
        return;
    }
    // The ramp ends: it stops at 0, holds where it ended (alternated: the
    // other end), or starts again (alternated: the other way).
    steps -= 32 - envelope_step;
    const uint8_t shape = regs[13];
    const bool alternate = shape & 2;
    if (!(shape & 8) || (shape & 1)) {
        envelope_held = true;
        envelope_step = 31;
        envelope_rising = (shape & 8) && (envelope_rising != alternate);
        return;
    }
    envelope_step = static_cast<uint8_t>(steps % 32);
    if (alternate && (steps / 32) % 2 == 0) envelope_rising = !envelope_rising;
}

void Sunsoft5B::run(int64_t cycles) {
    const int64_t total = prescaler + cycles;
    prescaler = static_cast<uint8_t>(total % 16);
    const int64_t ticks = total / 16;
    if (ticks == 0) return;
    for (int c = 0; c < 3; ++c) {
        const int period = std::max((regs[2 * c + 1] & 0x0F) << 8 | regs[2 * c], 1);
        if (count_up(tone_counter[c], period, ticks) & 1) tone_high ^= static_cast<uint8_t>(1 << c);
    }
    uint16_t noise_count = noise_counter;
    int64_t shifts = count_up(noise_count, 2 * std::max(regs[6] & 0x1F, 1), ticks);
    noise_counter = static_cast<uint8_t>(noise_count);
    for (shifts %= NOISE_PERIOD; shifts > 0; --shifts) noise = (noise >> 1) | ((noise ^ (noise >> 3)) & 1) << 16;
    step_envelope(count_up(envelope_counter, std::max(regs[12] << 8 | regs[11], 1), ticks));
}

float Sunsoft5B::level() const {
    const int envelope = envelope_rising ? envelope_step : 31 - envelope_step;
    float sum = 0;
    for (int c = 0; c < 3; ++c) {
        // An enabled square or noise that is low silences the channel.
        const bool square_low = !(regs[7] & (1 << c)) && !(tone_high & (1 << c));
        const bool noise_low = !(regs[7] & (8 << c)) && !(noise & 1);
        if (square_low || noise_low) continue;
        const uint8_t volume = regs[8 + c];
        sum += LEVELS[(volume & 0x10) ? envelope : (volume & 0x0F) ? 2 * (volume & 0x0F) + 1 : 0];
    }
    return sum * LEVEL_SCALE;
}

void Sunsoft5B::snapshot(StateIO& io) {
    io.num(select, "5b.select");
    for (uint8_t& r : regs) io.num(r, "5b.register");
    io.num(prescaler, "5b.prescaler", 0, 15);
    for (uint16_t& counter : tone_counter) io.num(counter, "5b.tone_counter", 0, 0xFFF);
    io.num(tone_high, "5b.tone_high", 0, 7);
    io.num(noise_counter, "5b.noise_counter", 0, 61);
    io.num(noise, "5b.noise", 1, 0x1FFFF);
    io.num(envelope_counter, "5b.envelope_counter");
    io.num(envelope_step, "5b.envelope_step", 0, 31);
    io.flag(envelope_rising, "5b.envelope_rising");
    io.flag(envelope_held, "5b.envelope_held");
}

}  // namespace NES
