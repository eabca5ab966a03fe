#include "wrapper.h"

#include <fcntl.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "cpu.h"
#include "cpu_helper.h"
#include "glob_const.h"
#include "registry.h"

namespace py = pybind11;
namespace fs = std::filesystem;

#ifndef PICTOR_VERSION
#define PICTOR_VERSION "0+unknown"
#endif

// A file-system path from Python: str (encoded as the file system does),
// bytes or bytearray (taken byte for byte), or an os.PathLike giving either.
struct FsPath {
    std::string bytes;
};

namespace pybind11::detail {
template <>
struct type_caster<FsPath> {
    PYBIND11_TYPE_CASTER(FsPath, const_name("str | bytes | os.PathLike[str] | os.PathLike[bytes]"));

    bool load(handle src, bool) {
        object path = reinterpret_borrow<object>(src);
        if (PyByteArray_Check(path.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(path.ptr()),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(path.ptr())));
            return true;
        }
        if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr())) {
            if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path.ptr())), "__fspath__")) return false;
            path = reinterpret_steal<object>(PyOS_FSPath(path.ptr()));
            if (!path) throw error_already_set();
        }
        if (PyUnicode_Check(path.ptr())) {
            path = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
            if (!path) throw error_already_set();
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(path.ptr(), &data, &size) != 0) throw error_already_set();
        value.bytes.assign(data, static_cast<std::size_t>(size));
        // The C library would silently cut the path at the first NUL.
        if (value.bytes.find('\0') != std::string::npos) throw value_error("embedded null byte in a path");
        return true;
    }
};
}  // namespace pybind11::detail

// A machine or a pad as a method's self or as an argument: only an object of
// the class that __init__ has built. None, another type and an object made by
// __new__ alone are refused (TypeError) before the method touches anything.
template <typename T>
struct Live {
    T* object = nullptr;
    T* operator->() const { return object; }
    T& operator*() const { return *object; }
};

namespace pybind11::detail {
template <typename T>
struct type_caster<Live<T>> {
    PYBIND11_TYPE_CASTER(Live<T>, make_caster<T>::name);

    bool load(handle src, bool convert) {
        if (!src || !isinstance<T>(src)) return false;
        if (!is_holder_constructed(src.ptr())) {
            const std::string name = str(type::handle_of<T>().attr("__name__"));
            throw type_error("this pictor." + name + " was made by " + name + ".__new__ without " + name +
                             ".__init__; build one with pictor." + name + "(...)");
        }
        make_caster<T> base;
        if (!base.load(src, convert)) return false;
        value.object = &cast_op<T&>(base);
        return true;
    }
};
}  // namespace pybind11::detail

namespace {

constexpr int SAMPLE_RATE = 44100;
constexpr int64_t NS_PER_S = 1'000'000'000;
// The emulation thread sleeps once per slice of emulated time (2 ms). Each
// sleep and wake-up costs processor time and leaves the caches cold; at 1 ms
// slices that was a tenth of the thread's time in real-time play.
constexpr int64_t SLICES_PER_S = 500;
constexpr std::size_t BATTERY_RAM_LEN = 0x2000;
// While the emulation thread runs, changed battery RAM reaches its file within this.
constexpr int64_t BATTERY_INTERVAL_NS = 2 * NS_PER_S;
constexpr std::size_t MAX_STATE_FILE_LEN = 64 << 20;  // longer files are no state this module wrote
constexpr int PICKLE_VERSION = 1;

// The module's own copy of the system palette behind "colorLookup": shared by
// every machine, writable from Python, never read by the PPU.
std::array<uint8_t, sizeof NES::NTSC_TO_RGB> palette = [] {
    std::array<uint8_t, sizeof NES::NTSC_TO_RGB> p{};
    std::memcpy(p.data(), NES::NTSC_TO_RGB, p.size());
    return p;
}();

// The machine whose emulation thread this is (null on every other thread).
thread_local const NESUnit* current_machine = nullptr;

// Every machine alive, for the writes of battery RAM at interpreter exit.
std::mutex machines_mutex;
std::vector<NESUnit*> machines;

void enlist(NESUnit* machine) {
    std::lock_guard<std::mutex> lock(machines_mutex);
    machines.push_back(machine);
}

void delist(NESUnit* machine) {
    std::lock_guard<std::mutex> lock(machines_mutex);
    machines.erase(std::remove(machines.begin(), machines.end(), machine), machines.end());
}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::steady_clock::time_point steady_at(int64_t ns) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(ns)));
}

int32_t clock_rate(int rate) { return rate > 0 ? rate : INT32_MAX; }

// Whether something (of any kind) exists at the path; other failures of the
// status query than absence throw.
bool path_exists(const std::string& path) { return fs::exists(fs::status(path)); }

void make_dir_if_missing(const std::string& path) {
    if (!path_exists(path)) fs::create_directory(path);
}

// Writes a file through a temporary in the same folder that is renamed over the
// target only once complete, so a failure never leaves a partial file behind.
// fill returns false when it could not write everything.
template <typename Fill>
void write_file_atomically(const std::string& path, Fill fill) {
    // A FIFO, a device or a directory there is not replaced by the file.
    if (!NES::regular_or_absent(path)) throw NES::FileError(0, path, "not a regular file, left as it is");
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) throw NES::FileError(errno, path, "could not create a temporary file for");
    fchmod(fd, 0644);
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        int err = errno;
        close(fd);
        unlink(tmp.c_str());
        throw NES::FileError(err, path, "could not open");
    }
    errno = 0;
    bool ok = false;
    try {
        ok = fill(file);
    } catch (const NES::FileError& e) {
        fclose(file);
        unlink(tmp.c_str());
        throw NES::FileError(e.err, path, "could not write");
    } catch (...) {
        fclose(file);
        unlink(tmp.c_str());
        throw;
    }
    ok = ok && fflush(file) == 0 && !ferror(file) && fsync(fileno(file)) == 0;
    int err = errno ? errno : EIO;
    if (fclose(file) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        throw NES::FileError(err, path, "could not write");
    }
    NES::sync_parent_dir(path);  // the rename itself survives a crash
}

// Keeps a machine's Python object alive across a per-frame callback on the
// emulation thread, which may drop every other reference to it. If the machine
// would be freed here, its last reference is handed to the interpreter's main
// thread instead (whose destructor then joins this thread), and the run ends.
class OwnerHold {
public:
    OwnerHold(py::object owner, std::atomic<bool>& running) : owner(owner.release().ptr()), running(running) {}
    ~OwnerHold() {
        if (Py_REFCNT(owner) > 1) {
            Py_DECREF(owner);
            return;
        }
        // If the queue of pending calls is full the machine is leaked rather than freed here.
        running = false;
        Py_AddPendingCall(
            [](void* p) {
                Py_DECREF(static_cast<PyObject*>(p));
                return 0;
            },
            owner);
    }
    OwnerHold(const OwnerHold&) = delete;
    OwnerHold& operator=(const OwnerHold&) = delete;

private:
    PyObject* owner;
    std::atomic<bool>& running;
};

