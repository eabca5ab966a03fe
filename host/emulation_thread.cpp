#include "emulation_thread.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "battery.h"
#include "cpu.h"
#include "interpreter.h"
#include "ppu.h"
#include "wrapper.h"

namespace py = pybind11;

namespace {

// The emulation thread sleeps once per slice of emulated time (2 ms). Each
// sleep and wake-up costs processor time and leaves the caches cold; at 1 ms
// slices that was a tenth of the thread's time in real-time play.
constexpr int64_t SLICES_PER_S = 500;

thread_local const NESUnit* current_machine = nullptr;

std::chrono::steady_clock::time_point steady_at(int64_t ns) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(ns)));
}

}  // namespace

const NESUnit* machine_on_this_thread() { return current_machine; }

void report_thread_error(const char* what, bool verbose) {
    if (!Py_IsInitialized()) {
        if (verbose) printf("Emulation thread stopped: %s\n", what);
        return;
    }
    py::gil_scoped_acquire gil;
    PyErr_SetString(PyExc_RuntimeError, what);
    PyErr_WriteUnraisable(py::str("pictor.NES emulation thread").ptr());
}

void refuse_on_own_thread(const NESUnit* machine, const char* call) {
    if (current_machine == machine)
        throw std::runtime_error(std::string(call) + ": not allowed from this machine's own per-frame callback");
}

BusyGuard::BusyGuard(std::atomic<bool>& flag, const char* call) : flag(flag) {
    bool expected = false;
    if (!flag.compare_exchange_strong(expected, true))
        throw std::runtime_error(std::string(call) +
                                 ": the machine is busy in another call (start, stop, runFrame or a state "
                                 "operation) on another thread");
}

void EmulationThread::count_from_now() {
    run_start_cycles = machine.cpu->cycles;
    run_start = now_ns();
    paused_total = 0;
    pause_start = run_start.load();  // a pause already in force counts from the start
}

void EmulationThread::launch() {
    count_from_now();
    running = true;
    try {
        thread = std::thread(&EmulationThread::body, this);
    } catch (...) {
        running = false;
        throw;
    }
}

void EmulationThread::end() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
    }
    cv.notify_all();
}

void EmulationThread::join() {
    Unlocked unlocked;
    thread.join();
}

void EmulationThread::end_from_callback() {
    running = false;
    if (battery_writer) battery_writer->finish();
}

void EmulationThread::end_writing_battery() {
    battery_at_end = true;
    end();
}

void EmulationThread::body() {
    current_machine = &machine;
    try {
        std::optional<BatteryWriter> battery;
        if (machine.keeps_battery())
            battery.emplace(machine.battery_saved.data(), machine.battery_saved.size(), machine.game_dir + "/ram");
        battery_writer = battery ? &*battery : nullptr;
        struct Forget {
            BatteryWriter*& writer;
            ~Forget() { writer = nullptr; }
        } forget{battery_writer};
        // Slices of emulated time, each followed by one sleep until the
        // wall-clock time at which that slice ends.
        const int64_t slice = std::max<int64_t>(1, machine.cpu->clock_hz / SLICES_PER_S);
        while (running.load(std::memory_order_relaxed)) {
            if (paused.load(std::memory_order_relaxed) || held.load(std::memory_order_relaxed)) {
                park();
                continue;
            }
            run_slice(machine.cpu->cycles + slice);
            pace();
            if (battery) battery->poll(machine.battery_ram());
        }
        if (battery_at_end) {
            battery_writer = nullptr;
            battery.reset();  // its last copy first
            machine.write_battery_ram();
        }
    } catch (const std::exception& e) {
        report_thread_error(e.what(), machine.verbose);
    }
    battery_at_end = false;
    end();
}

void EmulationThread::run_slice(int64_t end) {
    auto go_on = [this] {
        return running.load(std::memory_order_relaxed) && !paused.load(std::memory_order_relaxed) &&
               !held.load(std::memory_order_relaxed);
    };
    NES::CPU& cpu = *machine.cpu;
    NESUnit::Stepping stepping(machine);
    if (cpu.debug || machine.ppu->debug) {
        // The traces print at every step: step by step.
        while (cpu.cycles < end && go_on()) machine.single_cycle();
        return;
    }
    // A frame's end interrupts the lazy run for the per-frame callback; the
    // catch-up the machine step would finish after it follows.
    while (go_on() && cpu.run(end) == NES::CPU::RunEnd::frame) {
        machine.frame_callback();
        cpu.catch_up();
    }
}

void EmulationThread::pace() {
    const NES::CPU& cpu = *machine.cpu;
    // 128-bit: cycles × 10^9 leaves the 64-bit range after about 86 minutes at the default rate.
    __int128 emulated_ns = static_cast<__int128>(cpu.cycles - run_start_cycles) * NS_PER_S / cpu.clock_hz;
    int64_t target = run_start.load(std::memory_order_relaxed) + paused_total.load(std::memory_order_relaxed) +
                     static_cast<int64_t>(emulated_ns);
    if (target <= now_ns()) return;
    // Pause, stop and state operations notify, and end the sleep at once.
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_until(lock, steady_at(target), [this] { return !running || paused || held; });
}

void EmulationThread::park() {
    std::unique_lock<std::mutex> lock(mutex);
    parked = true;
    cv.notify_all();
    cv.wait(lock, [this] { return !running || (!paused && !held); });
    parked = false;
}

bool EmulationThread::hold(bool may_wait) {
    {
        // Every side holds the mutex only briefly and never while it waits for
        // the interpreter lock: a parked thread is held without giving that
        // lock up. Given up and taken back at once in a loop of state reads,
        // it would never reach a thread waiting for it.
        std::lock_guard<std::mutex> lock(mutex);
        if (parked || !running) {
            held = true;
            return true;
        }
        if (!may_wait) return false;
    }
    Unlocked unlocked;  // the thread may be waiting for the interpreter lock in a callback
    std::unique_lock<std::mutex> lock(mutex);
    held = true;
    cv.wait(lock, [this] { return parked || !running; });
    return true;
}

void EmulationThread::release(bool rebase_pacing) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The cycle count changed under the parked thread: count real time afresh from here.
        if (rebase_pacing) count_from_now();
        held = false;
    }
    cv.notify_all();
}

void EmulationThread::set_paused(bool p) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (p && !paused) {
            pause_start = now_ns();
            paused = true;
        } else if (!p && paused) {
            paused_total += now_ns() - pause_start;
            paused = false;
        }
    }
    cv.notify_all();
}
