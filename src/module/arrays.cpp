// NumPy arrays at the boundary: accepting arguments, and handing the output
// buffer to a new result array.
#include "module/arrays.hpp"

#include <cstdlib>
#include <new>

namespace rust::arrays {

namespace {

// The base object of result arrays: owns the output buffer and frees it when the
// last array over it dies.
struct SliceContainer {
    PyObject_HEAD
    void* data;
};

void slice_container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(reinterpret_cast<SliceContainer*>(self)->data);
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory of an array returned by the module.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "rust.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

// Made once per process on first need; a failed attempt keeps nothing.
PyTypeObject* slice_container_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* made = PyType_FromSpec(&slice_container_spec);
        if (made == nullptr) {
            throw py::ErrorAlreadySet{};
        }
        if (type == nullptr) {
            type = made;
        } else {
            Py_DECREF(made);
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyArrayObject* as_vector(PyObject* obj, int type_num) {
    if (!PyArray_Check(obj)) {
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1) {
        return nullptr;
    }
    PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
    if (wanted == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    // Equivalence, not identity: another name of the same native type passes,
    // a byte-swapped or differently sized one does not.
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
    Py_DECREF(wanted);
    return same ? array : nullptr;
}

OutputBuffer::OutputBuffer(std::size_t n) : data_(nullptr), size_(n) {
    // One element at least, so that an empty result still has its own memory.
    data_ = std::calloc(n == 0 ? 1 : n, 8);
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
}

OutputBuffer::~OutputBuffer() { std::free(data_); }

void* OutputBuffer::release() noexcept { return std::exchange(data_, nullptr); }

py::Ref adopt_as_array(OutputBuffer& buffer, int type_num) {
    PyTypeObject* container_type = slice_container_type();
    py::Ref container = py::check(container_type->tp_alloc(container_type, 0));
    reinterpret_cast<SliceContainer*>(container.get())->data = buffer.release();
    void* data = reinterpret_cast<SliceContainer*>(container.get())->data;

    PyArray_Descr* descr = PyArray_DescrFromType(type_num);
    if (descr == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    npy_intp strides[1] = {8};
    // Steals descr, also on failure.
    py::Ref array = py::check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data,
                                                   NPY_ARRAY_WRITEABLE, nullptr));
    // Steals the container, also on failure (it then frees the buffer).
    py::check_status(
        PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()));
    return array;
}

}  // namespace rust::arrays
