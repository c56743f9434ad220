// The mapping of every failure of a call to the one Python exception it raises.
#include "module/errors.hpp"

#include <string>

namespace rust::errors {

namespace {

struct Mapped {
    PyObject* type;
    const char* message;
};

// OutOfBounds is an IndexError going forward but a KeyError going back: the
// inverse reads like a lookup of a value. NotFound only arises inverse.
Mapped mapping(Direction direction, InterpError error) {
    const bool forward = direction == Direction::Forward;
    switch (error) {
        case InterpError::OutOfBounds:
            return forward ? Mapped{PyExc_IndexError, "x out of bounds"}
                           : Mapped{PyExc_KeyError, "f out of bounds"};
        case InterpError::NotFound:
            return {PyExc_KeyError, "f not found"};
        case InterpError::NotStrictlyIncreasing:
            return forward ? Mapped{PyExc_ValueError, "xp must be strictly increasing"}
                           : Mapped{PyExc_ValueError, "fp must be strictly increasing"};
    }
    return {PyExc_SystemError, "unknown table failure"};
}

constexpr const char* panic_doc =
    "Raised when the native code of the module meets an internal failure.\n\n"
    "It derives from BaseException, like SystemExit, so that an ordinary\n"
    "`except Exception` clause does not swallow it: it normally propagates all\n"
    "the way up and ends the interpreter.";

// Made once per process on first need and kept; a failed attempt keeps nothing.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (made != nullptr && type == nullptr) {
            type = made;
        } else {
            Py_XDECREF(made);
        }
    }
    return type;
}

}  // namespace

void set_error(PyObject* type, std::string_view message) {
    py::Ref text = py::Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        set_error(type, text.get());
    }
}

void set_error(PyObject* type, PyObject* message) {
    // A str value (not a tuple) becomes the exception's only argument; normalising
    // makes the instance now, so callers see args == (message,).
    PyErr_SetObject(type, message);
    PyObject* ptype = nullptr;
    PyObject* pvalue = nullptr;
    PyObject* ptrace = nullptr;
    PyErr_Fetch(&ptype, &pvalue, &ptrace);
    PyErr_NormalizeException(&ptype, &pvalue, &ptrace);
    PyErr_Restore(ptype, pvalue, ptrace);
}

void set_interp_error(Direction direction, InterpError error) {
    const Mapped m = mapping(direction, error);
    set_error(m.type, m.message);
}

void set_panic(std::string_view message) {
    PyObject* type = panic_type();
    if (type != nullptr) {
        set_error(type, message);
    }
}

void set_from_current_exception() noexcept {
    try {
        throw;
    } catch (const py::ErrorAlreadySet&) {
        // The Python error is already the answer.
    } catch (const Panic& p) {
        set_panic(p.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
}

}  // namespace rust::errors
