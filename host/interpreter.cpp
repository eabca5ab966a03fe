#include "interpreter.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "emulation_thread.h"
#include "wrapper.h"

namespace py = pybind11;

namespace {

// How long the exit hook waits for other threads to finish their native work
// (a frame, a state file): far more than any of it takes.
constexpr auto NATIVE_WORK_WAIT = std::chrono::seconds(5);

std::atomic<bool> exiting{false};
std::thread::id exiting_thread;

// Threads other than emulation threads inside native work, for the exit hook.
std::mutex native_mutex;
std::condition_variable native_cv;
int native_threads = 0;

// Emulation threads return from native work into their callbacks: the exit
// hook joins them before the interpreter finalizes.
bool may_take_the_lock_back() {
    return !exiting || std::this_thread::get_id() == exiting_thread || machine_on_this_thread();
}

[[noreturn]] void wait_for_process_end() {
    std::mutex mutex;
    std::unique_lock<std::mutex> lock(mutex);
    std::condition_variable never;
    for (;;) never.wait(lock);
}

std::mutex orphans_mutex;
std::vector<PyObject*> orphans;  // machines waiting to be freed on the main thread
bool drain_scheduled = false;

int free_orphans(void*) {
    std::vector<PyObject*> batch;
    {
        std::lock_guard<std::mutex> lock(orphans_mutex);
        batch.swap(orphans);
        drain_scheduled = false;
    }
    for (PyObject* machine : batch) Py_DECREF(machine);
    return 0;
}

std::mutex machines_mutex;
std::vector<NESUnit*> machines;

}  // namespace

Unlocked::Unlocked() {
    if (!Py_IsInitialized() || !PyGILState_Check()) return;
    state = PyEval_SaveThread();
    if (!may_take_the_lock_back()) wait_for_process_end();
    // The exit hook waits for the others' native work, not for its own.
    if (!machine_on_this_thread() && !(exiting && std::this_thread::get_id() == exiting_thread)) {
        std::lock_guard<std::mutex> lock(native_mutex);
        ++native_threads;
        counted = true;
    }
}

Unlocked::~Unlocked() {
    if (!state) return;
    if (!may_take_the_lock_back()) {
        count_out();
        wait_for_process_end();
    }
    PyEval_RestoreThread(state);
    // Counted out only with the lock back: the exit hook, which waits without
    // it, lets a thread that began taking it back before the exit finish, so
    // that none is still waiting for it as the interpreter finalizes.
    count_out();
}

void Unlocked::count_out() {
    if (!counted) return;
    counted = false;
    {
        std::lock_guard<std::mutex> lock(native_mutex);
        --native_threads;
    }
    native_cv.notify_all();
}

bool interpreter_exiting() { return exiting; }

void free_on_main_thread(PyObject* machine) {
    std::lock_guard<std::mutex> lock(orphans_mutex);
    orphans.push_back(machine);
    // One pending call at a time drains them all, so the interpreter's queue
    // of pending calls (32 entries) never overflows; when it is full with
    // others' calls, the next hand-over or the exit hook tries again.
    if (!drain_scheduled && Py_AddPendingCall(free_orphans, nullptr) == 0) drain_scheduled = true;
}

void enlist(NESUnit* machine) {
    std::lock_guard<std::mutex> lock(machines_mutex);
    machines.push_back(machine);
}

void delist(NESUnit* machine) {
    std::lock_guard<std::mutex> lock(machines_mutex);
    machines.erase(std::remove(machines.begin(), machines.end(), machine), machines.end());
}

void finish_machines_at_exit() {
    exiting_thread = std::this_thread::get_id();
    exiting = true;
    bool settled = false;
    {
        Unlocked unlocked;
        std::unique_lock<std::mutex> lock(native_mutex);
        settled = native_cv.wait_for(lock, NATIVE_WORK_WAIT, [] { return native_threads == 0; });
    }
    free_orphans(nullptr);
    std::vector<py::object> alive;
    {
        std::lock_guard<std::mutex> lock(machines_mutex);
        for (NESUnit* m : machines)
            if (m->keeps_battery() || m->thread.joinable())
                alive.push_back(py::cast(m, py::return_value_policy::reference));
    }
    // Every emulation thread first: one may be stepping another machine from its callback.
    for (const py::object& machine : alive) machine.cast<NESUnit&>().end_thread_at_exit();
    for (const py::object& machine : alive) machine.cast<NESUnit&>().write_battery_at_exit(settled);
}