// Marks a machine busy for one call of start, stop, runFrame or a state operation.
class BusyGuard {
public:
    BusyGuard(std::atomic<bool>& flag, const char* call) : flag(flag) {
        bool expected = false;
        if (!flag.compare_exchange_strong(expected, true))
            throw std::runtime_error(std::string(call) +
                                     ": the machine is busy in another call (start, stop, runFrame or a state "
                                     "operation) on another thread");
    }
    ~BusyGuard() { flag = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    std::atomic<bool>& flag;
};

// Reports an error that ended a run on the emulation thread, where no caller
// can receive it: through Python's unraisable-exception hook when Python is there.
void report_thread_error(const char* what, bool verbose) {
    if (!Py_IsInitialized()) {
        if (verbose) printf("Emulation thread stopped: %s\n", what);
        return;
    }
    py::gil_scoped_acquire gil;
    PyErr_SetString(PyExc_RuntimeError, what);
    PyErr_WriteUnraisable(py::str("pictor.NES emulation thread").ptr());
}

constexpr const char* THREAD_CONTEXT = "pictor.NES per-frame callback on the emulation thread";

// start and runFrame from a callback on the machine's own emulation thread
// would wait for, or step beside, the very thread that calls them.
void refuse_on_own_thread(const NESUnit* machine, const char* call) {
    if (current_machine == machine)
        throw std::runtime_error(std::string(call) + ": not allowed from this machine's own per-frame callback");
}

// Releases the interpreter lock for a scope when this thread holds it.
class Unlocked {
public:
    Unlocked() {
        if (Py_IsInitialized() && PyGILState_Check()) release.emplace();
    }

private:
    std::optional<py::gil_scoped_release> release;
};

// Claims a machine for a state operation (snapshot, restore, reset, state
// files, pickling): never from its own per-frame callback, never beside
// another start, stop, runFrame or state operation, and only while its
// emulation thread is gone or parked in a pause, where it stays until the
// operation ends. rebase() marks an operation that changed the cycle count,
// so that a parked thread counts its pacing afresh.
class StateAccess {
public:
    StateAccess(NESUnit& machine, const char* call) : machine(machine), guard(claim(machine, call), call) {
        if (machine.running) {
            if (!machine.paused)
                throw std::runtime_error(std::string(call) +
                                         ": the emulation thread is running; pause it with setPaused(True) or call "
                                         "stop() first");
            machine.hold_thread();
            holding = true;
        } else if (machine.emu_thread.joinable()) {
            Unlocked unlocked;
            machine.emu_thread.join();  // a run that ended by itself
        }
    }
    ~StateAccess() {
        if (holding) machine.release_thread(rebase_pacing);
    }
    StateAccess(const StateAccess&) = delete;
    StateAccess& operator=(const StateAccess&) = delete;

    void rebase() { rebase_pacing = true; }

private:
    static std::atomic<bool>& claim(NESUnit& machine, const char* call) {
        refuse_on_own_thread(&machine, call);
        return machine.busy;
    }

    NESUnit& machine;
    BusyGuard guard;
    bool holding = false;
    bool rebase_pacing = false;
};

// The game folder's name for a cartridge path or file name: the base name
// without its last extension, spaces as '_'. A name that reduces to nothing,
// "." or ".." (".nes", "dir/", "..") would be Lumaret itself or above it:
// such a cartridge is named by its identity, so that each game still has a
// folder (and a battery file) of its own.
std::string game_name(const std::string& path, uint64_t identity) {
    std::string name = path;
    name.erase(0, name.find_last_of("/\\") + 1);  // npos + 1 == 0: no separator
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
    for (char& c : name)
        if (c == ' ') c = '_';
    if (name.empty() || name == "." || name == "..") {
        char hex[17];
        snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(identity));
        name = std::string("unnamed-") + hex;
    }
    return name;
}

std::string mapper_list() {
    std::string list;
    for (std::size_t i = 0; i < NES::boards().size(); ++i) {
        if (i) list += i + 1 == NES::boards().size() ? " and " : ", ";
        list += std::to_string(NES::boards()[i].number);
    }
    return list;
}

std::string unsupported_mapper_message_of(const NES::ROM& rom) {
    if (!dynamic_cast<const NES::DEFAULT_MAPPER*>(rom.mapper.get())) return "";
    return "the cartridge uses mapper " + std::to_string(rom.mapper->number) +
           ", which pictor does not support (supported mappers: " + mapper_list() +
           "); it runs without bank switching and may show nothing";
}

