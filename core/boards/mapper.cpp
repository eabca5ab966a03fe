#include "mapper.h"

#include "cpu.h"

namespace NES {

const uint8_t* Mapper::battery_ram(const CPU& cpu) const { return cpu.memory + 0x6000; }

}  // namespace NES
