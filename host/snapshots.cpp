#include "snapshots.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "cpu.h"
#include "cpu_helper.h"
#include "files.h"
#include "glob_const.h"
#include "interpreter.h"
#include "py_support.h"
#include "wrapper.h"

namespace py = pybind11;

namespace {

constexpr std::size_t MAX_STATE_FILE_LEN = 64 << 20;  // longer files are no state this module wrote
// Version 2 added the timing model, version 3 what the machine does with its
// battery RAM file; older pickles are of standard-model machines that read and
// write it.
constexpr int PICKLE_VERSION = 3;
constexpr std::size_t PICKLE_FIELDS[PICKLE_VERSION + 1] = {0, 7, 8, 9};  // items of each version

// Item i of a pickled state as T; TypeError naming the item otherwise.
template <typename T>
T pickled(const py::tuple& state, std::size_t i, const char* what) {
    try {
        return state[i].cast<T>();
    } catch (const py::builtin_exception&) {  // a cast_error, or a type_error for another type
        std::string shown = py::repr(state[i]);
        if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
        throw py::type_error("NES.__setstate__: item " + std::to_string(i) + " of the pickled state must be " + what +
                             ", not " + shown);
    }
}

std::atomic<bool>& claim(NESUnit& machine, const char* call) {
    refuse_on_own_thread(&machine, call);
    return machine.busy;
}

}  // namespace

StateAccess::StateAccess(NESUnit& machine, const char* call) : machine(machine), guard(claim(machine, call), call) {
    EmulationThread& thread = machine.thread;
    if (thread.running) {
        if (!thread.paused)
            throw std::runtime_error(std::string(call) +
                                     ": the emulation thread is running; pause it with setPaused(True) or call "
                                     "stop() first");
        // From another machine's per-frame callback, a wait for this thread
        // could be a wait for each other: only a thread already parked is taken.
        if (!thread.hold(machine_on_this_thread() == nullptr))
            throw std::runtime_error(std::string(call) +
                                     ": this machine's emulation thread has not yet stopped in its pause, and "
                                     "another machine's per-frame callback does not wait for it");
        holding = true;
    } else if (thread.joinable()) {
        thread.join();  // a run that ended by itself
    }
}

StateAccess::~StateAccess() {
    if (holding) machine.thread.release(rebase_pacing);
}

std::optional<std::vector<uint8_t>> read_state_file(const std::string& path) {
    std::optional<std::vector<uint8_t>> data = NES::read_regular_file(path, MAX_STATE_FILE_LEN, "could not read");
    if (data && data->size() > MAX_STATE_FILE_LEN)
        throw std::invalid_argument(path + ": not a state file: longer than " + std::to_string(MAX_STATE_FILE_LEN) +
                                    " bytes");
    return data;
}