// An unsupported mapper keeps the fallback and warns once per machine built,
// before anything is made on disk (a warning turned into an error is a failed
// construction).
void warn_if_unsupported(const NES::ROM& rom) {
    const std::string message = unsupported_mapper_message_of(rom);
    if (!message.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

// The folder that holds the game folders, when the caller names one.
std::optional<std::string> root_of(const std::optional<FsPath>& save_root) {
    if (!save_root) return std::nullopt;
    return save_root->bytes;
}

std::unique_ptr<NESUnit> machine_from_path(const FsPath& path, int rate, bool verbose,
                                           const std::optional<FsPath>& save_root) {
    auto rom = std::make_unique<NES::ROM>(path.bytes.c_str(), verbose);
    warn_if_unsupported(*rom);
    return std::make_unique<NESUnit>(std::move(rom), path.bytes, rate, verbose, root_of(save_root));
}

std::unique_ptr<NESUnit> machine_from_file_object(const py::object& rom_file, int rate, bool verbose,
                                                  const std::optional<FsPath>& save_root) {
    // str (as UTF-8), bytes and bytearray are all accepted by the string caster.
    const std::string name = rom_file.attr("name").cast<std::string>();
    if (name.find('\0') != std::string::npos) throw py::value_error("embedded null byte in the file's name");
    py::object data = rom_file.attr("read")();
    if (PyUnicode_Check(data.ptr()))
        throw py::type_error(
            "NES: the file object's read() returned str, not bytes: open the cartridge file in binary mode "
            "(open(path, \"rb\"))");
    if (!PyBytes_Check(data.ptr()) && !PyByteArray_Check(data.ptr()))
        throw py::type_error("NES: the file object's read() must return bytes, not " +
                             std::string(Py_TYPE(data.ptr())->tp_name));
    std::string image = data.cast<std::string>();
    auto rom = std::make_unique<NES::ROM>(static_cast<long>(image.size()),
                                          reinterpret_cast<unsigned char*>(image.data()), verbose);
    warn_if_unsupported(*rom);
    return std::make_unique<NESUnit>(std::move(rom), name, rate, verbose, root_of(save_root));
}

// Member functions as methods whose self must be a built machine or pad.
template <typename R, typename C, typename... A>
auto live(R (C::*f)(A...)) {
    return [f](Live<C> self, A... args) -> R { return ((*self).*f)(std::forward<A>(args)...); };
}
template <typename R, typename C, typename... A>
auto live(R (C::*f)(A...) const) {
    return [f](Live<C> self, A... args) -> R { return ((*self).*f)(std::forward<A>(args)...); };
}

// pybind11 ignores a second __init__ (or __setstate__) on an object it has
// built; these methods stand in front of the real ones and refuse it instead.
struct BuildOnce {
    const char* call;  // "NES.__init__"
    const char* kind;  // "pictor.NES"
    PyObject* inner;   // the method it stands in front of
    std::string doc;
    PyMethodDef def;
};
BuildOnce build_once[3];

template <int N>
PyObject* build_once_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const BuildOnce& b = build_once[N];
    if (py::detail::is_holder_constructed(self)) {
        PyErr_Format(PyExc_RuntimeError, "%s: this %s is already built; make a new one instead", b.call, b.kind);
        return nullptr;
    }
    py::tuple full(PyTuple_GET_SIZE(args) + 1);
    full[0] = py::reinterpret_borrow<py::object>(self);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        full[i + 1] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    return PyObject_Call(b.inner, full.ptr(), kwargs);
}

template <int N>
void guard_builder(py::handle type, const char* name, const char* call, const char* kind) {
    BuildOnce& b = build_once[N];
    py::object inner = type.attr(name);
    b.call = call;
    b.kind = kind;
    b.inner = inner.release().ptr();  // kept for the module's lifetime
    b.doc = py::str(py::handle(b.inner).attr("__doc__"));
    b.def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&build_once_call<N>)),
             METH_VARARGS | METH_KEYWORDS, b.doc.c_str()};
    py::object descr =
        py::reinterpret_steal<py::object>(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), &b.def));
    if (!descr) throw py::error_already_set();
    type.attr(name) = descr;
}

// At interpreter exit, while Python still runs, every machine still alive
// ends its emulation thread (rather than have it cut off in the middle of a
// per-frame callback once the interpreter finalizes) and a battery machine
// writes its battery RAM file.
void finish_machines_at_exit() {
    std::vector<py::object> alive;
    {
        std::lock_guard<std::mutex> lock(machines_mutex);
        for (NESUnit* m : machines)
            if (m->keeps_battery() || m->emu_thread.joinable())
                alive.push_back(py::cast(m, py::return_value_policy::reference));
    }
    for (const py::object& machine : alive) machine.cast<NESUnit&>().finish_at_exit();
}

}  // namespace

void ControllerWrapper::updateInputs(py::sequence buttons) {
    const std::size_t count = py::len(buttons);
    if (count < 8) throw py::value_error("Controller.updateInputs needs 8 button states, got " + std::to_string(count));
    bool states[8];
    for (std::size_t i = 0; i < 8; ++i) states[i] = buttons[i].cast<bool>();
    controller.update_inputs(states);
}

// ---- Construction ----

void NESUnit::attach_pads() {
    controller0 = NES::Controller();
    controller1 = NES::Controller();
    cpu->set_controller(&controller0, 0);
    cpu->set_controller(&controller1, 1);
}

NESUnit::NESUnit(int rate, bool verbose) : verbose(verbose) {
    if (verbose) puts("No rom specified.");
    rom = std::make_unique<NES::ROM>(verbose);
    if (verbose) puts("rom created.");
    cpu = std::make_unique<NES::CPU>(false);
    cpu->verbose = verbose;
    cpu->clock_hz = clock_rate(rate);
    apu = std::make_unique<NES::APU>();
    apu->setCPU(cpu.get());
    apu->sample_rate = SAMPLE_RATE;
    cpu->apu = apu.get();
    cpu->loadRom(rom.get(), true);
    attach_pads();
    // What the PPU's constructor does for a CPU, with the PPU told first whether to print.
    ppu = std::make_unique<NES::PPU>();
    ppu->verbose = verbose;
    ppu->cpu = cpu.get();
    cpu->ppu = ppu.get();
    ppu->loadRom(rom.get());  // the inserted cartridge's picture data
    ppu->set_registers();
    cpu->reset();
    enlist(this);
}

// The order shared by the two cartridge constructors: CPU, PPU (attached to
// the CPU), clock rate, APU (attached, rate derived from the clock), pads.
void NESUnit::build_components(int rate) {
    cpu = std::make_unique<NES::CPU>(false);
    cpu->verbose = verbose;
    ppu = std::make_unique<NES::PPU>(cpu.get());
    ppu->verbose = verbose;
    cpu->clock_hz = clock_rate(rate);
    apu = std::make_unique<NES::APU>();
    cpu->apu = apu.get();
    apu->setCPU(cpu.get());
    apu->sample_rate = SAMPLE_RATE;
    attach_pads();
}

void NESUnit::insert(std::unique_ptr<NES::ROM> cartridge, bool load_battery) {
    rom = std::move(cartridge);
    cpu->loadRom(rom.get(), load_battery);
    ppu->loadRom(rom.get());
    cpu->reset();
    std::memcpy(battery_saved, cpu->memory + 0x6000, sizeof battery_saved);
}

namespace {

// The folders a construction made, removed again (those still empty, last
// first) unless the construction succeeds.
class MadeDirs {
public:
    std::vector<std::string> paths;
    bool keep = false;
    MadeDirs() = default;
    ~MadeDirs() {
        if (keep) return;
        for (auto it = paths.rbegin(); it != paths.rend(); ++it) rmdir(it->c_str());
    }
    MadeDirs(const MadeDirs&) = delete;
    MadeDirs& operator=(const MadeDirs&) = delete;
};

}  // namespace

NESUnit::NESUnit(std::unique_ptr<NES::ROM> cartridge, const std::string& name, int rate, bool verbose,
                 const std::optional<std::string>& save_root)
    : verbose(verbose) {
    MadeDirs made;
    detectOS(game_name(name, cartridge->identity), made.paths, save_root);
    build_components(rate);
    insert(std::move(cartridge));
    made.keep = true;
    enlist(this);
}

