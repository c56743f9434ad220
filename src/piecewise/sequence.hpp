// An owned, fixed-length sequence of tie-point elements.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>

namespace rust {

// The table's storage for xp or fp: one allocation, filled by the caller, never
// resized. Unlike std::vector it does not zero the memory it is about to overwrite.
template <class T>
class Sequence {
public:
    Sequence() = default;

    // n elements with unspecified contents; throws std::bad_alloc.
    static Sequence uninitialised(std::size_t n) {
        Sequence s;
        if (n != 0) {
            s.data_ = std::make_unique_for_overwrite<T[]>(n);
        }
        s.size_ = n;
        return s;
    }

    Sequence(std::initializer_list<T> items) : Sequence(uninitialised(items.size())) {
        std::size_t i = 0;
        for (const T& item : items) {
            data_[i++] = item;
        }
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace rust
