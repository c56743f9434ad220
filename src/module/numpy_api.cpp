// Loading NumPy's C array API table from its capsule, once per process.
#define RUST_NUMPY_DEFINES_API
#include "module/numpy.hpp"

#include <string>

#include "module/errors.hpp"

namespace rust::np {

namespace {

std::string repr(PyObject* obj) {
    if (obj == nullptr) {
        return "None";
    }
    py::Ref text = py::Ref::steal(PyObject_Repr(obj));
    if (text) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            return {data, static_cast<std::size_t>(size)};
        }
    }
    PyErr_Clear();
    return "<unprintable>";
}

// Takes the pending Python error and describes it for a developer: its type,
// value and traceback.
std::string describe_pending_error() {
    PyObject* ptype = nullptr;
    PyObject* pvalue = nullptr;
    PyObject* ptrace = nullptr;
    PyErr_Fetch(&ptype, &pvalue, &ptrace);
    PyErr_NormalizeException(&ptype, &pvalue, &ptrace);
    py::Ref type = py::Ref::steal(ptype);
    py::Ref value = py::Ref::steal(pvalue);
    py::Ref trace = py::Ref::steal(ptrace);
    return "type: " + repr(type.get()) + ", value: " + repr(value.get()) +
           ", traceback: " + repr(trace.get());
}

py::Ref import(const char* name) {
    py::Ref text = py::check(PyUnicode_FromString(name));
    return py::check(PyImport_Import(text.get()));
}

py::Ref attr(const py::Ref& obj, const char* name) {
    return py::check(PyObject_GetAttrString(obj.get(), name));
}

// Runs NumPy's import and version query; Python code may run (and other threads
// with it), so the caller stores the result only once it is complete.
void** fetch_api_table() {
    py::Ref numpy = import("numpy");
    py::Ref version = attr(numpy, "__version__");
    py::Ref lib = import("numpy.lib");
    py::Ref numpy_version = attr(lib, "NumpyVersion");
    py::Ref parsed = py::check(PyObject_CallOneArg(numpy_version.get(), version.get()));
    py::Ref major_obj = attr(parsed, "major");
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred() != nullptr) {
        throw py::ErrorAlreadySet{};
    }
    if (major < 0 || major > 255) {
        PyErr_Format(PyExc_ValueError, "NumPy major version %ld out of range", major);
        throw py::ErrorAlreadySet{};
    }
    // NumPy 2 moved its core from numpy.core to numpy._core.
    py::Ref multiarray = import(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    py::Ref capsule = attr(multiarray, "_ARRAY_API");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the _ARRAY_API capsule holds no table");
        }
        throw py::ErrorAlreadySet{};
    }
    return static_cast<void**>(table);
}

}  // namespace

void load_api() {
    if (PyArray_API != nullptr) {
        return;
    }
    void** table = nullptr;
    try {
        table = fetch_api_table();
    } catch (const py::ErrorAlreadySet&) {
        errors::set_panic("Failed to access NumPy array API capsule: " + describe_pending_error());
        throw py::ErrorAlreadySet{};
    }
    // Another thread may have finished the same load while NumPy's import let it
    // run; the first table stored is kept.
    if (PyArray_API == nullptr) {
        PyArray_API = table;
        PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    }
}

}  // namespace rust::np
