// NumPy arrays at the boundary: accepting arguments, and handing the output
// buffer to a new result array.

// CPython's headers declare the allocation-tracking functions without the C
// linkage that their other declarations get in C++, so the names would be
// looked up mangled. Declared here first with C linkage, which a later
// declaration without one (those in Python.h) keeps. (PyPy's headers rename them to its own C
// functions; these two names then go unused.)
#include <cstddef>
#include <cstdint>
// On Windows the interpreter's functions come from its DLL, and a declaration
// must say so as Python.h's does.
#if defined(_WIN32)
#define RUST_PYTHON_IMPORT __declspec(dllimport)
#else
#define RUST_PYTHON_IMPORT
#endif
extern "C" RUST_PYTHON_IMPORT int PyTraceMalloc_Track(unsigned int domain, std::uintptr_t ptr, std::size_t size);
extern "C" RUST_PYTHON_IMPORT int PyTraceMalloc_Untrack(unsigned int domain, std::uintptr_t ptr);

#include "module/arrays.hpp"

#include <cstdlib>
#include <new>

#include "platform/pages.hpp"

namespace rust::arrays {

namespace {

// The interpreter's allocation tracking (tracemalloc on CPython) files each
// output buffer under this domain: the module's name read as four ASCII bytes.
// Python's own allocators use domain 0 and NumPy uses one of its own, so a
// snapshot filtered by domain tells the module's results apart from both.
constexpr unsigned int trace_domain = 0x72757374;  // "rust"

// From this size on, a buffer is advised onto huge pages, as NumPy advises the
// data of its own arrays: fresh memory of ordinary pages pays one page fault per
// 4 KiB on first touch, which costs as much as the arithmetic itself.
constexpr std::size_t huge_page_advice_threshold = std::size_t{1} << 22;

// Blocks from this size on come straight from the kernel, on a huge-page
// boundary: glibc maps blocks this large afresh on every call anyway (its
// threshold for mapping blocks of their own rises with the blocks freed, up to
// 32 MiB), and its mappings do not start on one, which leaves the ends of a
// buffer on ordinary pages.
constexpr std::size_t mapped_threshold = std::size_t{32} << 20;
using platform::kHugePage;

std::size_t mapped_size(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

void* map_buffer(std::size_t bytes) noexcept {
    const std::size_t size = mapped_size(bytes);
    if (size < bytes) {
        return nullptr;
    }
    void* data = platform::allocate_huge_aligned(size);
    if (data != nullptr) {
        platform::advise_huge_pages(data, size);
    }
    return data;
}

// Smaller buffers come from the C allocator, which keeps freed blocks and hands
// them to the next call with their pages already present. No zero fill: every
// element is written before a result array is made over the buffer, and a
// failed call frees it unseen, whereas calloc pays a memset on reused memory.
void* allocate_buffer(std::size_t bytes) {
    const std::size_t size = bytes == 0 ? 1 : bytes;
    void* data = nullptr;
    if (size >= mapped_threshold) {
        data = map_buffer(size);
    } else {
        data = std::malloc(size);
        if (data != nullptr && size >= huge_page_advice_threshold) {
            platform::advise_huge_pages(data, size);
        }
    }
    if (data == nullptr) {
        return nullptr;
    }
    // Tells the interpreter what the buffer holds: tracemalloc on CPython counts
    // it; PyPy adds it to the memory pressure that paces its collector, which
    // alone frees result arrays there. A refusal (tracing off) changes nothing.
    PyTraceMalloc_Track(trace_domain, reinterpret_cast<std::uintptr_t>(data), size);
#ifdef PYPY_VERSION
    // NumPy on PyPy reports the data of its arrays a second time, as pressure
    // added directly, so its arrays are collected after half the volume that
    // the tracking call alone would wait for. Results are reported alike, so
    // that a loop making them is collected as often as one making NumPy arrays.
    _PyPyGC_AddMemoryPressure(static_cast<Py_ssize_t>(size));
#endif
    return data;
}

void release_buffer(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) {
        return;
    }
    PyTraceMalloc_Untrack(trace_domain, reinterpret_cast<std::uintptr_t>(data));
    if (bytes >= mapped_threshold) {
        platform::free_huge_aligned(data, mapped_size(bytes));
    } else {
        std::free(data);
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
