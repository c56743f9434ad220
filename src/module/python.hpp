// The Python C API for the module boundary, and owners for its references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rust::py {

// Thrown when a Python error is already set and the call must return null with
// it; the boundary catches it and adds nothing.
struct ErrorAlreadySet {};

// An owned (strong) reference, released on every way out of its scope.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference, as the C API returns them; null means an error
    // is set, and callers that must fail on it use `check`.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to one that somebody else owns.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (a function that steals it, or Python).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from the C API, or ErrorAlreadySet when it returned null.
inline Ref check(PyObject* p) {
    if (p == nullptr) {
        throw ErrorAlreadySet{};
    }
    return Ref::steal(p);
}

// A status from the C API (0 on success, -1 with an error set).
inline void check_status(int status) {
    if (status < 0) {
        throw ErrorAlreadySet{};
    }
}

}  // namespace rust::py