NESUnit::NESUnit(const std::string& image, int32_t clock_hz, bool verbose) : verbose(verbose) {
    build_components(clock_hz);
    std::string copy = image;
    auto* data = reinterpret_cast<unsigned char*>(copy.data());
    insert(std::make_unique<NES::ROM>(static_cast<long>(copy.size()), data, verbose), false);
    enlist(this);
}

NESUnit::~NESUnit() {
    delist(this);
    // Set with the interpreter lock held (Python frees its objects under it):
    // a Python callback waiting for the lock then finds the run over.
    {
        std::lock_guard<std::mutex> lock(pace_mutex);
        running = false;
    }
    pace_cv.notify_all();
    if (emu_thread.joinable()) join_thread();
    try {
        write_battery_ram();
    } catch (const std::exception& e) {
        if (verbose) printf("Battery RAM not saved: %s\n", e.what());
    }
    rom.reset();
    cpu.reset();
    ppu.reset();
    apu.reset();
}

// ---- Stepping ----

void NESUnit::single_cycle() {
    cpu->clock();
    while (2 * apu->cycles < cpu->cycles) apu->cycle();
    while (ppu->cycles < 3 * cpu->cycles) {
        int64_t frames = ppu->frames;
        ppu->cycle();
        if (ppu->frames != frames) frame_callback();
        if (ppu->debug) {
            printf("PPU REGISTERS: ");
            printf("VBLANK: %i, PPUCTRL: %02x, PPUMASK: %02x, PPUSTATUS: %02x, OAMADDR: N/A (so far), PPUADDR: %04x\n",
                   ppu->in_vblank, cpu->memory[0x2000], cpu->memory[0x2001], cpu->memory[0x2002], ppu->v);
            printf("scanline: %i, cycle: %i\n", ppu->scanline, ppu->dot);
        }
    }
}

void NESUnit::frame_callback() {
    if (std::shared_ptr<const FrameCallback> f = perframefunc.load()) (*f)();
}

void NESUnit::set_frame_callable(py::object callable) {
    if (callable.is_none()) {
        perFrame(FrameCallback());
        frame_callable = py::object();
    } else {
        frame_callable = std::move(callable);
        perFrame([this] { call_frame_callable(); });
    }
}

void NESUnit::call_frame_callable() {
    py::gil_scoped_acquire gil;
    if (current_machine != this) {
        // runFrame: its caller holds the machine, and errors go back to it.
        if (py::object f = frame_callable) f();
        return;
    }
    // On the emulation thread. stop and the destructor clear running with the
    // lock held, so a stopped run calls nothing more.
    if (!running) return;
    // The callable may drop the last other reference to this machine, or to
    // itself; everything it leaves behind is released while the hold lasts.
    OwnerHold hold(py::cast(this, py::return_value_policy::reference), running);
    try {
        if (py::object f = frame_callable) f();
    } catch (py::error_already_set& e) {
        running = false;
        e.discard_as_unraisable(THREAD_CONTEXT);
    }
}

void NESUnit::runFrame() {
    refuse_on_own_thread(this, "NES.runFrame");
    BusyGuard guard(busy, "NES.runFrame");
    if (running) throw std::runtime_error("NES.runFrame: the emulation thread is running; call stop() first");
    if (emu_thread.joinable()) join_thread();  // a run that ended by itself may still finish its step
    // Other machines run meanwhile; a Python callback takes the lock back for its call.
    Unlocked unlocked;
    step_frame();
}

void NESUnit::step_frame() {
    if (cpu->debug || ppu->debug) {
        // The traces print at every step: step by step.
        const int64_t frames = ppu->frames;
        while (ppu->frames == frames) single_cycle();
        return;
    }
    while (cpu->run(std::numeric_limits<int64_t>::max()) != NES::CPU::RunEnd::frame) {
    }
    frame_callback();
    cpu->catch_up();
}

int64_t NESUnit::frame_count() const { return ppu->frames; }

int64_t NESUnit::cycle_count() const { return cpu->cycles; }

// ---- Emulation thread ----

void NESUnit::start() {
    refuse_on_own_thread(this, "NES.start");
    BusyGuard guard(busy, "NES.start");
    if (running) throw std::runtime_error("NES.start: the machine is already running; call stop() first");
    if (emu_thread.joinable()) join_thread();  // a run that ended by itself (its callback raised)
    run_start_cycles = cpu->cycles;
    run_start = now_ns();
    paused_total = 0;
    pause_start = run_start.load();  // a pause already in force counts from the start
    running = true;
    try {
        emu_thread = std::thread(&NESUnit::operation_thread, this);
    } catch (...) {
        running = false;
        throw;
    }
}

// Writes a battery machine's RAM file on a thread of its own while the
// emulation thread runs, so that the emulation thread never waits for the
// disk: between two slices, at most every BATTERY_INTERVAL_NS, it hands over a
// copy of $6000-$7FFF when that has changed since the last copy.
class NESUnit::BatteryWriter {
public:
    explicit BatteryWriter(NESUnit& machine) : machine(machine) {
        if (!machine.keeps_battery()) return;
        path = machine.game_dir + "/ram";
        std::memcpy(last, machine.battery_saved, sizeof last);
        next_check = now_ns() + BATTERY_INTERVAL_NS;
        thread = std::thread([this] { loop(); });
    }
    ~BatteryWriter() { finish(); }
    BatteryWriter(const BatteryWriter&) = delete;
    BatteryWriter& operator=(const BatteryWriter&) = delete;

    // On the emulation thread between two slices; allocates nothing.
    void poll() {
        if (!thread.joinable()) return;
        const int64_t now = now_ns();
        if (now < next_check) return;
        next_check = now + BATTERY_INTERVAL_NS;
        const uint8_t* ram = machine.cpu->memory + 0x6000;
        if (std::memcmp(ram, last, sizeof last) == 0) return;
        std::memcpy(last, ram, sizeof last);
        {
            std::lock_guard<std::mutex> lock(mutex);  // the writer holds it only to copy
            std::memcpy(pending, last, sizeof pending);
            dirty = true;
        }
        cv.notify_one();
    }

    // Ends the writer once a copy it holds is written.
    void finish() {
        if (!thread.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
        }
        cv.notify_one();
        thread.join();
    }

private:
    void loop() {
        uint8_t copy[BATTERY_RAM_LEN];
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cv.wait(lock, [this] { return dirty || quit; });
            if (!dirty) return;
            std::memcpy(copy, pending, sizeof copy);
            dirty = false;
            lock.unlock();
            try {
                write_file_atomically(path,
                                      [&copy](FILE* f) { return fwrite(copy, 1, sizeof copy, f) == sizeof copy; });
            } catch (...) {
                // The next copy tries again; stop and the machine's end write it and report.
            }
            lock.lock();
        }
    }

    NESUnit& machine;
    std::string path;
    uint8_t last[BATTERY_RAM_LEN] = {};  // the last copy handed over (emulation thread)
    int64_t next_check = 0;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    uint8_t pending[BATTERY_RAM_LEN] = {};
    bool dirty = false;
    bool quit = false;
};

