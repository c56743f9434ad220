// NumPy arrays at the boundary: accepting arguments, reading tie points, and
// handing the output buffer to a new result array.
#pragma once

#include <cstdint>
#include <cstring>

#include "module/binding.hpp"
#include "module/numpy.hpp"
#include "piecewise/sequence.hpp"

namespace rust::arrays {

// NumPy type numbers of the element types the module reads and writes. NumPy
// numbers its types after C's (long, long long), whose sizes differ between
// systems (long has 32 bits on 64-bit Windows); the sized names stand for
// whichever C type has the size.
static_assert(sizeof(npy_uint64) == sizeof(std::uint64_t) && sizeof(npy_int64) == sizeof(std::int64_t) &&
              sizeof(npy_float64) == sizeof(double));
template <class T>
constexpr int type_number();
template <>
constexpr int type_number<std::uint64_t>() { return NPY_UINT64; }
template <>
constexpr int type_number<std::int64_t>() { return NPY_INT64; }
template <>
constexpr int type_number<double>() { return NPY_FLOAT64; }

// A one-dimensional array read in place through its own byte stride, which may
// be negative, zero or not a multiple of 8, over data that need not be aligned.
template <class T>
class View {
public:
    View(py::Ref array, const char* data, std::size_t length, std::ptrdiff_t stride) noexcept
        : array_(std::move(array)), data_(data), length_(length), stride_(stride) {}

    std::size_t size() const noexcept { return length_; }

    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, data_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof(T));
        return value;
    }

    // Calls body with a reader of element i: a plain load when the elements are
    // packed, which lets the compiler keep the loop tight, else a strided one.
    template <class Body>
    decltype(auto) visit(Body&& body) const {
        if (stride_ == static_cast<std::ptrdiff_t>(sizeof(T))) {
            const char* data = data_;
            return body([data](std::size_t i) {
                T value;
                std::memcpy(&value, data + i * sizeof(T), sizeof(T));
                return value;
            });
        }
        return body([this](std::size_t i) { return (*this)[i]; });
    }

    // Whether elements [first, last) (two or more) look descending: the last
    // below the first, and neither end pair rising. A look, not a proof: any
    // order gives the same answers, only slower or faster.
    bool looks_descending(std::size_t first, std::size_t last) const noexcept {
        return (*this)[last - 1] < (*this)[first] && (*this)[first + 1] <= (*this)[first] &&
               (*this)[last - 1] <= (*this)[last - 2];
    }

    // Elements [first, last) (not empty), read in place in index order or
    // from the last back.
    View part(std::size_t first, std::size_t last, bool backwards) const noexcept {
        const std::size_t start = backwards ? last - 1 : first;
        return View(py::Ref::borrow(array_.get()), data_ + static_cast<std::ptrdiff_t>(start) * stride_, last - first,
                    backwards ? -stride_ : stride_);
    }

    // The elements in index order for the table of this call. Packed, aligned
    // elements are read in place: the view keeps the array alive, the
    // interpreter lock held for the whole call keeps it unchanged, and the call
    // only reads it. Other layouts are copied, element by element.
    Sequence<T> sequence() const {
        const bool packed = stride_ == static_cast<std::ptrdiff_t>(sizeof(T)) || length_ < 2;
        if (packed && reinterpret_cast<std::uintptr_t>(data_) % alignof(T) == 0) {
            return Sequence<T>::lent(reinterpret_cast<const T*>(data_), length_);
        }
        Sequence<T> out = Sequence<T>::uninitialised(length_);
        for (std::size_t i = 0; i < length_; ++i) {
            out.fill_data()[i] = (*this)[i];
        }
        return out;
    }

private:
    py::Ref array_;  // keeps the array (and so the data) alive for the call
    const char* data_;
    std::size_t length_;
    std::ptrdiff_t stride_;
};

// The array behind a parameter if it is a one-dimensional NumPy array (or
// subclass) whose dtype is equivalent to `type_num`; otherwise null.
PyArrayObject* as_vector(PyObject* obj, int type_num);

// Accepts the argument of parameter `param` as a view of T elements, or raises
// the TypeError of a refused argument.
template <class T>
View<T> accept(PyObject* obj, const char* param) {
    PyArrayObject* array = as_vector(obj, type_number<T>());
    if (array == nullptr) {
        binding::raise_conversion_error(param, obj, "PyArray<T, D>");
    }
    return View<T>(py::Ref::borrow(obj), static_cast<const char*>(PyArray_DATA(array)),
                   static_cast<std::size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0));
}

// The output of one call: n elements of 8 bytes, not initialised, reported to
// the interpreter's allocation tracking while it lives, and released unless a
// result array took it over.
class OutputBuffer {
public:
    explicit OutputBuffer(std::size_t n);
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer();

    template <class T>
    T* as() noexcept {
        static_assert(sizeof(T) == 8);
        return static_cast<T*>(data_);
    }
    std::size_t size() const noexcept { return size_; }
    void* release() noexcept;

private:
    void* data_;
    std::size_t size_;
};

// A new one-dimensional array of `type_num` over the buffer, which it adopts
// through a PySliceContainer base that frees it when the array dies.
py::Ref adopt_as_array(OutputBuffer& buffer, int type_num);

}  // namespace rust::arrays
