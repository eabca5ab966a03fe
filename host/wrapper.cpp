#include "wrapper.h"

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "batch.h"
#include "files.h"
#include "glob_const.h"
#include "interpreter.h"
#include "observation.h"
#include "py_support.h"
#include "registry.h"

namespace py = pybind11;
namespace fs = std::filesystem;

#ifndef PICTOR_VERSION
#define PICTOR_VERSION "0+unknown"
#endif

namespace {

constexpr int SAMPLE_RATE = 44100;
// The module's own copy of the system palette behind "colorLookup": shared by
// every machine, writable from Python, never read by the PPU.
std::array<uint8_t, sizeof NES::NTSC_TO_RGB> palette = [] {
    std::array<uint8_t, sizeof NES::NTSC_TO_RGB> p{};
    std::memcpy(p.data(), NES::NTSC_TO_RGB, p.size());
    return p;
}();

int32_t clock_rate(int rate) { return rate > 0 ? rate : INT32_MAX; }

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
        running = false;
        free_on_main_thread(owner);
    }
    OwnerHold(const OwnerHold&) = delete;
    OwnerHold& operator=(const OwnerHold&) = delete;

private:
    PyObject* owner;
    std::atomic<bool>& running;
};

constexpr const char* THREAD_CONTEXT = "pictor.NES per-frame callback on the emulation thread";

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

// The folder that holds the game folders, when the caller names one.
std::optional<std::string> root_of(const std::optional<FsPath>& save_root) {
    if (!save_root) return std::nullopt;
    return save_root->bytes;
}

std::unique_ptr<NESUnit> machine_from_path(const FsPath& path, const MachineSettings& settings,
                                           const std::optional<FsPath>& save_root) {
    auto rom = std::make_unique<NES::ROM>(path.bytes.c_str(), settings.verbose);
    warn_if_unsupported(*rom);
    return std::make_unique<NESUnit>(std::move(rom), path.bytes, settings, root_of(save_root));
}

std::unique_ptr<NESUnit> machine_from_file_object(const py::object& rom_file, const MachineSettings& settings,
                                                  const std::optional<FsPath>& save_root) {
    // A name as a path is: str (encoded as the file system does), bytes or bytearray.
    py::object name_object = rom_file.attr("name");
    if (!PyUnicode_Check(name_object.ptr()) && !PyBytes_Check(name_object.ptr()) &&
        !PyByteArray_Check(name_object.ptr()))
        throw py::type_error("NES: the file object's name must be str or bytes, not " +
                             std::string(Py_TYPE(name_object.ptr())->tp_name));
    const std::string name = name_object.cast<FsPath>().bytes;
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
                                          reinterpret_cast<unsigned char*>(image.data()), settings.verbose);
    warn_if_unsupported(*rom);
    return std::make_unique<NESUnit>(std::move(rom), name, settings, root_of(save_root));
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

}  // namespace

