#include "batch.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "cpu.h"
#include "interpreter.h"
#include "py_support.h"

namespace py = pybind11;

// ---- The pool ----

WorkerPool::WorkerPool(int threads) {
    for (int t = 1; t < threads; ++t) workers.emplace_back([this, t] { work(t); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex);
        closing = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
}

void WorkerPool::take_share(int share) {
    // Fixed shares rather than the first free index: a thread woken late
    // must not find its machines taken by the caller, which would then run
    // them one after the other.
    for (int i = share; i < count; i += threads()) {
        try {
            (*job)(i);
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!failure) failure = std::current_exception();
        }
    }
}

void WorkerPool::work(int share) {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return closing || generation != seen; });
            if (closing) return;
            seen = generation;
        }
        take_share(share);
        std::lock_guard lock(mutex);
        if (--busy == 0) finished.notify_one();
    }
}

void WorkerPool::run(int jobs, const std::function<void(int)>& call) {
    {
        std::lock_guard lock(mutex);
        job = &call;
        count = jobs;
        failure = nullptr;
        busy = static_cast<int>(workers.size());
        ++generation;
    }
    wake.notify_all();
    take_share(0);
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return busy == 0; });
    job = nullptr;
    if (failure) std::rethrow_exception(failure);
}

// ---- The machines ----

namespace {

int pool_threads(int asked, int machines) {
    if (asked > 0) return std::min(asked, machines);
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::min(cores, machines);
}

}  // namespace

Batch::Batch(const std::string& image, int n, const BatchSettings& settings)
    : settings(settings), pool(pool_threads(settings.threads, n)) {
    observations.resize(settings.obs.bytes() * n);
    ram.resize(static_cast<std::size_t>(RAM_OBS_LEN) * n);
    done.assign(n, 0);
    noops.assign(n, 0);
    steps.assign(n, 0);
    frames.assign(n, 0);
    pad_bytes.assign(n, 0);
    // Unpaced, silent, without files: the batch keeps nothing on disk.
    const MachineSettings machine{0, false, settings.accuracy, BatteryFile::none};
    for (int i = 0; i < n; ++i) {
        machines.push_back(std::make_unique<NESUnit>(image, machine));
        machines.back()->ppu->rgb_picture = false;  // observations come from the palette indices
        reset_states.push_back(NES::save_snapshot(*machines.back()->cpu));
        writers.emplace_back(settings.obs);
    }
    reset(-1);  // the first observations
}

void Batch::run_frames(int i, int count) {
    NESUnit& m = *machines[i];
    for (int f = 0; f < count; ++f) {
        if (f == count - 1) writers[i].hold(*m.ppu);  // the frame before the last, for max pooling
        m.step_frame();
    }
}

void Batch::record(int i) {
    NESUnit& m = *machines[i];
    std::memcpy(ram.data() + static_cast<std::size_t>(RAM_OBS_LEN) * i, m.cpu->memory, RAM_OBS_LEN);
    frames[i] = m.frame_count();
}

void Batch::reset_one(int i) {
    NESUnit& m = *machines[i];
    const std::vector<uint8_t>& state = reset_states[i];
    NES::load_snapshot(*m.cpu, state.data(), state.size());
    m.controller0 = NES::Controller();
    // As after a step without frames: with no frames the current picture is
    // also the one before it.
    writers[i].hold(*m.ppu);
    run_frames(i, std::max(noops[i], 0));
    writers[i].fill(*m.cpu, *m.ppu, observations.data() + settings.obs.bytes() * i);
    steps[i] = 0;
    done[i] = 0;
    record(i);
}

void Batch::step_one(int i, uint8_t pad) {
    if (done[i]) {
        reset_one(i);
        return;
    }
    NESUnit& m = *machines[i];
    for (int b = 0; b < 8; ++b) m.controller0.buttons[b] = (pad >> b) & 1;
    run_frames(i, settings.frameskip);
    writers[i].push(*m.cpu, *m.ppu, observations.data() + settings.obs.bytes() * i);
    ++steps[i];
    if (settings.max_steps && steps[i] >= settings.max_steps) done[i] = 1;
    record(i);
}

void Batch::step(const uint8_t* pads) {
    pool.run(size(), [&](int i) { step_one(i, pads[i]); });
}

