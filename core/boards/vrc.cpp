#include "vrc.h"

#include "cpu_helper.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

using namespace board;

void KonamiVrc::map_write(void** context, signed char* address, signed char* value) {
    CPU* cpu = cpu_of(context);
    const int a = cpu_address(cpu, address);
    if (a < 0x8000) return;
    const int index = ((a & line0) ? 1 : 0) | ((a & line1) ? 2 : 0);
    write_register(*cpu, ppu_of(context), a & 0xF000, index, static_cast<uint8_t>(*value));
}

// ---- VRC2 / VRC4 ----

namespace {

struct Wiring {
    uint8_t line0, line1;
    bool vrc2;
};

// By mapper (21, 22, 23, 25) and submapper 0-3; submapper 0 hears both variants.
Wiring vrc4_wiring(int number, int submapper) {
    switch (number) {
        case 21:
            return submapper == 1   ? Wiring{0x02, 0x04, false}
                   : submapper == 2 ? Wiring{0x40, 0x80, false}
                                    : Wiring{0x42, 0x84, false};
        case 22:
            return {0x02, 0x01, true};
        case 23:
            return submapper == 1   ? Wiring{0x01, 0x02, false}
                   : submapper == 2 ? Wiring{0x04, 0x08, false}
                   : submapper == 3 ? Wiring{0x01, 0x02, true}
                                    : Wiring{0x05, 0x0A, false};
        default:  // 25
            return submapper == 1   ? Wiring{0x02, 0x01, false}
                   : submapper == 2 ? Wiring{0x08, 0x04, false}
                   : submapper == 3 ? Wiring{0x02, 0x01, true}
                                    : Wiring{0x0A, 0x05, false};
    }
}

constexpr int VRC_ARRANGEMENTS[4] = {VERTICAL, HORIZONTAL, SCREEN_A, SCREEN_B};

}  // namespace

void VRC4::place_prg_banks(CPU& cpu) const {
    const int second_last = last_prg_8k(cpu, 2);
    place_prg(cpu, 0x8000, 8, swap ? second_last : prg[0]);
    place_prg(cpu, 0xA000, 8, prg[1]);
    place_prg(cpu, 0xC000, 8, swap ? prg[0] : second_last);
    place_prg(cpu, 0xE000, 8, last_prg_8k(cpu, 1));
}

void VRC4::write_register(CPU& cpu, PPU* ppu, int group, int index, uint8_t v) {
    switch (group) {
        case 0x8000:
        case 0xA000:
            prg[group == 0xA000] = v & 0x1F;
            place_prg_banks(cpu);
            break;
        case 0x9000:
            if (vrc2) {
                arrange(ppu, v & 1 ? HORIZONTAL : VERTICAL);
            } else if (index < 2) {
                arrange(ppu, VRC_ARRANGEMENTS[v & 3]);
            } else if (index == 2) {
                swap = (v & 2) != 0;
                place_prg_banks(cpu);
            }
            break;
        case 0xF000:
            if (vrc2) break;
            if (index == 0)
                irq.latch = static_cast<uint8_t>((irq.latch & 0xF0) | (v & 0x0F));
            else if (index == 1)
                irq.latch = static_cast<uint8_t>((irq.latch & 0x0F) | (v & 0x0F) << 4);
            else if (index == 2)
                irq.write_control(&cpu, v);
            else
                irq.acknowledge(&cpu);
            break;
        default: {  // $B000-$E003: CHR register 2 x (group - $B000) / $1000 + index bit 1
            const int r = (group - 0xB000) / 0x1000 * 2 + (index >> 1);
            const int high_bits = vrc2 ? 0x0F : 0x1F;
            chr[r] = static_cast<uint16_t>(index & 1 ? (chr[r] & 0x0F) | (v & high_bits) << 4
                                                     : (chr[r] & ~0x0F) | (v & 0x0F));
            place_chr(ppu, static_cast<uint16_t>(r * 0x400), 1, halved_chr ? chr[r] >> 1 : chr[r]);
            break;
        }
    }
}

void VRC4::insert(CPU& cpu) {
    const Wiring w = vrc4_wiring(number, cpu.rom->submapper);
    line0 = w.line0;
    line1 = w.line1;
    vrc2 = w.vrc2;
    halved_chr = number == 22;
    place_prg_banks(cpu);
}

void VRC4::snapshot(StateIO& io) {
    io.num(prg[0], "vrc4.prg", 0, 0x1F);
    io.num(prg[1], "vrc4.prg", 0, 0x1F);
    for (uint16_t& bank : chr) io.num(bank, "vrc4.chr", 0, 0x1FF);
    io.flag(swap, "vrc4.swap");
    irq.snapshot(io);
}

// ---- VRC6 ----

void VRC6::place_chr_banks(PPU* ppu) const {
    // Mode 0: eight 1 KiB banks; mode 1: R0-R3 as 2 KiB banks; modes 2 and 3:
    // R0-R3 1 KiB at $0000-$0FFF, R4 and R5 2 KiB at $1000 and $1800. A 2 KiB
    // bank takes its low KiB bit from the PPU's A10.
    const int mode = control & 3;
    for (int k = 0; k < 8; ++k) {
        const int r = mode == 0 ? k : mode == 1 ? k / 2 : k < 4 ? k : 4 + (k - 4) / 2;
        const bool two_kib = mode == 1 || (mode >= 2 && k >= 4);
        place_chr(ppu, static_cast<uint16_t>(k * 0x400), 1, two_kib ? (chr[r] & ~1) | (k & 1) : chr[r]);
    }
}