void warn_if_unsupported(const NES::ROM& rom) {
    const std::string message = unsupported_mapper_message_of(rom);
    if (!message.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

void ControllerWrapper::updateInputs(py::sequence buttons) {
    const std::size_t count = py::len(buttons);
    if (count < 8) throw py::value_error("Controller.updateInputs needs 8 button states, got " + std::to_string(count));
    bool states[8];
    for (std::size_t i = 0; i < 8; ++i) {
        const py::object value = buttons[i];
        if (!value.is_none() && !PyNumber_Check(value.ptr()))
            throw py::type_error("Controller.updateInputs: button " + std::to_string(i) +
                                 " must be a bool, a number or None, not " + Py_TYPE(value.ptr())->tp_name);
        const int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) throw py::error_already_set();
        states[i] = truth;
    }
    controller.update_inputs(states);
}

// ---- Construction ----

void NESUnit::attach_pads() {
    controller0 = NES::Controller();
    controller1 = NES::Controller();
    cpu->set_controller(&controller0, 0);
    cpu->set_controller(&controller1, 1);
}

NESUnit::NESUnit(const MachineSettings& settings) : verbose(settings.verbose) {
    if (verbose) puts("No rom specified.");
    auto blank = std::make_unique<NES::ROM>(verbose);
    if (verbose) puts("rom created.");
    build_components(settings);
    insert(std::move(blank));
    enlist(this);
}

// The order shared by the constructors: CPU, PPU (attached to the CPU), clock
// rate, APU (attached, rate derived from the clock), pads; the timing model
// of each unit is fixed before the cartridge goes in.
void NESUnit::build_components(const MachineSettings& settings) {
    battery_file = settings.battery_file;
    cpu = std::make_unique<NES::CPU>(false);
    cpu->verbose = verbose;
    ppu = std::make_unique<NES::PPU>(cpu.get());
    ppu->verbose = verbose;
    cpu->clock_hz = clock_rate(settings.rate);
    apu = std::make_unique<NES::APU>();
    cpu->apu = apu.get();
    apu->setCPU(cpu.get());
    apu->sample_rate = SAMPLE_RATE;
    cpu->accuracy = ppu->accuracy = apu->accuracy = settings.accuracy;
    attach_pads();
}

void NESUnit::insert(std::unique_ptr<NES::ROM> cartridge, bool load_battery) {
    rom = std::move(cartridge);
    cpu->loadRom(rom.get(), load_battery && battery_file != BatteryFile::none);
    ppu->loadRom(rom.get());
    cpu->reset();
    battery_saved.assign(battery_ram(), battery_ram() + battery_size());
}

NESUnit::NESUnit(std::unique_ptr<NES::ROM> cartridge, const std::string& name, const MachineSettings& settings,
                 const std::optional<std::string>& save_root)
    : verbose(settings.verbose) {
    MadeDirs made;
    game_dir = make_game_folder(game_name(name, cartridge->identity), made, save_root, verbose);
    // The core reads the battery RAM file from the folder named here.
    config_dir = game_dir;
    sep = '/';
    save_dir = game_dir;
    build_components(settings);
    insert(std::move(cartridge));
    made.keep = true;
    enlist(this);
}

NESUnit::NESUnit(const std::string& image, const MachineSettings& settings) : verbose(settings.verbose) {
    build_components(settings);
    std::string copy = image;
    auto* data = reinterpret_cast<unsigned char*>(copy.data());
    insert(std::make_unique<NES::ROM>(static_cast<long>(copy.size()), data, verbose), false);
    enlist(this);
}

NESUnit::~NESUnit() {
    delist(this);
    // Set with the interpreter lock held (Python frees its objects under it):
    // a Python callback waiting for the lock then finds the run over.
    thread.end();
    if (thread.joinable()) thread.join();
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
    // A callback that raises still leaves the PPU caught up with the CPU, so
    // that the machine's snapshot stays one it can restore.
    std::exception_ptr raised;
    while (ppu->cycles < 3 * cpu->cycles) {
        int64_t frames = ppu->frames;
        ppu->cycle();
        if (ppu->frames != frames && !raised) {
            try {
                frame_callback();
            } catch (...) {
                raised = std::current_exception();
            }
        }
        if (ppu->debug) {
            printf("PPU REGISTERS: ");
            printf("VBLANK: %i, PPUCTRL: %02x, PPUMASK: %02x, PPUSTATUS: %02x, OAMADDR: N/A (so far), PPUADDR: %04x\n",
                   ppu->in_vblank, cpu->memory[0x2000], cpu->memory[0x2001], cpu->memory[0x2002], ppu->v);
            printf("scanline: %i, cycle: %i\n", ppu->scanline, ppu->dot);
        }
    }
    if (raised) std::rethrow_exception(raised);
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
    if (machine_on_this_thread() != this) {
        // runFrame: its caller holds the machine, and errors go back to it.
        if (py::object f = frame_callable) f();
        return;
    }
    // On the emulation thread. stop and the destructor clear running with the
    // lock held, so a stopped run calls nothing more.
    if (!thread.running) return;
    // The callable may drop the last other reference to this machine, or to
    // itself; everything it leaves behind is released while the hold lasts.
    OwnerHold hold(py::cast(this, py::return_value_policy::reference), thread.running);
    try {
        if (py::object f = frame_callable) f();
    } catch (py::error_already_set& e) {
        thread.running = false;
        e.discard_as_unraisable(THREAD_CONTEXT);
    }
}

void NESUnit::runFrame() {
    refuse_on_own_thread(this, "NES.runFrame");
    BusyGuard guard(busy, "NES.runFrame");
    if (thread.running) throw std::runtime_error("NES.runFrame: the emulation thread is running; call stop() first");
    if (thread.joinable()) thread.join();  // a run that ended by itself may still finish its step
    // Other machines run meanwhile; a Python callback takes the lock back for its call.
    Unlocked unlocked;
    Stepping stepping(*this);
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
    // The units catch up with the CPU even when the callback raises (a Ctrl-C
    // lands there): the machine stays at a frame boundary its snapshot restores.
    struct CatchUp {
        NES::CPU& cpu;
        ~CatchUp() { cpu.catch_up(); }
    } catch_up{*cpu};
    frame_callback();
}

int64_t NESUnit::frame_count() const { return ppu->frames; }

int64_t NESUnit::cycle_count() const { return cpu->cycles; }

NES::Accuracy NESUnit::accuracy() const { return cpu->accuracy; }

// ---- Emulation thread ----

void NESUnit::start() {
    refuse_on_own_thread(this, "NES.start");
    BusyGuard guard(busy, "NES.start");
    if (thread.running) throw std::runtime_error("NES.start: the machine is already running; call stop() first");
    if (interpreter_exiting()) throw std::runtime_error("NES.start: the interpreter is exiting");
    if (thread.joinable()) thread.join();  // a run that ended by itself (its callback raised)
    thread.launch();
}

void NESUnit::stop() {
    if (machine_on_this_thread() == this) {
        // From this machine's own callback: the run ends when the callback
        // returns. The thread is between two steps here, so the battery RAM
        // is whole; the writer's last copy goes first, this one after it.
        thread.end_from_callback();
        write_battery_ram();
        return;
    }
    if (machine_on_this_thread() && thread.running) {
        BusyGuard guard(busy, "NES.stop");
        thread.end_writing_battery();
        return;
    }
    bool had_thread = false;
    {
        BusyGuard guard(busy, "NES.stop");
        thread.end();
        had_thread = thread.joinable();
        if (had_thread) thread.join();
        retired_pads.clear();  // the thread that could read them is gone
        // Written once the thread has stopped: never a copy torn by a running program.
        write_battery_ram();
    }
    if (!had_thread)
        throw std::system_error(EINVAL, std::generic_category(), "NES.stop: no emulation thread is running");
}

bool NESUnit::keeps_battery() const {
    return rom && rom->battery && !game_dir.empty() && battery_file == BatteryFile::read_write;
}

void NESUnit::end_thread_at_exit() {
    thread.end();
    if (thread.joinable()) thread.join();
}

void NESUnit::write_battery_at_exit(bool others_settled) {
    bool expected = false;
    const bool claimed = busy.compare_exchange_strong(expected, true);
    // Busy otherwise: on a thread that has finished its native work and now
    // waits for the process to end (others settled), or one that may not have.
    if (!claimed && !others_settled) return;
    try {
        write_battery_ram();
    } catch (const std::exception& e) {
        report_thread_error((std::string("battery RAM not saved at exit: ") + e.what()).c_str(), verbose);
    }
    if (claimed) busy = false;
}

void NESUnit::set_pause(bool p) { thread.set_paused(p); }

void NESUnit::perFrame(const FrameCallback& f) {
    perframefunc.store(f ? std::make_shared<const FrameCallback>(f) : nullptr);
}

const uint8_t* NESUnit::battery_ram() const {
    const NES::Mapper* mapper = rom ? rom->mapper.get() : nullptr;
    return mapper ? mapper->battery_ram(*cpu) : cpu->memory + 0x6000;
}

std::size_t NESUnit::battery_size() const {
    const NES::Mapper* mapper = rom ? rom->mapper.get() : nullptr;
    return mapper ? mapper->battery_size() : NES::Mapper::BATTERY_BYTES;
}

void NESUnit::write_battery_ram() {
    if (!keeps_battery()) return;
    const uint8_t* ram = battery_ram();
    write_file_atomically(game_dir + "/ram", ram, battery_size());
    battery_saved.assign(ram, ram + battery_size());
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

// ---- Save folder ----

bool NESUnit::setSaveDir(std::string dir) {
    std::error_code ec;
    if (!fs::is_directory(fs::status(dir, ec))) return false;
    save_dir = std::move(dir);
    return true;
}

py::str NESUnit::getSaveDir() const { return fs_text(save_dir); }

// ---- Sample ring ----

py::array_t<int16_t> NESUnit::read_audio() {
    // The interpreter lock, held throughout, keeps this the ring's only reader.
    if (audio_scratch.size() != NES::APU::RING_LEN) audio_scratch.assign(NES::APU::RING_LEN, 0);
    const std::size_t n = apu->read_ring(audio_scratch.data());
    py::array_t<int16_t> out(static_cast<py::ssize_t>(n));
    if (n) std::memcpy(out.mutable_data(), audio_scratch.data(), n * sizeof(int16_t));
    return out;
}

uint64_t NESUnit::audio_dropped() const { return apu->ring_dropped; }

void NESUnit::plug(ControllerWrapper& pad, py::object pad_object, int port) {
    setController(pad, port);
    // The new pad is in place before the count is read: a step that begins
    // after the read reads the new one.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint64_t now = steps.load();
    std::erase_if(retired_pads, [now](const auto& retired) { return retired.second != now; });
    py::object old = std::move(plugged[port]);
    plugged[port] = std::move(pad_object);
    // A step going on at this moment may be reading the old pad.
    if (now & 1) retired_pads.emplace_back(std::move(old), now);
}

// ---- Python module ----

// The battery_file keyword of the cartridge constructors.
#define BATTERY_FILE_DOC                                                                                        \
    "battery_file: what a battery-backed cartridge does with the ram file in its game folder: \"read-write\"\n" \
    "    (the default: read when inserted, written back), \"read-only\" (read, never written) or \"none\"\n"    \
    "    (neither; battery RAM starts cleared).\n"

PYBIND11_MODULE(pictor, m) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const NES::FileError& e) {
            if (e.err == 0) {
                PyErr_SetObject(PyExc_OSError, fs_text(e.what()).ptr());
                return;
            }
            // OSError(errno, strerror, path): Python picks the subclass, e.g. FileNotFoundError for ENOENT.
            py::object path = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(e.path.c_str()));
            if (!path) PyErr_Clear();
            errno = e.err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        } catch (const py::cast_error& e) {
            PyErr_SetObject(PyExc_TypeError, fs_text(e.what()).ptr());
        } catch (const py::builtin_exception&) {
            throw;  // pybind11's own, with their Python types
        } catch (const std::invalid_argument& e) {
            PyErr_SetObject(PyExc_ValueError, fs_text(e.what()).ptr());
        } catch (const std::runtime_error& e) {
            PyErr_SetObject(PyExc_RuntimeError, fs_text(e.what()).ptr());
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
                     const std::optional<FsPath>& save_root, NES::Accuracy accuracy, BatteryFile battery_file) {
               install(v_h, machine_from_path(rom_name, {rate, verbose, accuracy, battery_file}, save_root));
           },
           py::detail::is_new_style_constructor(),
           "Loads the cartridge image at a path.\n\n"
           "rom_name: the image file (str, bytes or os.PathLike); its base name without extension names the game\n"
           "    folder (a name that reduces to nothing, such as \".nes\", gets one named by the image's hash).\n"
           "CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.\n"
           "verbose: False prints nothing at all for this machine.\n"
           "save_root: an existing folder to hold the game folder instead of $HOME/.config/Lumaret.\n" ACCURACY_DOC
               BATTERY_FILE_DOC
           "\n"
           "Raises FileNotFoundError (or another OSError) when the file cannot be read or is not a regular file,\n"
           "ValueError when it is not a cartridge image or the path holds a NUL byte; warns (RuntimeWarning) when\n"
           "its mapper is not supported. A failed construction leaves nothing behind on disk.",
           py::arg("rom_name"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK, py::kw_only(), py::arg("verbose") = true,
           py::arg("save_root") = py::none(), py::arg("accuracy") = NES::Accuracy::standard,
           py::arg("battery_file") = BatteryFile::read_write)
        .def(
            "__init__",
            [install](value_and_holder& v_h, int rate, bool verbose, NES::Accuracy accuracy) {
                install(v_h, std::make_unique<NESUnit>(MachineSettings{rate, verbose, accuracy}));
            },
            py::detail::is_new_style_constructor(),
            "A console with the blank cartridge (no game folder).\n\n"
            "CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.\n"
            "verbose: False prints nothing at all for this machine.\n" ACCURACY_DOC,
            py::arg("CLOCK_SPEED") = DEFAULT_CLOCK, py::kw_only(), py::arg("verbose") = true,
            py::arg("accuracy") = NES::Accuracy::standard)
        .def(
            "__init__",
            [install](value_and_holder& v_h, py::object rom_file, int rate, bool verbose,
                      const std::optional<FsPath>& save_root, NES::Accuracy accuracy, BatteryFile battery_file) {
                install(v_h, machine_from_file_object(rom_file, {rate, verbose, accuracy, battery_file}, save_root));
            },
            py::detail::is_new_style_constructor(),
            "Reads the cartridge image from a file object.\n\n"
            "rom_file: an object with a name (str or bytes; it names the game folder) and read() giving the image\n"
            "    (bytes or bytearray; a file opened in text mode is refused with TypeError).\n"
            "CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.\n"
            "verbose: False prints nothing at all for this machine.\n"
            "save_root: an existing folder to hold the game folder instead of $HOME/.config/Lumaret.\n" ACCURACY_DOC
                BATTERY_FILE_DOC,
            py::arg("rom_file"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK, py::kw_only(), py::arg("verbose") = true,
            py::arg("save_root") = py::none(), py::arg("accuracy") = NES::Accuracy::standard,
            py::arg("battery_file") = BatteryFile::read_write)
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
        .def_property_readonly("accuracy", live(&NESUnit::accuracy),
                               "The timing model the machine was built with: \"standard\" or \"hardware\".")
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
             "folder, verbose, the timing model and the battery file mode; not the per-frame callback or plugged\n"
             "pads.")
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

    m.def(
        "readCartridge",
        [](const FsPath& path) {
            std::unique_ptr<NES::ROM> rom;
            {
                Unlocked unlocked;
                rom = std::make_unique<NES::ROM>(path.bytes.c_str(), false);
            }
            return py::bytes(reinterpret_cast<const char*>(rom->image.data()), rom->image.size());
        },
        "The bytes of the cartridge image file at path, read and checked as NES(path) reads it: only a regular\n"
        "file is read (OSError at once for a FIFO, a device or a directory; FileNotFoundError when there is\n"
        "none), and ValueError when it is not a usable cartridge image.\n\n"
        "path: the image file (str, bytes or os.PathLike).",
        py::arg("path"));

    define_observer(m);
    define_batch(m);

    py::module_::import("atexit").attr("register")(py::cpp_function(&finish_machines_at_exit));
}
