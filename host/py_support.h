// What the module's classes share on their Python side: the argument types
// they take (file-system paths, the timing model, built objects only).
#pragma once

#include <pybind11/pybind11.h>

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

// The timing model by its Python name.
inline const char* accuracy_name(NES::Accuracy accuracy) {
    return accuracy == NES::Accuracy::hardware ? "hardware" : "standard";
}

namespace pybind11::detail {
// accuracy="standard" or "hardware"; any other str is a ValueError and any
// other type a TypeError, both naming the choices.
template <>
struct type_caster<NES::Accuracy> {
    PYBIND11_TYPE_CASTER(NES::Accuracy, const_name("Literal['standard', 'hardware']"));

    bool load(handle src, bool) {
        if (!PyUnicode_Check(src.ptr()))
            throw type_error(std::string("accuracy must be 'standard' or 'hardware', not ") +
                             Py_TYPE(src.ptr())->tp_name);
        for (NES::Accuracy model : {NES::Accuracy::standard, NES::Accuracy::hardware}) {
            if (PyUnicode_CompareWithASCIIString(src.ptr(), accuracy_name(model)) == 0) {
                value = model;
                return true;
            }
        }
        throw value_error("accuracy must be 'standard' or 'hardware', got " + std::string(repr(src)));
    }

    static handle cast(NES::Accuracy model, return_value_policy, handle) {
        return PyUnicode_FromString(accuracy_name(model));
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

// Member functions as methods whose self must be a built object.
template <typename R, typename C, typename... A>
auto live(R (C::*f)(A...)) {
    return [f](Live<C> self, A... args) -> R { return ((*self).*f)(std::forward<A>(args)...); };
}
template <typename R, typename C, typename... A>
auto live(R (C::*f)(A...) const) {
    return [f](Live<C> self, A... args) -> R { return ((*self).*f)(std::forward<A>(args)...); };
}