void NESUnit::operation_thread() {
    current_machine = this;
    try {
        BatteryWriter battery(*this);
        battery_writer = &battery;
        struct Forget {
            BatteryWriter*& writer;
            ~Forget() { writer = nullptr; }
        } forget{battery_writer};
        // Slices of emulated time, each followed by one sleep until the
        // wall-clock time at which that slice ends.
        const int64_t slice = std::max<int64_t>(1, cpu->clock_hz / SLICES_PER_S);
        while (running.load(std::memory_order_relaxed)) {
            if (paused.load(std::memory_order_relaxed) || held.load(std::memory_order_relaxed)) {
                park();
                continue;
            }
            run_slice(cpu->cycles + slice);
            pace();
            battery.poll();
        }
    } catch (const std::exception& e) {
        report_thread_error(e.what(), verbose);
    }
    {
        std::lock_guard<std::mutex> lock(pace_mutex);
        running = false;
    }
    pace_cv.notify_all();
}

void NESUnit::run_slice(int64_t end) {
    auto go_on = [this] {
        return running.load(std::memory_order_relaxed) && !paused.load(std::memory_order_relaxed) &&
               !held.load(std::memory_order_relaxed);
    };
    if (cpu->debug || ppu->debug) {
        // The traces print at every step: step by step.
        while (cpu->cycles < end && go_on()) single_cycle();
        return;
    }
    // A frame's end interrupts the lazy run for the per-frame callback; the
    // catch-up the machine step would finish after it follows.
    while (go_on() && cpu->run(end) == NES::CPU::RunEnd::frame) {
        frame_callback();
        cpu->catch_up();
    }
}

void NESUnit::pace() {
    // 128-bit: cycles × 10^9 leaves the 64-bit range after about 86 minutes at the default rate.
    __int128 emulated_ns = static_cast<__int128>(cpu->cycles - run_start_cycles) * NS_PER_S / cpu->clock_hz;
    int64_t target = run_start.load(std::memory_order_relaxed) + paused_total.load(std::memory_order_relaxed) +
                     static_cast<int64_t>(emulated_ns);
    if (target <= now_ns()) return;
    // Pause, stop and state operations notify, and end the sleep at once.
    std::unique_lock<std::mutex> lock(pace_mutex);
    pace_cv.wait_until(lock, steady_at(target), [this] { return !running || paused || held; });
}

void NESUnit::park() {
    std::unique_lock<std::mutex> lock(pace_mutex);
    parked = true;
    pace_cv.notify_all();
    pace_cv.wait(lock, [this] { return !running || (!paused && !held); });
    parked = false;
}

void NESUnit::hold_thread() {
    Unlocked unlocked;  // the thread may be waiting for the interpreter lock in a callback
    std::unique_lock<std::mutex> lock(pace_mutex);
    held = true;
    pace_cv.wait(lock, [this] { return parked || !running; });
}

void NESUnit::release_thread(bool rebase_pacing) {
    {
        std::lock_guard<std::mutex> lock(pace_mutex);
        if (rebase_pacing) {
            // The cycle count changed under the parked thread: count real time afresh from here.
            run_start_cycles = cpu->cycles;
            run_start = now_ns();
            paused_total = 0;
            pause_start = run_start.load();
        }
        held = false;
    }
    pace_cv.notify_all();
}

void NESUnit::join_thread() {
    // The thread may be waiting for the interpreter lock inside a Python callback.
    std::optional<py::gil_scoped_release> unlocked;
    if (Py_IsInitialized() && PyGILState_Check()) unlocked.emplace();
    emu_thread.join();
}

void NESUnit::stop() {
    if (current_machine == this) {
        // From this machine's own callback: the run ends when the callback
        // returns. The thread is between two steps here, so the battery RAM
        // is whole; the writer's last copy goes first, this one after it.
        running = false;
        if (battery_writer) battery_writer->finish();
        write_battery_ram();
        return;
    }
    bool had_thread = false;
    {
        BusyGuard guard(busy, "NES.stop");
        {
            std::lock_guard<std::mutex> lock(pace_mutex);
            running = false;
        }
        pace_cv.notify_all();
        had_thread = emu_thread.joinable();
        if (had_thread) join_thread();
        retired_pads.clear();  // the thread that could read them is gone
        // Written once the thread has stopped: never a copy torn by a running program.
        write_battery_ram();
    }
    if (!had_thread)
        throw std::system_error(EINVAL, std::generic_category(), "NES.stop: no emulation thread is running");
}

bool NESUnit::keeps_battery() const { return rom && rom->battery && !game_dir.empty(); }

void NESUnit::finish_at_exit() {
    if (!keeps_battery() && !emu_thread.joinable()) return;
    bool expected = false;
    if (!busy.compare_exchange_strong(expected, true)) return;  // stepped by another thread right now
    {
        std::lock_guard<std::mutex> lock(pace_mutex);
        running = false;
    }
    pace_cv.notify_all();
    if (emu_thread.joinable()) join_thread();
    try {
        write_battery_ram();
    } catch (const std::exception& e) {
        report_thread_error((std::string("battery RAM not saved at exit: ") + e.what()).c_str(), verbose);
    }
    busy = false;
}

void NESUnit::set_pause(bool p) {
    {
        std::lock_guard<std::mutex> lock(pace_mutex);
        if (p && !paused) {
            pause_start = now_ns();
            paused = true;
        } else if (!p && paused) {
            paused_total += now_ns() - pause_start;
            paused = false;
        }
    }
    pace_cv.notify_all();
}

void NESUnit::perFrame(const FrameCallback& f) {
    perframefunc.store(f ? std::make_shared<const FrameCallback>(f) : nullptr);
}

void NESUnit::write_battery_ram() {
    if (!keeps_battery()) return;
    uint8_t ram[BATTERY_RAM_LEN];
    std::memcpy(ram, cpu->memory + 0x6000, sizeof ram);
    write_file_atomically(game_dir + "/ram", [&ram](FILE* f) { return fwrite(ram, 1, sizeof ram, f) == sizeof ram; });
    std::memcpy(battery_saved, ram, sizeof ram);
}

// ---- Views ----

ByteView NESUnit::view(std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides, void* data) {
    // The machine's own Python object as the base: the array keeps it alive,
    // and since the base is not an array the array stays writable.
    py::object base = py::cast(this, py::return_value_policy::reference);
    return ByteView(std::move(shape), std::move(strides), static_cast<unsigned char*>(data), base);
}

