// One pass over the fields of a machine snapshot. A single field list per
// unit serves three passes: Save appends every field to a byte buffer, Check
// reads every field from a snapshot and validates it without changing
// anything, and Load reads the (already checked) fields into the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace NES {

class StateIO {
public:
    enum class Mode { Save, Check, Load };

    // A Save pass appending to out.
    explicit StateIO(std::vector<uint8_t>& out) : mode_(Mode::Save), out_(&out) {}
    // A Check or Load pass over size bytes of data.
    StateIO(Mode mode, const uint8_t* data, std::size_t size) : mode_(mode), data_(data), limit_(size), size_(size) {}

    Mode mode() const { return mode_; }
    bool checking() const { return mode_ == Mode::Check; }
    // Bytes written (Save) or read (Check, Load) so far.
    std::size_t position() const { return mode_ == Mode::Save ? out_->size() : pos_; }

    // An integer field stored little-endian in sizeof(T) bytes; a value read
    // back must lie in lo..hi. Returns the field's value in this pass.
    template <typename T>
    T num(T& field, const char* name, int64_t lo, int64_t hi) {
        static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
        using U = std::make_unsigned_t<T>;
        if (mode_ == Mode::Save) {
            const U u = static_cast<U>(field);
            for (std::size_t i = 0; i < sizeof(T); ++i) out_->push_back(static_cast<uint8_t>(u >> (8 * i)));
            return field;
        }
        const uint8_t* p = take(sizeof(T), name);
        U u = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) u = static_cast<U>(u | static_cast<U>(p[i]) << (8 * i));
        const T value = static_cast<T>(u);
        if (mode_ == Mode::Check && (static_cast<int64_t>(value) < lo || static_cast<int64_t>(value) > hi))
            fail(std::string(name) + " holds " + std::to_string(static_cast<int64_t>(value)) + ", outside " +
                 std::to_string(lo) + ".." + std::to_string(hi));
        if (mode_ == Mode::Load) field = value;
        return value;
    }

    // A whole-range integer field.
    template <typename T>
    T num(T& field, const char* name) {
        return num(field, name, static_cast<int64_t>(std::numeric_limits<T>::min()),
                   static_cast<int64_t>(std::numeric_limits<T>::max()));
    }

    // A boolean, stored as one byte 0 or 1.
    bool flag(bool& field, const char* name) {
        uint8_t b = field ? 1 : 0;
        b = num(b, name, 0, 1);
        if (mode_ == Mode::Load) field = b != 0;
        return b != 0;
    }

    // A float stored as its 32 IEEE bits; a value read back must be a number in lo..hi.
    float real(float& field, const char* name, float lo, float hi) {
        static_assert(sizeof(float) == sizeof(uint32_t));
        uint32_t bits;
        std::memcpy(&bits, &field, sizeof bits);
        bits = num(bits, name);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (mode_ == Mode::Check && !(value >= lo && value <= hi))
            fail(std::string(name) + " holds " + std::to_string(value) + ", outside " + std::to_string(lo) + ".." +
                 std::to_string(hi));
        if (mode_ == Mode::Load) field = value;
        return value;
    }

    // n raw bytes, any values.
    void bytes(uint8_t* field, std::size_t n, const char* name) {
        if (mode_ == Mode::Save) {
            out_->insert(out_->end(), field, field + n);
            return;
        }
        const uint8_t* p = take(n, name);
        if (mode_ == Mode::Load) std::memcpy(field, p, n);
    }

    // A rule between fields: fails a Check pass with the reason; no effect otherwise.
    void require(bool ok, const char* reason) {
        if (mode_ == Mode::Check && !ok) fail(reason);
    }

    // A section: a four-character tag and the byte length of what follows.
    void begin_section(const char (&tag)[5]) {
        if (mode_ == Mode::Save) {
            out_->insert(out_->end(), tag, tag + 4);
            section_start_ = out_->size();
            uint32_t placeholder = 0;
            num(placeholder, "section length");
            return;
        }
        limit_ = size_;
        const uint8_t* p = take(4, "section tag");
        if (std::memcmp(p, tag, 4) != 0)
            fail("section '" + std::string(tag) + "' expected, found '" + printable(p, 4) + "'");
        uint32_t field = 0;
        const uint32_t length = num(field, "section length");
        if (length > size_ - pos_)
            fail("section '" + std::string(tag) + "' announces " + std::to_string(length) + " bytes but " +
                 std::to_string(size_ - pos_) + " remain");
        section_tag_ = tag;
        limit_ = pos_ + length;
    }

    void end_section() {
        if (mode_ == Mode::Save) {
            const std::size_t length = out_->size() - section_start_ - 4;
            for (std::size_t i = 0; i < 4; ++i)
                (*out_)[section_start_ + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
            return;
        }
        if (pos_ != limit_)
            fail("section '" + section_tag_ + "' holds " + std::to_string(limit_ - pos_) +
                 " bytes more than this version has fields for");
        limit_ = size_;
    }

    // Whether every byte has been read.
    bool at_end() const { return mode_ == Mode::Save || pos_ == size_; }

    [[noreturn]] static void fail(const std::string& reason) {
        throw std::invalid_argument("invalid snapshot: " + reason);
    }

private:
    const uint8_t* take(std::size_t n, const char* name) {
        if (n > limit_ - pos_) {
            if (limit_ == size_) fail(std::string("truncated at ") + name);
            fail("section '" + section_tag_ + "' is too short for " + name);
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

    static std::string printable(const uint8_t* p, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?';
        return s;
    }

    Mode mode_;
    std::vector<uint8_t>* out_ = nullptr;
    const uint8_t* data_ = nullptr;
    std::size_t pos_ = 0;
    std::size_t limit_ = 0;  // end of the current section, or of the data
    std::size_t size_ = 0;
    std::size_t section_start_ = 0;
    std::string section_tag_;
};

}  // namespace NES
