#include "observation.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "cpu.h"
#include "wrapper.h"

namespace py = pybind11;

namespace {

constexpr int H = NES::PPU::HEIGHT;
constexpr int W = NES::PPU::WIDTH;

// The luma of each system palette colour: ITU-R BT.601 weights scaled to 256
// (77 + 150 + 29), rounded to nearest, so white stays 255.
constexpr auto GRAY = [] {
    std::array<uint8_t, 64> t{};
    for (int i = 0; i < 64; ++i) {
        const uint8_t* c = NES::NTSC_TO_RGB[i];
        t[i] = static_cast<uint8_t>((77 * c[0] + 150 * c[1] + 29 * c[2] + 128) >> 8);
    }
    return t;
}();

}  // namespace

ObsSpec ObsSpec::parse(const std::string& obs_type, const std::optional<std::pair<int, int>>& shape, int stack,
                       bool max_pool) {
    ObsSpec spec;
    if (obs_type == "rgb")
        spec.kind = ObsKind::rgb;
    else if (obs_type == "grayscale")
        spec.kind = ObsKind::grayscale;
    else if (obs_type == "ram")
        spec.kind = ObsKind::ram;
    else
        throw std::invalid_argument("obs_type must be one of rgb, grayscale, ram, got '" + obs_type + "'");
    if (stack < 1 || stack > MAX_STACK)
        throw std::invalid_argument("frame_stack must be from 1 to " + std::to_string(MAX_STACK) + ", got " +
                                    std::to_string(stack));
    spec.stack = stack;
    spec.max_pool = max_pool;
    if (spec.kind == ObsKind::ram) {
        if (max_pool) throw std::invalid_argument("max_pool pools pictures: it needs obs_type 'rgb' or 'grayscale'");
        if (shape) throw std::invalid_argument("obs_shape sizes pictures: it needs obs_type 'rgb' or 'grayscale'");
        return spec;
    }
    if (shape) {
        const auto [height, width] = *shape;
        if (height < 1 || height > H || width < 1 || width > W)
            throw std::invalid_argument("obs_shape must be (height, width) from (1, 1) to (240, 256), got (" +
                                        std::to_string(height) + ", " + std::to_string(width) + ")");
        spec.height = height;
        spec.width = width;
    }
    return spec;
}

std::size_t ObsSpec::frame_bytes() const {
    if (kind == ObsKind::ram) return RAM_OBS_LEN;
    return static_cast<std::size_t>(height) * width * (kind == ObsKind::rgb ? 3 : 1);
}

std::vector<py::ssize_t> ObsSpec::shape() const {
    std::vector<py::ssize_t> s;
    if (stack > 1) s.push_back(stack);
    if (kind == ObsKind::ram) {
        s.push_back(RAM_OBS_LEN);
        return s;
    }
    s.push_back(height);
    s.push_back(width);
    if (kind == ObsKind::rgb) s.push_back(3);
    return s;
}

ObsWriter::Axis ObsWriter::area_axis(int source_len, int out_len) {
    // Source pixel s spans [s * out_len, (s + 1) * out_len), output n spans
    // [n * source_len, (n + 1) * source_len): whole numbers throughout.
    Axis axis;
    for (int n = 0; n < out_len; ++n) {
        axis.first.push_back(static_cast<uint32_t>(axis.taps.size()));
        const int begin = n * source_len, end = (n + 1) * source_len;
        for (int s = begin / out_len; s < source_len && s * out_len < end; ++s) {
            const int overlap = std::min((s + 1) * out_len, end) - std::max(s * out_len, begin);
            if (overlap > 0) axis.taps.push_back({static_cast<uint16_t>(s), static_cast<uint16_t>(overlap)});
        }
    }
    axis.first.push_back(static_cast<uint32_t>(axis.taps.size()));
    return axis;
}

ObsWriter::ObsWriter(const ObsSpec& spec) : spec(spec), channels(spec.kind == ObsKind::rgb ? 3 : 1) {
    if (spec.kind == ObsKind::ram) return;
    row.resize(static_cast<std::size_t>(W) * channels);
    if (spec.height != H || spec.width != W) {
        columns = area_axis(W, spec.width);
        rows = area_axis(H, spec.height);
        column_sums.resize(static_cast<std::size_t>(H) * spec.width * channels);
    }
}

void ObsWriter::hold(const NES::PPU& ppu) {
    if (spec.max_pool) std::memcpy(previous.data(), ppu.index_buffer, previous.size());
}

const uint8_t* ObsWriter::source_row(const NES::PPU& ppu, int y) {
    const uint8_t* now = ppu.index_buffer + y * W;
    const uint8_t* before = previous.data() + y * W;
    uint8_t* out = row.data();
    if (channels == 1) {
        for (int x = 0; x < W; ++x) out[x] = GRAY[now[x] & 63];
        if (spec.max_pool)
            for (int x = 0; x < W; ++x) out[x] = std::max(out[x], GRAY[before[x] & 63]);
        return out;
    }
    for (int x = 0; x < W; ++x) std::memcpy(out + 3 * x, NES::NTSC_TO_RGB[now[x] & 63], 3);
    if (spec.max_pool)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) out[3 * x + c] = std::max(out[3 * x + c], NES::NTSC_TO_RGB[before[x] & 63][c]);
    return out;
}