bool restore_state_file(NES::CPU& cpu, std::vector<uint8_t>& data, const std::string& path) {
    if (data.size() < NES::state_file::LENGTH)
        throw std::invalid_argument("not a state file: " + std::to_string(data.size()) + " bytes instead of " +
                                    std::to_string(NES::state_file::LENGTH));
    if (data.size() == NES::state_file::LENGTH) {
        // The old layout: registers, both memories and the mapper block, read as ever.
        FILE* file = fmemopen(data.data(), data.size(), "rb");
        if (!file) throw NES::FileError(errno, path, "could not read");
        try {
            cpu.load_state(file);
        } catch (...) {
            fclose(file);
            throw;
        }
        fclose(file);
        return false;
    }
    try {
        NES::load_snapshot(cpu, data.data(), data.size());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
    return true;
}

// ---- The machine's state operations ----

std::string NESUnit::slot_path(int slot, const char* call) const {
    if (save_dir.empty())
        throw std::runtime_error(std::string(call) +
                                 ": this machine has no save directory (blank cartridge); call setSaveDir first");
    return save_dir + '/' + std::to_string(slot);
}

void NESUnit::save(int slot) {
    const std::string path = slot_path(slot, "NES.saveState");
    StateAccess access(*this, "NES.saveState");
    const std::vector<uint8_t> state = NES::save_snapshot(*cpu);
    Unlocked unlocked;
    write_file_atomically(path, state.data(), state.size());
}

bool NESUnit::load(int slot) {
    const std::string path = slot_path(slot, "NES.loadState");
    StateAccess access(*this, "NES.loadState");
    std::optional<std::vector<uint8_t>> file;
    {
        Unlocked unlocked;
        file = read_state_file(path);
    }
    if (!file) return false;
    if (restore_state_file(*cpu, *file, path)) access.rebase();
    return true;
}

py::bytes NESUnit::get_state() {
    StateAccess access(*this, "NES.getState");
    const std::vector<uint8_t> state = NES::save_snapshot(*cpu);
    return py::bytes(reinterpret_cast<const char*>(state.data()), state.size());
}

void NESUnit::set_state(py::buffer state) {
    py::buffer_info info = state.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1)
        throw py::type_error("NES.setState: the snapshot must be bytes (or a contiguous buffer of bytes)");
    StateAccess access(*this, "NES.setState");
    NES::load_snapshot(*cpu, static_cast<const uint8_t*>(info.ptr), static_cast<std::size_t>(info.size));
    access.rebase();
}

void NESUnit::reset() {
    StateAccess access(*this, "NES.reset");
    cpu->reset();
    ppu->on_reset();
    apu->on_reset();
    access.rebase();
}

py::tuple NESUnit::pickle_state() {
    py::bytes snapshot = get_state();
    const std::vector<uint8_t>& image = rom->image;
    return py::make_tuple(PICKLE_VERSION, py::bytes(reinterpret_cast<const char*>(image.data()), image.size()),
                          snapshot, cpu->clock_hz, py::bytes(save_dir), py::bytes(game_dir), verbose, accuracy(),
                          battery_file);
}

std::unique_ptr<NESUnit> NESUnit::from_pickle(const py::tuple& state) {
    if (state.size() < 1 || !py::isinstance<py::int_>(state[0]))
        throw std::invalid_argument("NES.__setstate__: not the pickled state of a pictor.NES");
    const py::int_ version_object = state[0];
    int version = 0;
    for (int known = 1; known <= PICKLE_VERSION; ++known)
        if (version_object.equal(py::int_(known))) version = known;
    if (!version)
        throw std::invalid_argument("NES.__setstate__: pickle version " + py::str(version_object).cast<std::string>() +
                                    " is unknown (this module reads versions 1 to " + std::to_string(PICKLE_VERSION) +
                                    ")");
    const std::size_t fields = PICKLE_FIELDS[version];
    if (state.size() != fields) throw std::invalid_argument("NES.__setstate__: not the pickled state of a pictor.NES");
    const std::string image = pickled<py::bytes>(state, 1, "the cartridge image (bytes)");
    const std::string snapshot = pickled<py::bytes>(state, 2, "the snapshot (bytes)");
    const auto clock_hz = pickled<int32_t>(state, 3, "the clock rate (a 32-bit int)");
    std::string saves = pickled<py::bytes>(state, 4, "the save folder (bytes)");
    std::string game = pickled<py::bytes>(state, 5, "the game folder (bytes)");
    const bool loud = pickled<bool>(state, 6, "verbose (a bool)");
    MachineSettings settings{clock_hz, loud};
    if (version >= 2) settings.accuracy = state[7].cast<NES::Accuracy>();
    if (version >= 3) settings.battery_file = state[8].cast<BatteryFile>();
    auto machine = std::make_unique<NESUnit>(image, settings);
    NES::load_snapshot(*machine->cpu, reinterpret_cast<const uint8_t*>(snapshot.data()), snapshot.size());
    machine->save_dir = std::move(saves);
    machine->game_dir = std::move(game);
    return machine;
}
