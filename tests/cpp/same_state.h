// Field-by-field comparison of two units' state, for the tests that run a
// fast path beside the exact one. Every field that carries state is listed;
// pointers between units are not state.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apu.h"
#include "cpu.h"
#include "ppu.h"

namespace test {

#define PICTOR_SAME(field) \
    if (!(a.field == b.field)) diff += std::string(" " #field)
#define PICTOR_SAME_ARRAY(field) \
    if (std::memcmp(&a.field, &b.field, sizeof a.field) != 0) diff += std::string(" " #field)

// The names of the fields that differ, or an empty string.
inline std::string differing_fields(const NES::PPU& a, const NES::PPU& b) {
    std::string diff;
    PICTOR_SAME(cycles);
    PICTOR_SAME(frames);
    PICTOR_SAME_ARRAY(memory);
    PICTOR_SAME_ARRAY(oam);
    PICTOR_SAME_ARRAY(secondary_oam);
    PICTOR_SAME(scanline);
    for (auto field :
         {&NES::PPU::bg_shift_low, &NES::PPU::bg_shift_high, &NES::PPU::attr_shift_low, &NES::PPU::attr_shift_high})
        if (a.*field != b.*field) diff += " background shift registers";
    PICTOR_SAME(fetch_name);
    PICTOR_SAME(fetch_attr);
    PICTOR_SAME(fetch_low);
    PICTOR_SAME(fetch_high);
    PICTOR_SAME_ARRAY(sprite_patterns);
    PICTOR_SAME(oam_bus);
    PICTOR_SAME(overflow_found);
    PICTOR_SAME(odd_frame);
    PICTOR_SAME(io_latch);
    PICTOR_SAME_ARRAY(io_driven);
    PICTOR_SAME(a12_high);
    PICTOR_SAME(a12_fell_at);
    PICTOR_SAME(dot);
    PICTOR_SAME(mirroring);
    PICTOR_SAME(in_vblank);
    PICTOR_SAME(chr_bank);
    PICTOR_SAME(suppress_vblank);
    PICTOR_SAME(nmi_occurred);
    PICTOR_SAME(suppress_nmi);
    PICTOR_SAME(rendering);
    PICTOR_SAME(v);
    PICTOR_SAME(t);
    PICTOR_SAME(x);
    PICTOR_SAME(w);
    PICTOR_SAME(oam_addr);
    PICTOR_SAME(tile_addr);
    PICTOR_SAME(attr_addr);
    PICTOR_SAME(pattern_high);
    PICTOR_SAME(pattern_low);
    PICTOR_SAME(read_buffer);
    PICTOR_SAME(fine_x_counter);
    PICTOR_SAME(nt_byte);
    PICTOR_SAME(pattern_addr);
    PICTOR_SAME(post_render);
    PICTOR_SAME(eval_index);
    PICTOR_SAME(overflow_byte);
    PICTOR_SAME(eval_done);
    PICTOR_SAME(next_sprite_count);
    PICTOR_SAME_ARRAY(line_sprites);
    PICTOR_SAME(line_sprite_count);
    PICTOR_SAME_ARRAY(sprite_x_counter);
    PICTOR_SAME_ARRAY(next_sprite_x);
    PICTOR_SAME(sprite_active);
    PICTOR_SAME_ARRAY(sprite_shift);
    PICTOR_SAME(next_has_sprite0);
    PICTOR_SAME(line_has_sprite0);
    PICTOR_SAME_ARRAY(frame_buffer);
    PICTOR_SAME_ARRAY(index_buffer);
    return diff;
}

inline std::string differing_fields(const NES::CPU& a, const NES::CPU& b) {
    std::string diff;
    PICTOR_SAME(A);
    PICTOR_SAME(X);
    PICTOR_SAME(Y);
    PICTOR_SAME(SP);
    PICTOR_SAME(P);
    PICTOR_SAME(PC);
    PICTOR_SAME_ARRAY(pad_shift);
    PICTOR_SAME_ARRAY(memory);
    PICTOR_SAME(cycles);
    PICTOR_SAME(nmi_sample);
    PICTOR_SAME(irq_pending);
    PICTOR_SAME(nmi_prev);
    PICTOR_SAME(pad_strobe);
    PICTOR_SAME(jammed);
    PICTOR_SAME(uxrom_bank);
    return diff;
}

inline std::string differing_fields(const NES::APU& a, const NES::APU& b) {
    std::string diff;
    PICTOR_SAME(cycles);
    PICTOR_SAME(frame_origin);
    PICTOR_SAME(samples);
    if (std::memcmp(a.sample_buffer.get(), b.sample_buffer.get(), NES::BUFFER_LEN * sizeof(int16_t)) != 0)
        diff += " sample_buffer";
    PICTOR_SAME_ARRAY(channel_enabled);
    PICTOR_SAME_ARRAY(pulse_output);
    PICTOR_SAME_ARRAY(pulse_step);
    PICTOR_SAME_ARRAY(pulse_timer);
    PICTOR_SAME_ARRAY(pulse_period);
    PICTOR_SAME(triangle_period);
    PICTOR_SAME(triangle_output);
    PICTOR_SAME(triangle_step);
    PICTOR_SAME(triangle_timer);
    for (int i = 0; i < 3; ++i) {
        PICTOR_SAME(envelope[i].start);
        PICTOR_SAME(envelope[i].divider);
        PICTOR_SAME(envelope[i].decay);
    }
    PICTOR_SAME(linear_counter);
    PICTOR_SAME(linear_reload);
    PICTOR_SAME(noise_shift);
    PICTOR_SAME(noise_output);
    PICTOR_SAME(noise_timer);
    PICTOR_SAME(dmc_output);
    PICTOR_SAME(dmc_sample_buffer);
    PICTOR_SAME(dmc_control);
    PICTOR_SAME(dmc_timer);
    PICTOR_SAME(dmc_silence);
    PICTOR_SAME(dmc_shift);
    PICTOR_SAME(dmc_bits_remaining);
    PICTOR_SAME(dmc_buffer_empty);
    PICTOR_SAME(dmc_sample_address);
    PICTOR_SAME(dmc_sample_length);
    PICTOR_SAME(dmc_direct_load);
    PICTOR_SAME(dmc_address);
    PICTOR_SAME(dmc_bytes_remaining);
    PICTOR_SAME_ARRAY(length_counter);
    for (int i = 0; i < 2; ++i) {
        PICTOR_SAME(sweep[i].divider);
        PICTOR_SAME(sweep[i].reload);
        PICTOR_SAME(sweep[i].mute);
    }
    PICTOR_SAME(frame_irq);
    return diff;
}

#undef PICTOR_SAME
#undef PICTOR_SAME_ARRAY

}  // namespace test
