// NumPy arrays at the boundary: accepting arguments, and handing the output
// buffer to a new result array.
#include "module/arrays.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace rust::arrays {

namespace {

// Large outputs come straight from the kernel, zero-filled, on huge pages where
// the kernel offers them: a buffer of ordinary pages pays one page fault per
// 4 KiB on first touch, which costs as much as the arithmetic itself. Smaller
// ones come from the C allocator.
constexpr std::size_t mapped_threshold = std::size_t{1} << 21;

std::size_t mapped_size(std::size_t bytes) {
    return (bytes + mapped_threshold - 1) & ~(mapped_threshold - 1);
}

void* allocate_buffer(std::size_t bytes) {
    if (bytes < mapped_threshold) {
        return std::calloc(bytes == 0 ? 1 : bytes, 1);
    }
    const std::size_t size = mapped_size(bytes);
    if (size < bytes || size + mapped_threshold < size) {
        return nullptr;
    }
    // Huge pages need an aligned start: map one alignment more than needed and
    // give back the unaligned head and the tail.
    void* raw = mmap(nullptr, size + mapped_threshold, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + mapped_threshold - 1) & ~std::uintptr_t{mapped_threshold - 1};
    const std::size_t head = aligned - start;
    if (head != 0) {
        munmap(raw, head);
    }
    if (mapped_threshold - head != 0) {
        munmap(reinterpret_cast<void*>(aligned + size), mapped_threshold - head);
    }
    void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(p, size, MADV_HUGEPAGE);  // advice only: ordinary pages if refused
#endif
    return p;
}

void release_buffer(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) {
        return;
    }
    if (bytes < mapped_threshold) {
        std::free(data);
    } else {
        munmap(data, mapped_size(bytes));
    }
}

// The base object of result arrays: owns the output buffer and frees it when the
// last array over it dies.
struct SliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t bytes;
};

void slice_container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* container = reinterpret_cast<SliceContainer*>(self);
    release_buffer(container->data, container->bytes);
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
    if (n > PTRDIFF_MAX / 8) {
        throw std::bad_alloc();
    }
    data_ = allocate_buffer(n * 8);
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
}

OutputBuffer::~OutputBuffer() { release_buffer(data_, size_ * 8); }

void* OutputBuffer::release() noexcept { return std::exchange(data_, nullptr); }

py::Ref adopt_as_array(OutputBuffer& buffer, int type_num) {
    PyTypeObject* container_type = slice_container_type();
    py::Ref container = py::check(container_type->tp_alloc(container_type, 0));
    auto* owner = reinterpret_cast<SliceContainer*>(container.get());
    owner->bytes = buffer.size() * 8;
    owner->data = buffer.release();
    void* data = owner->data;

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
