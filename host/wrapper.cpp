#include "wrapper.h"

#include <fcntl.h>
#include <pybind11/typing.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "glob_const.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

constexpr int SAMPLE_RATE = 44100;
constexpr int64_t NS_PER_S = 1'000'000'000;
constexpr int64_t PAUSE_POLL_NS = 1'000'000;  // a paused thread re-reads its flags every millisecond
// Longest single pacing sleep: stop and pause take effect within it even at
// clock rates so low that one instruction lasts seconds.
constexpr int64_t MAX_PACING_SLEEP_NS = 10'000'000;
constexpr std::size_t BATTERY_RAM_LEN = 0x2000;

// The module's own copy of the system palette behind "colorLookup": shared by
// every machine, writable from Python, never read by the PPU.
std::array<uint8_t, sizeof NES::NTSC_TO_RGB> palette = [] {
    std::array<uint8_t, sizeof NES::NTSC_TO_RGB> p{};
    std::memcpy(p.data(), NES::NTSC_TO_RGB, p.size());
    return p;
}();

// The machine whose emulation thread this is (null on every other thread).
thread_local const NESUnit* current_machine = nullptr;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleep_ns(int64_t d) {
    timespec req{static_cast<time_t>(d / NS_PER_S), static_cast<long>(d % NS_PER_S)};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
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

// Marks a machine busy for one call of start, stop or runFrame.
class BusyGuard {
public:
    BusyGuard(std::atomic<bool>& flag, const char* call) : flag(flag) {
        bool expected = false;
        if (!flag.compare_exchange_strong(expected, true))
            throw std::runtime_error(std::string(call) + ": the machine is busy in another start, stop or runFrame");
    }
    ~BusyGuard() { flag = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    std::atomic<bool>& flag;
};

// Reports an error that ended a run on the emulation thread, where no caller
// can receive it: through Python's unraisable-exception hook when Python is there.
void report_thread_error(const char* what) {
    if (!Py_IsInitialized()) {
        printf("Emulation thread stopped: %s\n", what);
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

}  // namespace

void ControllerWrapper::updateInputs(py::list buttons) {
    if (buttons.size() < 8)
        throw py::index_error("updateInputs needs 8 button states, got " + std::to_string(buttons.size()));
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

NESUnit::NESUnit(int rate) {
    puts("No rom specified.");
    rom = std::make_unique<NES::ROM>();
    puts("rom created.");
    cpu = std::make_unique<NES::CPU>(false);
    cpu->clock_hz = clock_rate(rate);
    apu = std::make_unique<NES::APU>();
    apu->setCPU(cpu.get());
    apu->sample_rate = SAMPLE_RATE;
    cpu->apu = apu.get();
    cpu->loadRom(rom.get(), true);
    attach_pads();
    ppu = std::make_unique<NES::PPU>(cpu.get());  // loads the inserted cartridge's picture data
    cpu->reset();
}

// The order shared by the two cartridge constructors: CPU, PPU (attached to
// the CPU), clock rate, APU (attached, rate derived from the clock), pads.
void NESUnit::build_components(int rate) {
    cpu = std::make_unique<NES::CPU>(false);
    ppu = std::make_unique<NES::PPU>(cpu.get());
    cpu->clock_hz = clock_rate(rate);
    apu = std::make_unique<NES::APU>();
    cpu->apu = apu.get();
    apu->setCPU(cpu.get());
    apu->sample_rate = SAMPLE_RATE;
    attach_pads();
}

void NESUnit::insert(std::unique_ptr<NES::ROM> cartridge) {
    rom = std::move(cartridge);
    cpu->loadRom(rom.get(), true);
    ppu->loadRom(rom.get());
    cpu->reset();
}

NESUnit::NESUnit(const char* rom_name, int rate) {
    detectOS(rom_name);
    build_components(rate);
    insert(std::make_unique<NES::ROM>(rom_name));
}

NESUnit::NESUnit(py::object rom_file, int rate) {
    build_components(rate);
    // str (as UTF-8), bytes and bytearray are all accepted by the string caster.
    std::string name = rom_file.attr("name").cast<std::string>();
    detectOS(name.c_str());
    std::string image = rom_file.attr("read")().cast<std::string>();
    auto* data = reinterpret_cast<unsigned char*>(image.data());
    insert(std::make_unique<NES::ROM>(static_cast<long>(image.size()), data));
}

NESUnit::~NESUnit() {
    // Set with the interpreter lock held (Python frees its objects under it):
    // a Python callback waiting for the lock then finds the run over.
    running = false;
    if (emu_thread.joinable()) join_thread();
    try {
        write_battery_ram();
    } catch (const std::exception& e) {
        printf("Battery RAM not saved: %s\n", e.what());
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

void NESUnit::operation_thread() {
    current_machine = this;
    try {
        while (running.load(std::memory_order_relaxed)) {
            if (paused.load(std::memory_order_relaxed)) {
                sleep_ns(PAUSE_POLL_NS);
                continue;
            }
            single_cycle();
            // 128-bit: cycles × 10^9 leaves the 64-bit range after about 86 minutes at the default rate.
            __int128 emulated_ns = static_cast<__int128>(cpu->cycles - run_start_cycles) * NS_PER_S / cpu->clock_hz;
            int64_t target = run_start.load(std::memory_order_relaxed) + paused_total.load(std::memory_order_relaxed) +
                             static_cast<int64_t>(emulated_ns);
            for (int64_t now = now_ns(); target > now && running && !paused; now = now_ns())
                sleep_ns(std::min(target - now, MAX_PACING_SLEEP_NS));
        }
    } catch (const std::exception& e) {
        report_thread_error(e.what());
    }
    running = false;
}

void NESUnit::join_thread() {
    // The thread may be waiting for the interpreter lock inside a Python callback.
    std::optional<py::gil_scoped_release> unlocked;
    if (Py_IsInitialized() && PyGILState_Check()) unlocked.emplace();
    emu_thread.join();
}

void NESUnit::stop() {
    std::exception_ptr ram_error;
    try {
        write_battery_ram();
    } catch (...) {
        ram_error = std::current_exception();
    }
    if (current_machine == this) {
        // From this machine's own callback: the run ends when the callback returns.
        running = false;
    } else {
        BusyGuard guard(busy, "NES.stop");
        running = false;
        if (emu_thread.joinable())
            join_thread();
        else if (!ram_error)
            throw std::system_error(EINVAL, std::generic_category(), "NES.stop: no emulation thread is running");
    }
    if (ram_error) std::rethrow_exception(ram_error);
}

void NESUnit::set_pause(bool p) {
    if (p && !paused) {
        pause_start = now_ns();
        paused = true;
    } else if (!p && paused) {
        paused_total += now_ns() - pause_start;
        paused = false;
    }
}

void NESUnit::perFrame(const FrameCallback& f) {
    perframefunc.store(f ? std::make_shared<const FrameCallback>(f) : nullptr);
}

void NESUnit::write_battery_ram() {
    if (!rom || !rom->battery || game_dir.empty()) return;
    write_file_atomically(game_dir + "/ram", [this](FILE* f) { return cpu->save_ram(f) == BATTERY_RAM_LEN; });
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

void NESUnit::detectOS(const char* path) {
    // The game name: the base name without its last extension, spaces as '_'.
    std::string name = path;
    name.erase(0, name.find_last_of("/\\") + 1);  // npos + 1 == 0: no separator
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
    // "." and ".." would put the game folder on Lumaret itself or above it.
    if (name == "." || name == "..") name.clear();
    for (char& c : name)
        if (c == ' ') c = '_';

    const char* home = std::getenv("HOME");
    if (!home || !*home)
        throw std::runtime_error("HOME is not set: cannot locate the folder for save files ($HOME/.config/Lumaret)");
    config_dir = std::string(home) + "/.config";
    printf("LINUX, %s\n", config_dir.c_str());
    sep = '/';
    make_dir_if_missing(config_dir);
    config_dir += sep;
    config_dir += "Lumaret";
    make_dir_if_missing(config_dir);
    config_dir += sep;
    config_dir += name;
    save_dir = config_dir;
    game_dir = config_dir;
    puts(config_dir.c_str());
    if (path_exists(config_dir))
        puts("Folder already exists. Checking for save...");
    else
        fs::create_directory(config_dir);
}

bool NESUnit::setSaveDir(std::string dir) {
    std::error_code ec;
    if (!fs::exists(fs::status(dir, ec))) return false;
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
    write_file_atomically(slot_path(slot, "NES.saveState"), [this](FILE* f) {
        cpu->save_state(f);
        return true;
    });
}

bool NESUnit::load(int slot) {
    std::string path = slot_path(slot, "NES.loadState");
    if (!path_exists(path)) return false;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) throw NES::FileError(errno, path, "could not open");
    try {
        cpu->load_state(file);
    } catch (const NES::FileError& e) {
        fclose(file);
        throw NES::FileError(e.err, path, "could not read");
    } catch (...) {
        fclose(file);
        throw;
    }
    fclose(file);
    return true;
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

    // Both classes exist before their methods are defined, so that signatures
    // naming "Controller" show its Python name.
    py::class_<NESUnit, std::unique_ptr<NESUnit>> nes(
        m, "NES", py::custom_type_setup([](PyHeapTypeObject* heap_type) {
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
    py::class_<ControllerWrapper, std::unique_ptr<ControllerWrapper>> controller(m, "Controller");

    nes.def(py::init([](const std::string& rom_name, int rate) {
                return std::make_unique<NESUnit>(rom_name.c_str(), rate);
            }),
            py::arg("rom_name"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK)
        .def(py::init<int>(), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK)
        .def(py::init<py::object, int>(), py::arg("rom_file"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK)
        .def("cpuMem", &NESUnit::cpuMem)
        .def("ppuMem", &NESUnit::ppuMem)
        .def("OAM", &NESUnit::OAM)
        .def("getImg", &NESUnit::getImg)
        .def("colorLookup", &NESUnit::color_lookup)
        .def("getAudio", &NESUnit::getAudio)
        .def("start", &NESUnit::start)
        .def("stop", &NESUnit::stop)
        .def("saveState", &NESUnit::save)
        .def("loadState", &NESUnit::load)
        .def("setPaused", &NESUnit::set_pause)
        .def("setSaveDir", &NESUnit::setSaveDir)
        .def("getSaveDir", &NESUnit::getSaveDir)
        .def("setController",
             [](NESUnit& self, ControllerWrapper& pad, int port) {
                 self.setController(pad, port);
                 self.plugged[port] = py::cast(&pad, py::return_value_policy::reference);
             })
        .def("frameCount", &NESUnit::frame_count)
        .def("cycleCount", &NESUnit::cycle_count)
        .def("runFrame", &NESUnit::runFrame)
        .def("perFrame", [](NESUnit& self, py::typing::Optional<py::typing::Callable<void()>> callback) {
            if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
                throw py::type_error("NES.perFrame: the callback must be callable or None");
            self.set_frame_callable(std::move(callback));
        });

    controller.def(py::init<>()).def("updateInputs", &ControllerWrapper::updateInputs);
}