void VRC6::write_register(CPU& cpu, PPU* ppu, int group, int index, uint8_t v) {
    switch (group) {
        case 0x8000:
            prg16 = v & 0x0F;
            place_prg(cpu, 0x8000, 16, prg16);
            break;
        case 0xB000:
            if (index != 3) {
                write_sound(cpu, group, index, v);
                break;
            }
            control = v;
            arrange(ppu, VRC_ARRANGEMENTS[(v >> 2) & 3]);
            place_chr_banks(ppu);
            break;
        case 0xC000:
            prg8 = v & 0x1F;
            place_prg(cpu, 0xC000, 8, prg8);
            break;
        case 0xD000:
        case 0xE000:
            chr[(group - 0xD000) / 0x1000 * 4 + index] = v;
            place_chr_banks(ppu);
            break;
        case 0xF000:
            if (index == 0)
                irq.latch = v;
            else if (index == 1)
                irq.write_control(&cpu, v);
            else if (index == 2)
                irq.acknowledge(&cpu);
            break;
        default:  // $9000-$A003
            write_sound(cpu, group, index, v);
            break;
    }
}

void VRC6::write_sound(CPU& cpu, int group, int index, uint8_t v) {
    if (index == 3 && group != 0x9000) return;
    bring_sound_up(cpu);
    sound.write((group - 0x9000) / 0x1000, index, v);
}

void VRC6::insert(CPU& cpu) {
    line0 = number == 24 ? 0x01 : 0x02;
    line1 = number == 24 ? 0x02 : 0x01;
    place_prg(cpu, 0x8000, 16, prg16);
    place_prg(cpu, 0xC000, 8, prg8);
    place_prg(cpu, 0xE000, 8, last_prg_8k(cpu, 1));
    attach_sound(cpu, sound);
}

void VRC6::snapshot(StateIO& io) {
    io.num(prg16, "vrc6.prg16", 0, 0x0F);
    io.num(prg8, "vrc6.prg8", 0, 0x1F);
    for (uint8_t& bank : chr) io.num(bank, "vrc6.chr");
    io.num(control, "vrc6.control");
    irq.snapshot(io);
    sound.snapshot(io);
}

// ---- VRC6 sound ----

namespace {

// One step of the chip's output against the console's pulse, whose volume v
// swings from -v to +v in the mix.
constexpr float VRC6_STEP = 2 * 0.00752f;

}  // namespace

void Vrc6Sound::write(int channel, int index, uint8_t value) {
    if (index == 3) {
        frequency = value;
        return;
    }
    regs[channel][index] = value;
    if (index == 2 && !enabled(channel)) {
        // A disabled channel starts its sequence again.
        step[channel] = channel < 2 ? 15 : 0;
        if (channel == 2) accumulator = 0;
    }
}

void Vrc6Sound::clock_sawtooth(int64_t clocks) {
    if (clocks >= 14 - step[2]) {
        // To the next start, then whole sequences of 14 clocks, which end where they began.
        clocks = (clocks - (14 - step[2])) % 14;
        step[2] = 0;
        accumulator = 0;
    }
    const uint8_t rate = regs[2][0] & 0x3F;
    for (; clocks > 0; --clocks) {
        if (++step[2] & 1) continue;
        accumulator = static_cast<uint8_t>(accumulator + rate);
    }
}

void Vrc6Sound::run(int64_t cycles) {
    if (frequency & 1) return;  // halted
    const int shift = (frequency & 4) ? 8 : (frequency & 2) ? 4 : 0;
    for (int c = 0; c < 3; ++c) {
        if (!enabled(c)) continue;
        const int period = ((regs[c][2] & 0x0F) << 8 | regs[c][1]) >> shift;
        const int64_t clocks = count_down(divider[c], period, cycles);
        if (c < 2)
            step[c] = static_cast<uint8_t>((step[c] - clocks) & 15);
        else
            clock_sawtooth(clocks);
    }
}

float Vrc6Sound::level() const {
    int sum = 0;
    for (int c = 0; c < 2; ++c) {
        const uint8_t r = regs[c][0];
        if (enabled(c) && ((r & 0x80) || step[c] <= ((r >> 4) & 7))) sum += r & 0x0F;
    }
    if (enabled(2)) sum += accumulator >> 3;
    return static_cast<float>(sum) * VRC6_STEP;
}

void Vrc6Sound::snapshot(StateIO& io) {
    for (auto& channel : regs) {
        for (uint8_t& r : channel) io.num(r, "vrc6.sound.register");
    }
    io.num(frequency, "vrc6.sound.frequency");
    for (uint16_t& d : divider) io.num(d, "vrc6.sound.divider", 0, 0xFFF);
    io.num(step[0], "vrc6.sound.step", 0, 15);
    io.num(step[1], "vrc6.sound.step", 0, 15);
    io.num(step[2], "vrc6.sound.step", 0, 13);
    io.num(accumulator, "vrc6.sound.accumulator");
}

}  // namespace NES
