// The machine's snapshots as Python sees them: when a state operation may
// touch the machine, and the numbered state files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulation_thread.h"

namespace NES {
class CPU;
}

// Claims a machine for a state operation (snapshot, restore, reset, state
// files, pickling): never from its own per-frame callback, never beside
// another start, stop, runFrame or state operation, and only while its
// emulation thread is gone or parked in a pause, where it stays until the
// operation ends. rebase() marks an operation that changed the cycle count,
// so that a parked thread counts its pacing afresh.
class StateAccess {
public:
    StateAccess(NESUnit& machine, const char* call);
    ~StateAccess();
    StateAccess(const StateAccess&) = delete;
    StateAccess& operator=(const StateAccess&) = delete;

    void rebase() { rebase_pacing = true; }

private:
    NESUnit& machine;
    BusyGuard guard;
    bool holding = false;
    bool rebase_pacing = false;
};

// The bytes of a state file, nothing when there is none. Only a regular file
// is read: a FIFO, a device or a directory at the path is an error at once.
std::optional<std::vector<uint8_t>> read_state_file(const std::string& path);

// Restores what a state file at path holds: a whole snapshot exactly, a file
// of the old layout as ever (registers, memories, the mapper block; false:
// the cycle count is kept). Throws std::invalid_argument naming the path for
// anything else.
bool restore_state_file(NES::CPU& cpu, std::vector<uint8_t>& data, const std::string& path);
