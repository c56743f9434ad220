// The mapping of every failure of a call to the one Python exception it raises.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "module/python.hpp"
#include "panic.hpp"
#include "piecewise/interp_error.hpp"

namespace rust::errors {

enum class Direction { Forward, Inverse };

// Raises the exception of a table failure for an entry point of this direction.
void set_interp_error(Direction direction, InterpError error);

// Raises `type` with the message as its only argument, as an instance.
void set_error(PyObject* type, std::string_view message);
void set_error(PyObject* type, PyObject* message);

// Raises PanicException (created on first need) with the message.
void set_panic(std::string_view message);

// Sets the Python exception for the C++ exception being handled.
void set_from_current_exception() noexcept;

// Runs one entry point: C++ failures become Python exceptions here and nowhere
// else, and a null result always comes with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_from_current_exception();
        return nullptr;
    }
}

}  // namespace rust::errors
