// Fuzz target: snapshots and old-layout state files, loaded into machines of
// the project's own cartridges and small ones of every other board that have
// run a while. The
// input picks a machine and either edits its snapshot or is loaded as it is;
// whatever loads must run and must give snapshots that restore exactly.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu.h"
#include "cpu_helper.h"
#include "machine.h"
#include "registry.h"

#ifndef PICTOR_SOURCE_DIR
#error "PICTOR_SOURCE_DIR must name the source tree (for the bundled cartridges)"
#endif

namespace {

struct Base {
    std::unique_ptr<fuzz::Machine> machine;
    std::vector<uint8_t> snapshot;
    // The editable stretch of the extension block: all of it but the PPU's
    // picture indices (61440 bytes that any value may hold).
    std::size_t index_start = 0, index_end = 0;
};

std::vector<Base> bases;

std::vector<uint8_t> read_file(const std::string& name) {
    std::ifstream in(std::string(PICTOR_SOURCE_DIR) + "/python/pictor_cli/data/" + name, std::ios::binary);
    if (!in) fuzz::broken(("cannot read the bundled cartridge " + name).c_str());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A small cartridge of a mapper the bundled ones do not cover: its program
// turns on rendering, NMI and the mapper's interrupt, and loops.
std::vector<uint8_t> small_cart(int mapper) {
    std::vector<uint8_t> image = {'N', 'E', 'S', 0x1A, 4, 1, uint8_t((mapper & 0x0F) << 4), uint8_t(mapper & 0xF0)};
    image.resize(16);
    std::vector<uint8_t> prg(4 * 16384, 0xEA);
    const uint8_t program[] = {
        0x78, 0xA9, 0x80, 0x8D, 0x00, 0x20,  // SEI; NMI on
        0xA9, 0x1E, 0x8D, 0x01, 0x20,        // rendering on
        0x8D, 0x00, 0xA0, 0x58,              // $A000: the interrupt counter runs; CLI
        0xE6, 0x10, 0x4C, 0x0F, 0xE0,        // E00F: INC $10; JMP $E00F
        0x40,                                // E014: RTI
    };
    std::memcpy(&prg[prg.size() - 0x2000], program, sizeof program);
    const uint8_t vectors[] = {0x14, 0xE0, 0x00, 0xE0, 0x14, 0xE0};
    std::memcpy(&prg[prg.size() - 6], vectors, sizeof vectors);
    image.insert(image.end(), prg.begin(), prg.end());
    for (int i = 0; i < 8192; ++i) image.push_back(static_cast<uint8_t>(i * 13));
    return image;
}

void add_base(std::vector<uint8_t> image) {
    Base b;
    b.machine = std::make_unique<fuzz::Machine>(
        std::make_unique<NES::ROM>(static_cast<long>(image.size()), image.data(), false));
    for (int frame = 0; frame < 40; ++frame) {
        b.machine->press(static_cast<uint8_t>(frame * 37));
        b.machine->run_frame();
    }
    b.snapshot = NES::save_snapshot(*b.machine->cpu);
    // The sections follow the extension header; the picture indices end the PPU's.
    std::size_t pos = NES::state_file::LENGTH + NES::snapshot::HEADER_LEN;
    while (pos + 8 <= b.snapshot.size()) {
        uint32_t length = 0;
        std::memcpy(&length, &b.snapshot[pos + 4], 4);
        if (std::memcmp(&b.snapshot[pos], "PPU ", 4) == 0) {
            b.index_end = pos + 8 + length;
            b.index_start = b.index_end - 61440;
        }
        pos += 8 + length;
    }
    if (b.index_end == 0) fuzz::broken("no PPU section in a snapshot");
    bases.push_back(std::move(b));
}

bool load_legacy(fuzz::Machine& m, std::vector<uint8_t>& data) {
    FILE* file = fmemopen(data.data(), data.size(), "rb");
    if (!file) return false;
    bool loaded = true;
    try {
        m.cpu->load_state(file);
    } catch (const std::invalid_argument&) {
        loaded = false;
    }
    std::fclose(file);
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name :
         {"demo.nes", "workload_mmc1.nes", "workload_uxrom.nes", "workload_cnrom.nes", "workload_mmc3.nes"})
        add_base(read_file(name));
    for (const NES::BoardEntry& board : NES::boards())
        if (board.number > 4) add_base(small_cart(board.number));
    add_base(small_cart(255));  // a mapper without a board of its own
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    Base& base = bases[data[0] % bases.size()];
    fuzz::Machine& m = *base.machine;
    try {
        NES::load_snapshot(*m.cpu, base.snapshot.data(), base.snapshot.size());
    } catch (const std::invalid_argument& e) {
        fuzz::broken(e.what());
    }
    const uint8_t mode = data[1];
    const uint8_t* edits = data + 2;
    const std::size_t edit_bytes = size - 2;
    const std::size_t before_index = base.index_start - NES::state_file::LENGTH;
    const std::size_t after_index = base.snapshot.size() - base.index_end;

    bool loaded = false;
    switch (mode & 3) {
        case 0:
        case 1: {
            // Edits of the extension block: a 16-bit position and a value.
            std::vector<uint8_t> s = base.snapshot;
            for (std::size_t i = 0; i + 3 <= edit_bytes; i += 3) {
                std::size_t at = (edits[i] | edits[i + 1] << 8) % (before_index + after_index);
                at = at < before_index ? NES::state_file::LENGTH + at : base.index_end + (at - before_index);
                s[at] = edits[i + 2];
            }
            try {
                NES::load_snapshot(*m.cpu, s.data(), s.size());
                loaded = true;
            } catch (const std::invalid_argument&) {
                if (NES::save_snapshot(*m.cpu) != base.snapshot) fuzz::broken("a refused snapshot changed the machine");
            }
            break;
        }
        case 2: {
            // Edits of an old-layout state file: registers, program counter and mapper block.
            std::vector<uint8_t> s(base.snapshot.begin(), base.snapshot.begin() + NES::state_file::LENGTH);
            for (std::size_t i = 0; i + 2 <= edit_bytes; i += 2) {
                std::size_t at = edits[i] % (NES::state_file::CPU_MEMORY + 256);
                if (at >= NES::state_file::CPU_MEMORY)
                    at += NES::state_file::MAPPER_BLOCK - NES::state_file::CPU_MEMORY;
                s[at] = edits[i + 1];
            }
            loaded = load_legacy(m, s);
            break;
        }
        default: {
            // The input itself, as a snapshot and as a state file.
            try {
                NES::load_snapshot(*m.cpu, edits, edit_bytes);
                loaded = true;
            } catch (const std::invalid_argument&) {
            }
            if (!loaded && edit_bytes == NES::state_file::LENGTH) {
                std::vector<uint8_t> s(edits, edits + edit_bytes);
                loaded = load_legacy(m, s);
            }
            break;
        }
    }
    if (!loaded) return 0;
    m.press(mode);
    if (mode & 4)
        m.step_cycles(2000);
    else if (mode & 8)
        m.run_frame();
    else
        m.run_cycles(6000);
    fuzz::check_snapshot_round_trip(m);
    return 0;
}
