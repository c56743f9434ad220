// Argument binding of the entry points and the messages of a refused argument.
#pragma once

#include <array>
#include <cstddef>

#include "module/python.hpp"

namespace rust::binding {

constexpr std::size_t max_params = 4;

// One entry point's parameters, in order; the first `required` of them must be
// given. Every parameter may come by position or by keyword.
struct Signature {
    const char* name;
    std::array<const char*, max_params> params;
    std::size_t count;
    std::size_t required;
};

// Borrowed references to the bound arguments, null where none was given.
using Bound = std::array<PyObject*, max_params>;

// Binds a METH_FASTCALL | METH_KEYWORDS argument vector in full before anything
// is converted; raises TypeError (ErrorAlreadySet) on the first binding error.
Bound bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Raises TypeError "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"
// for a parameter whose object is not of the required kind.
[[noreturn]] void raise_conversion_error(const char* param, PyObject* obj, const char* target);

}  // namespace rust::binding

#include "schemes/method.hpp"

namespace rust::binding {

// The fill method of the inverse functions: None (or absent) is Exact, and the
// strings "nearest", "ffill" and "bfill" compare whole and case-sensitively.
// Raises TypeError for a non-str, the encoder's error for a str that has no
// UTF-8 form, and ValueError for any other string.
Method parse_method(PyObject* obj);

}  // namespace rust::binding