void Batch::reset(int index) {
    if (index >= 0) {
        reset_one(index);
        return;
    }
    pool.run(size(), [&](int i) { reset_one(i); });
}

// ---- Python ----

namespace {

// Refuses a second call on a batch while one is under way on another thread.
class BatchCall {
public:
    BatchCall(Batch& batch, const char* call) : flag(batch.busy) {
        bool expected = false;
        if (!flag.compare_exchange_strong(expected, true))
            throw std::runtime_error(std::string(call) + ": the batch is busy in another call on another thread");
    }
    ~BatchCall() { flag = false; }
    BatchCall(const BatchCall&) = delete;
    BatchCall& operator=(const BatchCall&) = delete;

private:
    std::atomic<bool>& flag;
};

std::string cartridge_image(const py::object& rom) {
    if (py::isinstance<py::bytes>(rom) || py::isinstance<py::bytearray>(rom) || py::isinstance<py::memoryview>(rom)) {
        const auto data = py::reinterpret_steal<py::bytes>(PyBytes_FromObject(rom.ptr()));
        if (!data) throw py::error_already_set();
        return data;
    }
    const FsPath path = rom.cast<FsPath>();
    std::unique_ptr<NES::ROM> cartridge;
    {
        Unlocked unlocked;
        cartridge = std::make_unique<NES::ROM>(path.bytes.c_str(), false);
    }
    return std::string(cartridge->image.begin(), cartridge->image.end());
}

// Bounds that turn a mistyped size into a clear error rather than an
// allocation the system cannot give.
constexpr int MAX_MACHINES = 4096;
constexpr std::size_t MAX_OBSERVATION_BYTES = std::size_t{4} << 30;

int machine_index(const Batch& batch, int index, const char* call) {
    if (index < 0 || index >= batch.size())
        throw py::index_error(std::string(call) + ": index " + std::to_string(index) + " is out of range for " +
                              std::to_string(batch.size()) + " machines");
    return index;
}

// The actions as pad bytes: an (n,) array of whole numbers 0-255 or an (n, 8)
// array of truth values in pad order.
void read_actions(Batch& batch, const py::array& actions) {
    const auto n = static_cast<py::ssize_t>(batch.size());
    const auto kind = actions.dtype().kind();
    if (actions.ndim() == 1 && actions.shape(0) == n && (kind == 'i' || kind == 'u')) {
        const auto values = py::array_t<int64_t, py::array::forcecast>::ensure(actions);
        const int64_t* v = values.data();
        for (py::ssize_t i = 0; i < n; ++i) {
            if (v[i] < 0 || v[i] > 255)
                throw py::value_error("Batch.step: an action of shape (n,) is a pad byte from 0 to 255, got " +
                                      std::to_string(v[i]) + " for machine " + std::to_string(i));
            batch.pad_bytes[i] = static_cast<uint8_t>(v[i]);
        }
        return;
    }
    if (actions.ndim() == 2 && actions.shape(0) == n && actions.shape(1) == 8 &&
        (kind == 'b' || kind == 'i' || kind == 'u')) {
        const auto values = py::array_t<bool, py::array::forcecast>::ensure(actions);
        auto v = values.unchecked<2>();
        for (py::ssize_t i = 0; i < n; ++i) {
            uint8_t pad = 0;
            for (int b = 0; b < 8; ++b) pad |= static_cast<uint8_t>(v(i, b)) << b;
            batch.pad_bytes[i] = pad;
        }
        return;
    }
    throw py::value_error(
        "Batch.step: actions must be an integer array of shape (" + std::to_string(n) +
        ",) or a boolean or integer array of shape (" + std::to_string(n) + ", 8), got shape " +
        py::str(py::tuple(py::cast(std::vector<py::ssize_t>(actions.shape(), actions.shape() + actions.ndim()))))
            .cast<std::string>() +
        " of " + py::str(actions.dtype()).cast<std::string>());
}

template <typename T>
py::array_t<T> rows_view(py::object self, std::vector<T>& data, std::vector<py::ssize_t> row_shape = {}) {
    Batch& batch = self.cast<Batch&>();
    std::vector<py::ssize_t> shape{batch.size()};
    shape.insert(shape.end(), row_shape.begin(), row_shape.end());
    return py::array_t<T>(shape, data.data(), self);
}

py::array_t<uint8_t> observations_view(py::object self) {
    Batch& batch = self.cast<Batch&>();
    return rows_view(self, batch.observations, batch.settings.obs.shape());
}

py::array_t<bool> done_view(py::object self) {
    Batch& batch = self.cast<Batch&>();
    static_assert(sizeof(bool) == sizeof(uint8_t));
    return py::array_t<bool>({batch.size()}, reinterpret_cast<bool*>(batch.done.data()), self);
}

}  // namespace

