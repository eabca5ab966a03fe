// Whole-machine snapshots: the numbered state-file layout followed by a
// versioned extension block with everything else that determines the
// machine's future (docs/state-format.md describes the bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace NES {

class CPU;

namespace snapshot {

inline constexpr char MAGIC[8] = {'P', 'I', 'C', 'T', 'S', 'N', 'A', 'P'};
inline constexpr uint32_t VERSION = 1;
// Magic, version, extension length, cartridge identity.
inline constexpr std::size_t HEADER_LEN = 8 + 4 + 4 + 8;

}  // namespace snapshot

// The snapshot of a console whose CPU is wired to its PPU, APU and cartridge.
std::vector<uint8_t> save_snapshot(CPU& cpu);

// Checks a snapshot completely, then restores it; throws std::invalid_argument
// with the reason, leaving the console untouched, when it is malformed, of
// another version or of another cartridge. Undelivered audio is discarded.
void load_snapshot(CPU& cpu, const uint8_t* data, std::size_t size);

// Whether size bytes that start with the state-file layout carry an extension
// block (more bytes than the layout alone).
bool has_extension(std::size_t size);

}  // namespace NES
