// Whole-machine snapshots. One field list per unit drives the three passes of
// StateIO (save, check, load), so what is written is exactly what is checked
// and read back.
#include "snapshot.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "apu.h"
#include "cpu.h"
#include "cpu_helper.h"
#include "mapper.h"
#include "ppu.h"
#include "rom.h"
#include "state_io.h"

namespace NES {

namespace {

// Counters run far below this; anything above is no state this machine made.
constexpr int64_t MAX_COUNT = int64_t{1} << 62;
// CPU cycles: three PPU dots each must stay within 64 bits.
constexpr int64_t MAX_CPU_CYCLES = int64_t{1} << 60;

// Returns cpu.cycles as this pass has it: the other units must be in step with it.
int64_t cpu_fields(StateIO& io, CPU& c) {
    io.begin_section("CPU ");
    const int64_t cycles = io.num(c.cycles, "cpu.cycles", 0, MAX_CPU_CYCLES);
    io.flag(c.nmi_sample, "cpu.nmi_sample");
    io.flag(c.nmi_prev, "cpu.nmi_prev");
    io.flag(c.irq_pending, "cpu.irq_pending");
    io.flag(c.pad_strobe, "cpu.pad_strobe");
    io.num(c.pad_shift[0], "cpu.pad_shift");
    io.num(c.pad_shift[1], "cpu.pad_shift");
    io.flag(c.jammed, "cpu.jammed");
    const int32_t bank = io.num(c.uxrom_bank, "cpu.uxrom_bank", 0, 15 * 16);
    io.require(bank % 16 == 0, "cpu.uxrom_bank is not a whole 16 KiB bank");
    io.end_section();
    return cycles;
}

// Snapshots are taken with every unit caught up to the CPU: the PPU at three
// dots per CPU cycle, the APU at one cycle per two (rounded up).
void ppu_fields(StateIO& io, PPU& p, int64_t cpu_cycles) {
    io.begin_section("PPU ");
    io.require(io.num(p.cycles, "ppu.cycles", 0, 3 * MAX_CPU_CYCLES) == 3 * cpu_cycles,
               "ppu.cycles is not three times cpu.cycles (the units are not in step)");
    io.num(p.frames, "ppu.frames", 0, MAX_COUNT);
    const int scanline = io.num(p.scanline, "ppu.scanline", 0, 261);
    io.num(p.dot, "ppu.dot", 0, 340);
    io.num(p.mirroring, "ppu.mirroring", 0, 4);
    const int chr_bank = io.num(p.chr_bank, "ppu.chr_bank", 0, 4095 * 8);
    io.require(chr_bank % 8 == 0, "ppu.chr_bank is not a whole 8 KiB bank");
    io.flag(p.in_vblank, "ppu.in_vblank");
    io.flag(p.suppress_vblank, "ppu.suppress_vblank");
    io.flag(p.nmi_occurred, "ppu.nmi_occurred");
    io.flag(p.suppress_nmi, "ppu.suppress_nmi");
    io.flag(p.rendering, "ppu.rendering");
    io.num(p.v, "ppu.v");
    io.num(p.t, "ppu.t", 0, 0x7FFF);
    io.num(p.x, "ppu.x", 0, 7);
    io.flag(p.w, "ppu.w");
    io.num(p.oam_addr, "ppu.oam_addr");
    io.num(p.tile_addr, "ppu.tile_addr", 0, 0x2FFF);
    io.num(p.attr_addr, "ppu.attr_addr", 0, 0x2FFF);
    io.num(p.pattern_high, "ppu.pattern_high", 0, 0xFF);
    io.num(p.pattern_low, "ppu.pattern_low", 0, 0xFF);
    io.num(p.read_buffer, "ppu.read_buffer");
    io.num(p.fine_x_counter, "ppu.fine_x_counter", 0, 7);
    io.num(p.nt_byte, "ppu.nt_byte");
    io.num(p.pattern_addr, "ppu.pattern_addr", 0, 0x1FF7);
    // Lines 240-261 are the idle ones; a drawing line there would draw past the picture.
    io.require(io.flag(p.post_render, "ppu.post_render") == (scanline >= 240),
               "ppu.post_render does not match ppu.scanline");
    const uint8_t eval_index = io.num(p.eval_index, "ppu.eval_index");
    io.require(eval_index % 4 == 0, "ppu.eval_index is not the start of an OAM entry");
    io.num(p.overflow_byte, "ppu.overflow_byte", 0, 3);
    io.flag(p.eval_done, "ppu.eval_done");
    io.num(p.next_sprite_count, "ppu.next_sprite_count", 0, 8);
    io.bytes(p.line_sprites, sizeof p.line_sprites, "ppu.line_sprites");
    const int line_count = io.num(p.line_sprite_count, "ppu.line_sprite_count", 0, 8);
    int counter[8];
    for (int i = 0; i < 8; ++i) counter[i] = io.num(p.sprite_x_counter[i], "ppu.sprite_x_counter", -9, 255);
    for (int& n : p.next_sprite_x) io.num(n, "ppu.next_sprite_x", 0, 255);
    const uint8_t active = io.num(p.sprite_active, "ppu.sprite_active");
    io.require((active >> line_count) == 0, "ppu.sprite_active marks a sprite the line does not have");
    for (int i = 0; i < 8; ++i) {
        // A sprite's shift runs 7 down to 0 while it is shown and ends at 255.
        const uint8_t shift = io.num(p.sprite_shift[i], "ppu.sprite_shift");
        io.require(shift <= 7 || shift == 255, "ppu.sprite_shift is neither 0..7 nor 255");
        io.require(!((active >> i) & 1) || shift <= 7, "ppu.sprite_shift of a shown sprite is not 0..7");
        if (i >= line_count) continue;
        // A sprite of the line counts its X down to 0, is shown while the
        // counter runs -1 to -8 (its shift 7 to 0 alongside), and stops at -9
        // with the shift at 255.
        const int n = counter[i];
        if ((active >> i) & 1)
            io.require(n >= -8 && n <= -1 && shift == n + 8,
                       "ppu.sprite_shift of a shown sprite does not follow its ppu.sprite_x_counter");
        else
            io.require((n >= 0 && shift == 7) || (n == -9 && shift == 255),
                       "ppu.sprite_shift of a hidden sprite does not follow its ppu.sprite_x_counter");
    }
    io.flag(p.next_has_sprite0, "ppu.next_has_sprite0");
    io.flag(p.line_has_sprite0, "ppu.line_has_sprite0");
    io.bytes(p.oam, sizeof p.oam, "ppu.oam");
    io.bytes(p.secondary_oam, sizeof p.secondary_oam, "ppu.secondary_oam");
    io.bytes(p.index_buffer, sizeof p.index_buffer, "ppu.index_buffer");
    io.end_section();
}

void apu_fields(StateIO& io, APU& a, int64_t cpu_cycles) {
    io.begin_section("APU ");
    const int64_t cycles = io.num(a.cycles, "apu.cycles", 0, MAX_CPU_CYCLES);
    io.require(cycles == (cpu_cycles + 1) / 2, "apu.cycles is not half of cpu.cycles (the units are not in step)");
    io.num(a.frame_origin, "apu.frame_origin", -1, MAX_COUNT);
    // At most one sample per APU cycle since the last reset.
    io.require(io.num(a.samples, "apu.samples", 0, MAX_CPU_CYCLES) <= cycles, "apu.samples exceeds apu.cycles");
    for (std::size_t i = 0; i < BUFFER_LEN; ++i) io.num(a.sample_buffer[i], "apu.sample_buffer");
    for (bool& on : a.channel_enabled) io.flag(on, "apu.channel_enabled");
    for (int8_t& out : a.pulse_output) io.num(out, "apu.pulse_output", -15, 15);
    for (uint8_t& step : a.pulse_step) io.num(step, "apu.pulse_step", 0, 7);
    for (uint16_t& timer : a.pulse_timer) io.num(timer, "apu.pulse_timer");
    for (uint16_t& period : a.pulse_period) io.num(period, "apu.pulse_period");
    io.num(a.triangle_period, "apu.triangle_period", 0, 0x7FF);
    io.real(a.triangle_output, "apu.triangle_output", -15.0f, 15.0f);
    io.num(a.triangle_step, "apu.triangle_step", 0, 31);
    io.num(a.triangle_timer, "apu.triangle_timer");
    for (APU::Envelope& env : a.envelope) {
        io.num(env.start, "apu.envelope.start", 0, 1);
        io.num(env.divider, "apu.envelope.divider", 0, 15);
        io.num(env.decay, "apu.envelope.decay", 0, 15);
    }
    io.num(a.linear_counter, "apu.linear_counter", 0, 127);
    io.flag(a.linear_reload, "apu.linear_reload");
    io.num(a.noise_shift, "apu.noise_shift", 0, 0x7FFF);
    io.num(a.noise_output, "apu.noise_output", 0, 15);
    io.num(a.noise_timer, "apu.noise_timer", 0, 2033);
    io.num(a.dmc_output, "apu.dmc_output", 0, 255);
    io.num(a.dmc_sample_buffer, "apu.dmc_sample_buffer");
    io.num(a.dmc_control, "apu.dmc_control");
    io.num(a.dmc_timer, "apu.dmc_timer", 0, 213);
    const bool dmc_silence = io.flag(a.dmc_silence, "apu.dmc_silence");
    io.num(a.dmc_shift, "apu.dmc_shift");
    // A playing output unit counts its bits down from 8 and reloads at 0; 0 only while silent (at power-on).
    io.require(io.num(a.dmc_bits_remaining, "apu.dmc_bits_remaining", 0, 8) > 0 || dmc_silence,
               "apu.dmc_bits_remaining is 0 while the DMC plays");
    io.flag(a.dmc_buffer_empty, "apu.dmc_buffer_empty");
    io.num(a.dmc_sample_address, "apu.dmc_sample_address");
    io.num(a.dmc_sample_length, "apu.dmc_sample_length", 0, 0xFF1);
    io.num(a.dmc_direct_load, "apu.dmc_direct_load", -1, 255);
    io.num(a.dmc_address, "apu.dmc_address");
    io.num(a.dmc_bytes_remaining, "apu.dmc_bytes_remaining", 0, 0xFF1);
    for (uint8_t& length : a.length_counter) io.num(length, "apu.length_counter", 0, 254);
    for (APU::Sweep& sw : a.sweep) {
        io.num(sw.divider, "apu.sweep.divider", 0, 7);
        io.num(sw.reload, "apu.sweep.reload", 0, 1);
        io.num(sw.mute, "apu.sweep.mute", 0, 1);
    }
    io.flag(a.frame_irq, "apu.frame_irq");
    io.end_section();
}

void mapper_fields(StateIO& io, Mapper& m) {
    io.begin_section("MAP ");
    int32_t number = m.number;
    io.num(number, "mapper.number", m.number, m.number);
    m.snapshot(io);
    io.end_section();
}

void fields(StateIO& io, CPU& cpu) {
    const int64_t cpu_cycles = cpu_fields(io, cpu);
    ppu_fields(io, *cpu.ppu, cpu_cycles);
    apu_fields(io, *cpu.apu, cpu_cycles);
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

bool has_extension(std::size_t size) { return size > state_file::LENGTH; }

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
    if (version != snapshot::VERSION)
        StateIO::fail("extension version " + std::to_string(version) + " is unknown (this module reads version " +
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
    fields(load, cpu);
    cpu.ppu->rebuild_frame_buffer();
    cpu.apu->discard_undelivered();
}

}  // namespace NES