void define_batch(py::module_& m) {
    py::class_<Batch>(m, "Batch",
                      "n machines of one cartridge, stepped together: step runs every machine's frames on a pool of\n"
                      "native threads with the interpreter lock released and writes the observations, work RAM and\n"
                      "episode ends into arrays made once. Each call returns views of those arrays: copy what you\n"
                      "keep.")
        .def(
            py::init([](const py::object& rom, int n, int frameskip, const std::string& obs_type,
                        std::optional<std::pair<int, int>> obs_shape, int frame_stack, bool max_pool,
                        std::optional<int64_t> max_steps, NES::Accuracy accuracy, std::optional<int> threads) {
                if (n < 1 || n > MAX_MACHINES)
                    throw py::value_error("Batch: n must be from 1 to " + std::to_string(MAX_MACHINES) + ", got " +
                                          std::to_string(n));
                if (frameskip < 1)
                    throw py::value_error("Batch: frameskip must be at least 1, got " + std::to_string(frameskip));
                if (max_steps && *max_steps < 1)
                    throw py::value_error("Batch: max_steps must be at least 1 or None, got " +
                                          std::to_string(*max_steps));
                if (threads && *threads < 1)
                    throw py::value_error("Batch: threads must be at least 1 or None, got " + std::to_string(*threads));
                BatchSettings settings{frameskip, ObsSpec::parse(obs_type, obs_shape, frame_stack, max_pool),
                                       max_steps.value_or(0), accuracy, threads.value_or(0)};
                if (settings.obs.bytes() * n > MAX_OBSERVATION_BYTES)
                    throw py::value_error("Batch: the observations of " + std::to_string(n) + " machines would take " +
                                          std::to_string(settings.obs.bytes() * n >> 20) +
                                          " MiB; at most 4 GiB (fewer machines, a smaller obs_shape or frame_stack)");
                const std::string image = cartridge_image(rom);
                warn_if_unsupported(NES::ROM(static_cast<long>(image.size()),
                                             reinterpret_cast<unsigned char*>(const_cast<char*>(image.data())), false));
                return std::make_unique<Batch>(image, n, settings);
            }),
            "rom: a path (str or os.PathLike) or the bytes of a cartridge image.\n"
            "n: the number of machines, 1 to 4096 (their observations at most 4 GiB).\n"
            "frameskip: frames each step holds its action for.\n"
            "obs_type: \"rgb\", \"grayscale\" or \"ram\", as for pictor.Observer.\n"
            "obs_shape: (height, width) for smaller pictures, as for pictor.Observer.\n"
            "frame_stack: the last frame_stack observations of each machine, as for pictor.Observer.\n"
            "max_pool: each picture is the element-wise maximum of the last two frames of its step.\n"
            "max_steps: steps after which a machine's episode ends (its done flag is set); None: never.\n" ACCURACY_DOC
            "threads: native threads that step the machines, the calling one included; default one per core,\n"
            "    at most one per machine.",
            py::arg("rom"), py::arg("n"), py::kw_only(), py::arg("frameskip") = 4, py::arg("obs_type") = "rgb",
            py::arg("obs_shape") = py::none(), py::arg("frame_stack") = 1, py::arg("max_pool") = false,
            py::arg("max_steps") = py::none(), py::arg("accuracy") = NES::Accuracy::standard,
            py::arg("threads") = py::none())
        .def("__len__", &Batch::size)
        .def_property_readonly(
            "threads", [](const Batch& b) { return b.pool.threads(); },
            "Native threads that step the machines, the calling one included.")
        .def(
            "step",
            [](py::object self, const py::array& actions) {
                Batch& batch = self.cast<Batch&>();
                BatchCall call(batch, "Batch.step");
                read_actions(batch, actions);
                {
                    Unlocked unlocked;
                    batch.step(batch.pad_bytes.data());
                }
                return py::make_tuple(observations_view(self), rows_view(self, batch.ram, {RAM_OBS_LEN}),
                                      done_view(self));
            },
            "Steps every machine by one action and returns (observations, ram, done).\n\n"
            "actions: an (n,) array of pad bytes from 0 to 255 (bit 0 A, 1 B, 2 Select, 3 Start, 4 Up, 5 Down,\n"
            "    6 Left, 7 Right) or an (n, 8) array of truth values in that order. A machine whose done flag is\n"
            "    set is reset instead (to its reset snapshot, then noops frames without buttons), its action unused.\n"
            "done is set for the machines that reached max_steps; it is writable: set an entry to end that\n"
            "machine's episode at the next step.",
            py::arg("actions"))
        .def(
            "reset",
            [](py::object self, std::optional<int> index) {
                Batch& batch = self.cast<Batch&>();
                BatchCall call(batch, "Batch.reset");
                const int i = index ? machine_index(batch, *index, "Batch.reset") : -1;
                {
                    Unlocked unlocked;
                    batch.reset(i);
                }
                return observations_view(self);
            },
            "Resets every machine (or one) to its reset snapshot, runs its noops frames without buttons, and\n"
            "returns the observations.\n\n"
            "index: the machine, from 0; None for all.",
            py::arg("index") = py::none())
        .def_property_readonly("observations", &observations_view, "The (n, ...) uint8 observations.")
        .def_property_readonly(
            "ram", [](py::object self) { return rows_view(self, self.cast<Batch&>().ram, {RAM_OBS_LEN}); },
            "The (n, 2048) uint8 work RAM of every machine after the last step.")
        .def_property_readonly("done", &done_view, "The (n,) writable bool episode ends.")
        .def_property_readonly(
            "noops", [](py::object self) { return rows_view(self, self.cast<Batch&>().noops); },
            "The (n,) writable int32 frames without buttons each machine runs after its resets.")
        .def_property_readonly(
            "frameCount", [](py::object self) { return rows_view(self, self.cast<Batch&>().frames); },
            "The (n,) int64 frames each machine has run since power-on.")
        .def(
            "getState",
            [](Batch& batch, int index) {
                BatchCall call(batch, "Batch.getState");
                const std::vector<uint8_t> state =
                    NES::save_snapshot(*batch.machines[machine_index(batch, index, "Batch.getState")]->cpu);
                return py::bytes(reinterpret_cast<const char*>(state.data()), state.size());
            },
            "The snapshot of a machine, as NES.getState gives it.\n\nindex: the machine, from 0.", py::arg("index"))
        .def(
            "setState",
            [](Batch& batch, int index, const py::bytes& state) {
                BatchCall call(batch, "Batch.setState");
                const std::string_view data = state;
                NES::load_snapshot(*batch.machines[machine_index(batch, index, "Batch.setState")]->cpu,
                                   reinterpret_cast<const uint8_t*>(data.data()), data.size());
            },
            "Restores a snapshot (of NES.getState or Batch.getState) into a machine; ValueError, with the\n"
            "machine unchanged, for one that does not fit it. Its observation changes at its next step.\n\n"
            "index: the machine, from 0.\n"
            "state: the snapshot (bytes).",
            py::arg("index"), py::arg("state"))
        .def(
            "setResetState",
            [](Batch& batch, int index, const py::bytes& state) {
                BatchCall call(batch, "Batch.setResetState");
                const int i = machine_index(batch, index, "Batch.setResetState");
                const std::string_view data = state;
                const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
                // Checked by loading it, so that a bad snapshot fails here rather than at a reset.
                const std::vector<uint8_t> now = NES::save_snapshot(*batch.machines[i]->cpu);
                NES::load_snapshot(*batch.machines[i]->cpu, bytes, data.size());
                NES::load_snapshot(*batch.machines[i]->cpu, now.data(), now.size());
                batch.reset_states[i].assign(bytes, bytes + data.size());
            },
            "Makes a snapshot the one a machine returns to at its resets; ValueError for one that does not fit\n"
            "it.\n\n"
            "index: the machine, from 0.\n"
            "state: the snapshot (bytes).",
            py::arg("index"), py::arg("state"));
}