void ObsWriter::write_frame(const NES::CPU& cpu, const NES::PPU& ppu, uint8_t* out) {
    if (spec.kind == ObsKind::ram) {
        std::memcpy(out, cpu.memory, RAM_OBS_LEN);
        return;
    }
    const std::size_t line = static_cast<std::size_t>(W) * channels;
    if (column_sums.empty()) {  // full size
        for (int y = 0; y < H; ++y) std::memcpy(out + y * line, source_row(ppu, y), line);
        return;
    }
    const int out_line = spec.width * channels;
    for (int y = 0; y < H; ++y) {
        const uint8_t* source = source_row(ppu, y);
        uint32_t* sums = column_sums.data() + static_cast<std::size_t>(y) * out_line;
        for (int n = 0; n < spec.width; ++n)
            for (int c = 0; c < channels; ++c) {
                uint32_t sum = 0;
                for (uint32_t t = columns.first[n]; t < columns.first[n + 1]; ++t)
                    sum += columns.taps[t].weight * uint32_t{source[columns.taps[t].source * channels + c]};
                sums[n * channels + c] = sum;
            }
    }
    constexpr uint32_t AREA = H * W;  // the weights of one output pixel sum to this
    for (int m = 0; m < spec.height; ++m)
        for (int k = 0; k < out_line; ++k) {
            uint32_t sum = 0;
            for (uint32_t t = rows.first[m]; t < rows.first[m + 1]; ++t)
                sum += rows.taps[t].weight * column_sums[static_cast<std::size_t>(rows.taps[t].source) * out_line + k];
            out[m * out_line + k] = static_cast<uint8_t>((sum + AREA / 2) / AREA);
        }
}

void ObsWriter::push(const NES::CPU& cpu, const NES::PPU& ppu, uint8_t* out) {
    const std::size_t frame = spec.frame_bytes();
    if (spec.stack > 1) std::memmove(out, out + frame, frame * (spec.stack - 1));
    write_frame(cpu, ppu, out + frame * (spec.stack - 1));
}

void ObsWriter::fill(const NES::CPU& cpu, const NES::PPU& ppu, uint8_t* out) {
    const std::size_t frame = spec.frame_bytes();
    write_frame(cpu, ppu, out);
    for (int k = 1; k < spec.stack; ++k) std::memcpy(out + frame * k, out, frame);
}

// ---- Python ----

namespace {

// One machine's observation in an array of its own.
class Observer {
public:
    Observer(py::object nes, const ObsSpec& spec)
        : nes(std::move(nes)), machine(this->nes.cast<NESUnit&>()), writer(spec), data(spec.bytes()) {}

    py::array_t<uint8_t> view(py::object self) { return py::array_t<uint8_t>(writer.spec.shape(), data.data(), self); }
    void hold() { writer.hold(*machine.ppu); }
    void push() { writer.push(*machine.cpu, *machine.ppu, data.data()); }
    void fill() { writer.fill(*machine.cpu, *machine.ppu, data.data()); }

private:
    py::object nes;  // kept alive while observed
    NESUnit& machine;
    ObsWriter writer;
    std::vector<uint8_t> data;
};

}  // namespace

void define_observer(py::module_& m) {
    py::class_<Observer>(m, "Observer",
                         "One machine's observation for a learning agent, made in C++ from the palette indices\n"
                         "of its picture (or its work RAM) into an array of its own, which every call returns a\n"
                         "view of: copy what you keep.")
        .def(py::init([](py::object nes, const std::string& obs_type, std::optional<std::pair<int, int>> obs_shape,
                         int frame_stack, bool max_pool) {
                 if (!py::isinstance<NESUnit>(nes)) throw py::type_error("Observer: nes must be a pictor.NES");
                 return std::make_unique<Observer>(nes, ObsSpec::parse(obs_type, obs_shape, frame_stack, max_pool));
             }),
             "nes: the machine observed (kept alive by the observer).\n"
             "obs_type: \"rgb\" (240, 256, 3), \"grayscale\" (240, 256: the BT.601 luma of each colour) or \"ram\"\n"
             "    (2048,), all uint8.\n"
             "obs_shape: (height, width) for a smaller picture, averaged over the area each pixel covers.\n"
             "frame_stack: the last frame_stack frames (1 to 64), oldest first, on a leading axis when above 1.\n"
             "max_pool: each picture is the element-wise maximum of the frame held by hold() and the current one.",
             py::arg("nes"), py::kw_only(), py::arg("obs_type") = "rgb", py::arg("obs_shape") = py::none(),
             py::arg("frame_stack") = 1, py::arg("max_pool") = false)
        .def("hold", &Observer::hold,
             "Keeps the current picture as the one max_pool pools with: call it before the last frame of a step.")
        .def(
            "push",
            [](py::object self) {
                Observer& o = self.cast<Observer&>();
                o.push();
                return o.view(self);
            },
            "Moves the stack on by one frame, puts the current one last and returns the observation.")
        .def(
            "fill",
            [](py::object self) {
                Observer& o = self.cast<Observer&>();
                o.fill();
                return o.view(self);
            },
            "Puts the current frame in every place of the stack (as after a reset) and returns the observation.")
        .def_property_readonly(
            "observation", [](py::object self) { return self.cast<Observer&>().view(self); },
            "The observation as the last push or fill made it.");
}
