// What the module's classes share on their Python side: the argument types
// they take (file-system paths, the timing model, built objects only).
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string>

#include "glob_const.h"

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

// Text that holds paths as the file system gives them (os.fsdecode): bytes
// that are not UTF-8 come out as surrogate escapes, never as an error.
inline pybind11::str fs_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!decoded) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::str>(decoded);
}

// What a machine does with the battery RAM file in its game folder.
enum class BatteryFile : uint8_t {
    read_write,  // read at insertion, written back (stop, drop, exit, while running)
    read_only,   // read at insertion, never written
    none,        // neither: battery RAM starts cleared
};

// Keywords that take one of a few names, each the name of an enum member in
// the member's order: their names, their Python type, and the keyword.
template <typename E>
struct Choices;
template <>
struct Choices<NES::Accuracy> {
    static constexpr const char* keyword = "accuracy";
    static constexpr std::array<const char*, 2> names{"standard", "hardware"};
    static constexpr auto type = pybind11::detail::const_name("Literal['standard', 'hardware']");
};
template <>
struct Choices<BatteryFile> {
    static constexpr const char* keyword = "battery_file";
    static constexpr std::array<const char*, 3> names{"read-write", "read-only", "none"};
    static constexpr auto type = pybind11::detail::const_name("Literal['read-write', 'read-only', 'none']");
};

template <typename E>
const char* choice_name(E value) {
    return Choices<E>::names[static_cast<std::size_t>(value)];
}

namespace pybind11::detail {
// One of the names; any other str is a ValueError and any other type a
// TypeError, both naming the keyword and the choices.
template <typename E>
struct choice_caster {
    PYBIND11_TYPE_CASTER(E, Choices<E>::type);

    static std::string choices() {
        std::string list;
        for (std::size_t i = 0; i < Choices<E>::names.size(); ++i)
            list += std::string(i == 0                              ? ""
                                : i + 1 == Choices<E>::names.size() ? " or "
                                                                    : ", ") +
                    "'" + Choices<E>::names[i] + "'";
        return std::string(Choices<E>::keyword) + " must be " + list;
    }

    bool load(handle src, bool) {
        if (!PyUnicode_Check(src.ptr())) throw type_error(choices() + ", not " + Py_TYPE(src.ptr())->tp_name);
        for (std::size_t i = 0; i < Choices<E>::names.size(); ++i) {
            if (PyUnicode_CompareWithASCIIString(src.ptr(), Choices<E>::names[i]) == 0) {
                value = static_cast<E>(i);
                return true;
            }
        }
        throw value_error(choices() + ", got " + std::string(repr(src)));
    }

    static handle cast(E value, return_value_policy, handle) { return PyUnicode_FromString(choice_name(value)); }
};
template <>
struct type_caster<NES::Accuracy> : choice_caster<NES::Accuracy> {};
template <>
struct type_caster<BatteryFile> : choice_caster<BatteryFile> {};
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

// Member functions as methods whose self must be a built object.
template <typename R, typename C, typename... A>
auto live(R (C::*f)(A...)) {
    return [f](Live<C> self, A... args) -> R { return ((*self).*f)(std::forward<A>(args)...); };
}
template <typename R, typename C, typename... A>
auto live(R (C::*f)(A...) const) {
    return [f](Live<C> self, A... args) -> R { return ((*self).*f)(std::forward<A>(args)...); };
}
