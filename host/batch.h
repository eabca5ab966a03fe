// Many machines of one cartridge stepped in one call ("Batch"): each machine's
// frames run on a pool of native threads without the interpreter lock, and
// the observations, RAM and episode ends land in arrays made once.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "observation.h"
#include "wrapper.h"

// Threads that share out the indices of a job, each its fixed share; the
// calling thread takes one too.
class WorkerPool {
public:
    explicit WorkerPool(int threads);  // threads counts the caller
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Calls job(i) once for every i below count and returns when all are
    // done; the first exception a call throws is thrown again here.
    void run(int count, const std::function<void(int)>& job);
    int threads() const { return static_cast<int>(workers.size()) + 1; }

private:
    void work(int share);
    // Calls job(i) for every i of this thread's share: share, share + threads(), ...
    void take_share(int share);

    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable wake, finished;
    uint64_t generation = 0;  // counts the jobs handed out
    int busy = 0;             // workers still on the current job
    bool closing = false;
    const std::function<void(int)>* job = nullptr;
    int count = 0;
    std::exception_ptr failure;
};

struct BatchSettings {
    int frameskip = 4;
    ObsSpec obs;
    int64_t max_steps = 0;  // 0: episodes end only when the caller says so
    NES::Accuracy accuracy = NES::Accuracy::standard;
    int threads = 0;  // 0: one per core, at most one per machine
};

class Batch {
public:
    Batch(const std::string& image, int n, const BatchSettings& settings);

    // Steps every machine by one action: a pad byte each (bit 0 A ... bit 7
    // Right). A machine whose done flag is set is reset instead.
    void step(const uint8_t* pads);
    // Resets one machine (or all, index < 0) now.
    void reset(int index);

    int size() const { return static_cast<int>(machines.size()); }

    const BatchSettings settings;
    std::vector<std::unique_ptr<NESUnit>> machines;
    std::vector<std::vector<uint8_t>> reset_states;  // each machine's reset snapshot
    std::vector<ObsWriter> writers;
    // The arrays Python views: one row per machine.
    std::vector<uint8_t> observations;
    std::vector<uint8_t> ram;
    std::vector<uint8_t> done;       // bool
    std::vector<int32_t> noops;      // frames without buttons run after each reset
    std::vector<int64_t> steps;      // steps since each machine's reset
    std::vector<int64_t> frames;     // each machine's frame count
    std::vector<uint8_t> pad_bytes;  // step's actions as pad bytes
    // Taken by every call for its duration: two threads never use one batch at once.
    std::atomic<bool> busy{false};
    WorkerPool pool;

private:
    void step_one(int i, uint8_t pad);
    void reset_one(int i);
    void run_frames(int i, int count);
    void record(int i);
};

// Binds the Python class "Batch".
void define_batch(pybind11::module_& m);