ByteView NESUnit::getImg() {
    return view({NES::PPU::HEIGHT, NES::PPU::WIDTH, 3}, {NES::PPU::WIDTH * 3, 3, 1}, ppu->frame_buffer);
}

ByteView NESUnit::color_lookup() { return view({64, 3}, {3, 1}, palette.data()); }

ByteView NESUnit::cpuMem() { return view({sizeof cpu->memory}, {1}, cpu->memory); }

ByteView NESUnit::ppuMem() { return view({sizeof ppu->memory}, {1}, ppu->memory); }

ByteView NESUnit::OAM() { return view({sizeof ppu->oam}, {1}, ppu->oam); }

py::bytes NESUnit::getAudio() {
    int16_t block[NES::BUFFER_LEN];
    if (!apu->take_block(block)) return py::bytes();
    return py::bytes(reinterpret_cast<const char*>(block), sizeof block);
}

// ---- Pads ----

void NESUnit::setController(ControllerWrapper& w, int port) {
    if (port != 0 && port != 1)
        throw std::invalid_argument("NES.setController: port must be 0 or 1, got " + std::to_string(port));
    cpu->set_controller(&w.controller, static_cast<unsigned char>(port));
}

// ---- Save folder and state files ----

void NESUnit::detectOS(const std::string& name, std::vector<std::string>& made,
                       const std::optional<std::string>& save_root) {
    std::string game;
    if (save_root) {
        std::error_code ec;
        const fs::file_status root = fs::status(*save_root, ec);
        if (!fs::is_directory(root))
            throw NES::FileError(fs::exists(root) ? ENOTDIR : ENOENT, *save_root, "NES: save_root must be a directory");
        game = *save_root + "/" + name;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home)
            throw std::runtime_error(
                "HOME is not set: cannot locate the folder for save files ($HOME/.config/Lumaret)");
        const std::string config = std::string(home) + "/.config";
        if (verbose) printf("LINUX, %s\n", config.c_str());
        game = config + "/Lumaret/" + name;
        for (const std::string& dir : {config, config + "/Lumaret"}) {
            if (!path_exists(dir)) {
                fs::create_directory(dir);
                made.push_back(dir);
            }
        }
    }
    if (verbose) puts(game.c_str());
    if (path_exists(game)) {
        if (verbose) puts("Folder already exists. Checking for save...");
    } else {
        fs::create_directory(game);
        made.push_back(game);
    }
    config_dir = game;
    sep = '/';
    save_dir = game;
    game_dir = game;
}

bool NESUnit::setSaveDir(std::string dir) {
    std::error_code ec;
    if (!fs::is_directory(fs::status(dir, ec))) return false;
    save_dir = std::move(dir);
    return true;
}

std::string NESUnit::getSaveDir() const { return save_dir; }

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
    write_file_atomically(path, [&state](FILE* f) { return fwrite(state.data(), 1, state.size(), f) == state.size(); });
}

namespace {

// The bytes of a state file, nothing when there is none, or an exception as
// from a state-file read. Only a regular file is read: a FIFO, a device or a
// directory at the slot's path is an error at once.
std::optional<std::vector<uint8_t>> read_state_file(const std::string& path) {
    std::optional<std::vector<uint8_t>> data = NES::read_regular_file(path, MAX_STATE_FILE_LEN, "could not read");
    if (data && data->size() > MAX_STATE_FILE_LEN)
        throw std::invalid_argument(path + ": not a state file: longer than " + std::to_string(MAX_STATE_FILE_LEN) +
                                    " bytes");
    return data;
}

}  // namespace

