// The machine object: one console with its emulation thread, picture, memory
// and audio views, pads and save files; and the pad object handed to Python.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apu.h"
#include "battery.h"
#include "controller.h"
#include "cpu.h"
#include "emulation_thread.h"
#include "ppu.h"
#include "py_support.h"
#include "rom.h"

// The accuracy keyword, as every constructor's docstring names it.
#define ACCURACY_DOC                                                                                              \
    "accuracy: the timing model, fixed for the machine's life: \"standard\" (the default) or \"hardware\" (the\n" \
    "    console cycle by cycle); ValueError for any other value.\n"

// An unsupported mapper keeps the fallback and warns once per machine built,
// before anything is made on disk (a warning turned into an error is a failed
// construction).
void warn_if_unsupported(const NES::ROM& rom);

// A pad created and filled from Python ("Controller").
class ControllerWrapper {
public:
    NES::Controller controller;

    ControllerWrapper() = default;

    // Takes the truth of the first 8 values of the sequence as the button
    // states, in serial order; ValueError for fewer than 8.
    void updateInputs(pybind11::sequence buttons);
};

using ByteView = pybind11::array_t<unsigned char, pybind11::array::forcecast>;

// What every constructor takes besides the cartridge.
struct MachineSettings {
    int rate = 1789773;  // CPU cycles per second of the emulation thread; 0 unpaced
    bool verbose = true;
    NES::Accuracy accuracy = NES::Accuracy::standard;
    BatteryFile battery_file = BatteryFile::read_write;
};

// One complete console ("NES").
class NESUnit {
public:
    using FrameCallback = std::function<void()>;

    // Called at every frame boundary; null when no callback is installed.
    // Atomic, so a replacement never races the thread's call.
    std::atomic<std::shared_ptr<const FrameCallback>> perframefunc;
    std::string save_dir;  // directory of the numbered state files; empty until set
    NES::Controller controller0;
    NES::Controller controller1;
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;
    std::unique_ptr<NES::ROM> rom;
    EmulationThread thread{*this};

    std::string game_dir;  // this machine's game folder, home of its battery RAM file
    // Taken by start, stop, runFrame and the state operations for their
    // duration, so that only one of them at a time steps the machine or
    // attaches and joins the thread.
    std::atomic<bool> busy{false};
    // The Python per-frame callable, null when none; read and replaced only
    // with the interpreter lock held.
    pybind11::object frame_callable;
    pybind11::object plugged[2];  // the Python pads in ports 0 and 1, kept alive while plugged in

    // Each constructor fixes the machine's timing model. The blank cartridge:
    explicit NESUnit(const MachineSettings& settings);
    // A machine for a parsed cartridge whose game folder is named after name
    // (a path or a file object's name), inside save_root when given and in
    // $HOME/.config/Lumaret otherwise. The folders it needs are made only
    // once the cartridge is known to be good, and removed again when the
    // construction fails after all.
    NESUnit(std::unique_ptr<NES::ROM> cartridge, const std::string& name, const MachineSettings& settings,
            const std::optional<std::string>& save_root);
    // A machine for an image held in memory, without a game folder and
    // without reading a battery RAM file (unpickling builds these).
    NESUnit(const std::string& image, const MachineSettings& settings);
    ~NESUnit();
    NESUnit(const NESUnit&) = delete;
    NESUnit& operator=(const NESUnit&) = delete;

    // Stepping.
    void single_cycle();
    void runFrame();
    // Machine steps until a frame ends (and its callback has run).
    void step_frame();
    void frame_callback();
    int64_t frame_count() const;
    int64_t cycle_count() const;
    NES::Accuracy accuracy() const;

    // Emulation thread.
    void start();
    void stop();
    void set_pause(bool p);
    void perFrame(const FrameCallback& f);
    // Installs a Python callable (or None) as the per-frame callback.
    void set_frame_callable(pybind11::object callable);

    // Views onto the emulator's storage; each array keeps this machine alive.
    ByteView getImg();
    ByteView color_lookup();
    ByteView cpuMem();
    ByteView ppuMem();
    ByteView OAM();
    pybind11::bytes getAudio();

    void setController(ControllerWrapper& w, int port);

    // Save folder; state files (snapshots.cpp).
    bool setSaveDir(std::string dir);
    pybind11::str getSaveDir() const;
    void save(int slot);
    bool load(int slot);

    // Whole-machine snapshots, the reset button and pickling (snapshots.cpp);
    // the sample ring.
    pybind11::bytes get_state();
    void set_state(pybind11::buffer state);
    void reset();
    pybind11::array_t<int16_t> read_audio();
    uint64_t audio_dropped() const;
    pybind11::tuple pickle_state();
    static std::unique_ptr<NESUnit> from_pickle(const pybind11::tuple& state);
    // Plugs a Python pad into a port, keeping the one it replaces alive while the machine may still read it.
    void plug(ControllerWrapper& pad, pybind11::object pad_object, int port);

    bool verbose = true;  // false: this machine prints nothing at all
    BatteryFile battery_file = BatteryFile::read_write;
    // Odd while the machine steps (and so may read the pads plugged in), even
    // between steps: a replaced pad is kept only while the step that was
    // going on when it was replaced lasts.
    std::atomic<uint64_t> steps{0};
    class Stepping {
    public:
        explicit Stepping(NESUnit& machine) : steps(machine.steps) { ++steps; }
        ~Stepping() { ++steps; }
        Stepping(const Stepping&) = delete;
        Stepping& operator=(const Stepping&) = delete;

    private:
        std::atomic<uint64_t>& steps;
    };
    // Replaced pads with the step count when they were replaced.
    std::vector<std::pair<pybind11::object, uint64_t>> retired_pads;
    std::vector<int16_t> audio_scratch;  // readAudio's copy of the ring

    // Battery RAM: the bytes the file was last known to hold (read at
    // insertion, or written by this machine), so that the emulation thread
    // writes the file again only when the battery RAM has changed.
    std::vector<uint8_t> battery_saved;
    // Whether this machine keeps a battery RAM file.
    bool keeps_battery() const;
    // The battery_size() bytes the battery keeps, where the board holds them
    // now (a board may show ROM at $6000 and keep its RAM aside).
    const uint8_t* battery_ram() const;
    std::size_t battery_size() const;
    void write_battery_ram();
    // At interpreter exit: ends the emulation thread; then writes the battery
    // RAM file, unless another thread may still be stepping the machine (it is
    // busy and others_settled is false: not every thread has left its native
    // work).
    void end_thread_at_exit();
    void write_battery_at_exit(bool others_settled);

private:
    void build_components(const MachineSettings& settings);
    void insert(std::unique_ptr<NES::ROM> cartridge, bool load_battery = true);
    void attach_pads();
    void call_frame_callable();
    std::string slot_path(int slot, const char* call) const;
    ByteView view(std::vector<pybind11::ssize_t> shape, std::vector<pybind11::ssize_t> strides, void* data);
};
