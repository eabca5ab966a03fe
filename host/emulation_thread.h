// A machine's emulation thread: the console run in slices of emulated time
// paced to real time, parked while paused or held for a state operation; and
// the rules of which thread may step a machine when.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class BatteryWriter;
class NESUnit;

// The machine whose emulation thread this is (null on every other thread).
const NESUnit* machine_on_this_thread();

// Reports an error that ended a run on the emulation thread, where no caller
// can receive it: through Python's unraisable-exception hook when Python is there.
void report_thread_error(const char* what, bool verbose);

// start and runFrame from a callback on the machine's own emulation thread
// would wait for, or step beside, the very thread that calls them.
void refuse_on_own_thread(const NESUnit* machine, const char* call);

// Marks a machine busy for one call of start, stop, runFrame or a state
// operation; a second such call meanwhile raises RuntimeError instead of waiting.
class BusyGuard {
public:
    BusyGuard(std::atomic<bool>& flag, const char* call);
    ~BusyGuard() { flag = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    std::atomic<bool>& flag;
};

class EmulationThread {
public:
    explicit EmulationThread(NESUnit& machine) : machine(machine) {}
    EmulationThread(const EmulationThread&) = delete;
    EmulationThread& operator=(const EmulationThread&) = delete;

    // True while a run goes on; cleared by end(), and by the thread when its
    // run ends by itself (an error, a raising callback).
    std::atomic<bool> running{false};
    std::atomic<bool> paused{false};

    // Starts the thread, pacing from now and the machine's cycle count.
    void launch();
    // Asks the run to end (with the pacing lock held, so that a sleeping or
    // parked thread sees it); join() then waits for the thread.
    void end();
    bool joinable() const { return thread.joinable(); }
    // Waits for the thread, without the interpreter lock, which it may be
    // waiting for inside a Python callback.
    void join();
    // From the machine's own per-frame callback: the run ends when the
    // callback returns, and the battery writer's last copy is written now.
    void end_from_callback();
    void set_paused(bool p);
    // From another machine's emulation thread: the run ends without waiting
    // for it (the two threads could wait for each other), and the thread
    // writes the battery RAM file itself once it has stopped.
    void end_writing_battery();
    // Parks the thread for a state operation (it must be paused); release()
    // lets it go on, counting the pacing afresh from the machine's new cycle
    // count when the operation changed it. Without may_wait, holds nothing
    // and returns false when the thread is not parked yet.
    bool hold(bool may_wait);
    void release(bool rebase_pacing);

private:
    void body();
    // Steps until the CPU cycle count reaches end, or the run is interrupted.
    void run_slice(int64_t end);
    void pace();
    void park();
    void count_from_now();

    NESUnit& machine;
    std::thread thread;
    std::atomic<bool> held{false};  // a state operation keeps the thread parked
    // paused, held and running change under mutex, and the thread waits on cv.
    std::mutex mutex;
    std::condition_variable cv;
    bool parked = false;  // the thread waits in a pause (under mutex)
    // Pacing: real time counts from run_start (steady-clock ns) and emulated
    // time from run_start_cycles, less the time spent paused.
    int64_t run_start_cycles = 0;
    std::atomic<int64_t> run_start{0};
    std::atomic<int64_t> pause_start{0};      // when the current pause began
    std::atomic<int64_t> paused_total{0};     // ns spent paused since run_start
    BatteryWriter* battery_writer = nullptr;  // the run's writer of the battery RAM file, while it runs
    std::atomic<bool> battery_at_end{false};  // the thread writes the battery RAM file as it ends
};
