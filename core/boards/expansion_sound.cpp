#include "expansion_sound.h"

#include "apu.h"
#include "cpu.h"

namespace NES::board {

void attach_sound(CPU& cpu, ExpansionSound& chip) {
    if (!cpu.apu) return;
    cpu.apu->expansion = &chip;
    cpu.apu->expansion_at = cpu.apu->cycles;
}

void bring_sound_up(CPU& cpu) {
    if (cpu.apu && cpu.apu->expansion) cpu.apu->run_expansion(cpu.apu->cycles);
}

}  // namespace NES::board