bool NESUnit::load(int slot) {
    const std::string path = slot_path(slot, "NES.loadState");
    StateAccess access(*this, "NES.loadState");
    std::optional<std::vector<uint8_t>> file;
    {
        Unlocked unlocked;
        file = read_state_file(path);
    }
    if (!file) return false;
    std::vector<uint8_t>& data = *file;
    if (data.size() < NES::state_file::LENGTH)
        throw std::invalid_argument("not a state file: " + std::to_string(data.size()) + " bytes instead of " +
                                    std::to_string(NES::state_file::LENGTH));
    if (data.size() == NES::state_file::LENGTH) {
        // The old layout: registers, both memories and the mapper block, read as ever.
        FILE* file = fmemopen(data.data(), data.size(), "rb");
        if (!file) throw NES::FileError(errno, path, "could not read");
        try {
            cpu->load_state(file);
        } catch (...) {
            fclose(file);
            throw;
        }
        fclose(file);
        return true;
    }
    try {
        NES::load_snapshot(*cpu, data.data(), data.size());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
    access.rebase();
    return true;
}

// ---- Snapshots, reset, sample ring, pickling ----

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

py::array_t<int16_t> NESUnit::read_audio() {
    // The interpreter lock, held throughout, keeps this the ring's only reader.
    if (audio_scratch.size() != NES::APU::RING_LEN) audio_scratch.assign(NES::APU::RING_LEN, 0);
    const std::size_t n = apu->read_ring(audio_scratch.data());
    py::array_t<int16_t> out(static_cast<py::ssize_t>(n));
    if (n) std::memcpy(out.mutable_data(), audio_scratch.data(), n * sizeof(int16_t));
    return out;
}

uint64_t NESUnit::audio_dropped() const { return apu->ring_dropped; }

py::tuple NESUnit::pickle_state() {
    py::bytes snapshot = get_state();
    const std::vector<uint8_t>& image = rom->image;
    return py::make_tuple(PICKLE_VERSION, py::bytes(reinterpret_cast<const char*>(image.data()), image.size()),
                          snapshot, cpu->clock_hz, py::bytes(save_dir), py::bytes(game_dir), verbose);
}

std::unique_ptr<NESUnit> NESUnit::from_pickle(const py::tuple& state) {
    if (state.size() != 7 || !py::isinstance<py::int_>(state[0]))
        throw std::invalid_argument("NES.__setstate__: not the pickled state of a pictor.NES");
    if (state[0].cast<int>() != PICKLE_VERSION)
        throw std::invalid_argument("NES.__setstate__: pickle version " + py::str(state[0]).cast<std::string>() +
                                    " is unknown (this module reads version " + std::to_string(PICKLE_VERSION) + ")");
    std::string image, snapshot, saves, game;
    int32_t clock_hz = 0;
    bool loud = false;
    try {
        image = state[1].cast<py::bytes>();
        snapshot = state[2].cast<py::bytes>();
        clock_hz = state[3].cast<int32_t>();
        saves = state[4].cast<py::bytes>();
        game = state[5].cast<py::bytes>();
        loud = state[6].cast<bool>();
    } catch (const py::cast_error&) {
        throw py::type_error("NES.__setstate__: not the pickled state of a pictor.NES");
    }
    auto machine = std::make_unique<NESUnit>(image, clock_hz, loud);
    NES::load_snapshot(*machine->cpu, reinterpret_cast<const uint8_t*>(snapshot.data()), snapshot.size());
    machine->save_dir = std::move(saves);
    machine->game_dir = std::move(game);
    return machine;
}

void NESUnit::plug(ControllerWrapper& pad, py::object pad_object, int port) {
    setController(pad, port);
    py::object old = std::move(plugged[port]);
    plugged[port] = std::move(pad_object);
    // A running machine may be reading the old pad at this moment.
    if (running || busy)
        retired_pads.push_back(std::move(old));
    else
        retired_pads.clear();
}

// ---- Python module ----

PYBIND11_MODULE(pictor, m) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const NES::FileError& e) {
            if (e.err == 0) {
                PyErr_SetString(PyExc_OSError, e.what());
                return;
            }
            // OSError(errno, strerror, path): Python picks the subclass, e.g. FileNotFoundError for ENOENT.
            py::object path = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(e.path.c_str()));
            if (!path) PyErr_Clear();
            errno = e.err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        }
    });

    constexpr int DEFAULT_CLOCK = 1789773;  // CPU cycles per second

    m.doc() =
        "An NES console for Python programs: the CPU, picture unit, sound unit, pads and cartridge hardware\n"
        "as a C++ core. NES is one console, Controller one pad.";
    m.attr("__version__") = PICTOR_VERSION;

    // Both classes exist before their methods are defined, so that signatures
    // naming "Controller" show its Python name.
    py::class_<NESUnit, std::unique_ptr<NESUnit>> nes(
        m, "NES",
        "One console with its cartridge.\n\n"
        "Step it with runFrame on the calling thread, or run it in real time on its own thread with start.\n"
        "Save states and battery RAM live in $HOME/.config/Lumaret/<game>.",
        py::custom_type_setup([](PyHeapTypeObject* heap_type) {
            // A per-frame callable that refers to its own machine forms a cycle
            // through the machine; the garbage collector can only break it when
            // the machine reports the callable it holds.
            PyTypeObject* type = &heap_type->ht_type;
            type->tp_flags |= Py_TPFLAGS_HAVE_GC;
            type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) {
                Py_VISIT(Py_TYPE(self));
                if (py::detail::is_holder_constructed(self)) Py_VISIT(py::cast<NESUnit&>(self).frame_callable.ptr());
                return 0;
            };
            type->tp_clear = [](PyObject* self) {
                if (py::detail::is_holder_constructed(self)) py::cast<NESUnit&>(self).set_frame_callable(py::none());
                return 0;
            };
        }));
    py::class_<ControllerWrapper, std::unique_ptr<ControllerWrapper>> controller(
        m, "Controller",
        "A standard pad with eight buttons, all released at first; plug it in with NES.setController.");

    using NesClass = py::class_<NESUnit, std::unique_ptr<NESUnit>>;
    using ControllerClass = py::class_<ControllerWrapper, std::unique_ptr<ControllerWrapper>>;
    using py::detail::value_and_holder;
    // What py::init does, for factories that take the machine's arguments.
    auto install = [](value_and_holder& v_h, std::unique_ptr<NESUnit> machine) {
        py::detail::initimpl::construct<NesClass>(v_h, std::move(machine), Py_TYPE(v_h.inst) != v_h.type->type);
    };

    nes.def(
           "__init__",
           [install](value_and_holder& v_h, const FsPath& rom_name, int rate, bool verbose,
                     const std::optional<FsPath>& save_root) {
               install(v_h, machine_from_path(rom_name, rate, verbose, save_root));
           },
           py::detail::is_new_style_constructor(),
           "Loads the cartridge image at a path.\n\n"
           "rom_name: the image file (str, bytes or os.PathLike); its base name without extension names the game\n"
           "    folder (a name that reduces to nothing, such as \".nes\", gets one named by the image's hash).\n"
           "CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.\n"
           "verbose: False prints nothing at all for this machine.\n"
           "save_root: an existing folder to hold the game folder instead of $HOME/.config/Lumaret.\n\n"
           "Raises FileNotFoundError (or another OSError) when the file cannot be read or is not a regular file,\n"
           "ValueError when it is not a cartridge image or the path holds a NUL byte; warns (RuntimeWarning) when\n"
           "its mapper is not supported. A failed construction leaves nothing behind on disk.",
           py::arg("rom_name"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK, py::kw_only(), py::arg("verbose") = true,
           py::arg("save_root") = py::none())
        .def(
            "__init__",
            [install](value_and_holder& v_h, int rate, bool verbose) {
                install(v_h, std::make_unique<NESUnit>(rate, verbose));
            },
            py::detail::is_new_style_constructor(),
            "A console with the blank cartridge (no game folder).\n\n"
            "CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.\n"
            "verbose: False prints nothing at all for this machine.",
            py::arg("CLOCK_SPEED") = DEFAULT_CLOCK, py::kw_only(), py::arg("verbose") = true)
        .def(
            "__init__",
            [install](value_and_holder& v_h, py::object rom_file, int rate, bool verbose,
                      const std::optional<FsPath>& save_root) {
                install(v_h, machine_from_file_object(rom_file, rate, verbose, save_root));
            },
            py::detail::is_new_style_constructor(),
            "Reads the cartridge image from a file object.\n\n"
            "rom_file: an object with a name (str or bytes; it names the game folder) and read() giving the image\n"
            "    (bytes or bytearray; a file opened in text mode is refused with TypeError).\n"
            "CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.\n"
            "verbose: False prints nothing at all for this machine.\n"
            "save_root: an existing folder to hold the game folder instead of $HOME/.config/Lumaret.",
            py::arg("rom_file"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK, py::kw_only(), py::arg("verbose") = true,
            py::arg("save_root") = py::none())
        .def("cpuMem", live(&NESUnit::cpuMem),
             "The CPU address space: a writable uint8 view of shape (65536,) on the machine's memory.")
        .def("ppuMem", live(&NESUnit::ppuMem),
             "The PPU address space (pattern tables, name tables, palette): a writable uint8 view of shape (16384,).")
        .def("OAM", live(&NESUnit::OAM), "Sprite memory: a writable uint8 view of shape (256,).")
        .def("getImg", live(&NESUnit::getImg),
             "The picture: a uint8 view of shape (240, 256, 3), RGB, on the frame buffer being drawn.")
        .def("colorLookup", live(&NESUnit::color_lookup),
             "The system palette: a writable uint8 view of shape (64, 3), RGB, shared by every machine.")
        .def("getAudio", live(&NESUnit::getAudio),
             "The latest completed block of 1024 mono int16 samples at 44100 Hz as 2048 bytes, or b\"\" when no\n"
             "new block has been completed since the last call.")
        .def("readAudio", live(&NESUnit::read_audio),
             "Every sample produced since the previous call (at most the last second): a new int16 array, mono,\n"
             "44100 Hz. Older samples are dropped and counted in audioDropped. Independent of getAudio; safe while\n"
             "the emulation thread runs.")
        .def_property_readonly("audioDropped", live(&NESUnit::audio_dropped),
                               "Samples readAudio has dropped so far because more than a second accumulated.")
        .def("start", live(&NESUnit::start),
             "Runs the console in real time on its own thread, calling the per-frame callback at every frame.\n\n"
             "Raises RuntimeError when it already runs.")
        .def("stop", live(&NESUnit::stop),
             "Ends the emulation thread, waiting for it, then writes the battery RAM file.\n\n"
             "Raises RuntimeError when no thread runs (after writing the battery RAM file).")
        .def("saveState", live(&NESUnit::save),
             "Writes the machine's snapshot (getState) to the numbered state file slot in the save folder.\n\n"
             "slot: the file's number; its decimal text is the file name.",
             py::arg("slot"))
        .def("loadState", live(&NESUnit::load),
             "Restores the numbered state file slot: a whole snapshot exactly, a file of the old 82189-byte layout\n"
             "as ever (registers, memories, mapper block). Returns False when there is no such file; OSError\n"
             "when something other than a regular file is there.\n\n"
             "slot: the file's number.\n\n"
             "Raises ValueError, leaving the machine as it was, for a file that is no valid state of this cartridge.",
             py::arg("slot"))
        .def("getState", live(&NESUnit::get_state),
             "A snapshot of the whole machine as bytes: the state-file layout followed by a versioned extension\n"
             "block (docs/state-format.md). Not during a runFrame, from the per-frame callback, or while the\n"
             "emulation thread runs unpaused (RuntimeError).")
        .def("setState", live(&NESUnit::set_state),
             "Restores a snapshot from getState (of this machine or of one built from the same cartridge image);\n"
             "stepping with the same input then repeats the original run exactly. Audio not yet read is dropped.\n\n"
             "state: the snapshot bytes.\n\n"
             "Raises ValueError, leaving the machine exactly as it was, for a snapshot that is malformed,\n"
             "truncated, of another version or of another cartridge.",
             py::arg("state"))
        .def("reset", live(&NESUnit::reset),
             "Presses the console's reset button: the CPU's reset sequence from the reset vector, PPUCTRL, PPUMASK,\n"
             "the scroll, w latch and read buffer cleared, every sound channel silenced. Memory, cartridge RAM, the\n"
             "mapper and the frame count are kept.")
        .def("setPaused", live(&NESUnit::set_pause),
             "Pauses or resumes the emulation thread; a paused thread sleeps until resumed or stopped.\n\n"
             "paused: True to pause, False to resume.",
             py::arg("paused"))
        .def(
            "setSaveDir", [](Live<NESUnit> self, const FsPath& directory) { return self->setSaveDir(directory.bytes); },
            "Moves the state files to an existing directory; returns False (and changes nothing) if there is no\n"
            "directory at that path. The battery RAM file stays in the game folder.\n\n"
            "directory: the folder (str, bytes or os.PathLike); ValueError when it holds a NUL byte.",
            py::arg("directory"))
        .def("getSaveDir", live(&NESUnit::getSaveDir),
             "The folder of the numbered state files; empty for the blank cartridge until setSaveDir.")
        .def(
            "setController",
            [](Live<NESUnit> self, Live<ControllerWrapper> pad, int port) {
                self->plug(*pad, py::cast(pad.object, py::return_value_policy::reference), port);
            },
            "Plugs a pad into a port; the machine keeps it alive while plugged in.\n\n"
            "pad: the Controller.\n"
            "port: 0 (read at $4016) or 1 (read at $4017); ValueError otherwise.",
            py::arg("pad"), py::arg("port"))
        .def("frameCount", live(&NESUnit::frame_count), "Frames completed since the machine was built.")
        .def("cycleCount", live(&NESUnit::cycle_count), "CPU cycles since the last reset.")
        .def("runFrame", live(&NESUnit::runFrame),
             "Steps the console on the calling thread until the next frame boundary, without holding the\n"
             "interpreter lock (the per-frame callback takes it back). Raises RuntimeError while the emulation\n"
             "thread runs or another thread is inside runFrame on this machine.")
        .def(
            "perFrame",
            [](Live<NESUnit> self, py::typing::Optional<py::typing::Callable<void()>> callback) {
                if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
                    throw py::type_error("NES.perFrame: the callback must be callable or None");
                self->set_frame_callable(std::move(callback));
            },
            "Calls callback with no arguments at every frame boundary, on the thread that steps the console.\n\n"
            "callback: the callable, or None to remove it.",
            py::arg("callback"))
        .def("__getstate__", live(&NESUnit::pickle_state), py::pos_only(),
             "The pickled state: the cartridge image, the snapshot, the clock rate, the save folder, the game\n"
             "folder and verbose; not the per-frame callback or plugged pads.")
        .def(
            "__setstate__",
            [install](value_and_holder& v_h, const py::tuple& state) { install(v_h, NESUnit::from_pickle(state)); },
            py::detail::is_new_style_constructor(), "Builds the machine from a pickled state.");

    controller
        .def(
            "__init__",
            [](value_and_holder& v_h) {
                py::detail::initimpl::construct<ControllerClass>(v_h, std::make_unique<ControllerWrapper>(),
                                                                 Py_TYPE(v_h.inst) != v_h.type->type);
            },
            py::detail::is_new_style_constructor(), "A pad with every button released.")
        .def("updateInputs", live(&ControllerWrapper::updateInputs),
             "Sets the buttons from the truth of the first 8 values, in the order A, B, Select, Start, Up, Down,\n"
             "Left, Right.\n\n"
             "buttons: any sequence of at least 8 values (list, tuple, NumPy array); ValueError for fewer.",
             py::arg("buttons"));

    guard_builder<0>(nes, "__init__", "NES.__init__", "pictor.NES");
    guard_builder<1>(nes, "__setstate__", "NES.__setstate__", "pictor.NES");
    guard_builder<2>(controller, "__init__", "Controller.__init__", "pictor.Controller");

    py::module_::import("atexit").attr("register")(py::cpp_function(&finish_machines_at_exit));
}
