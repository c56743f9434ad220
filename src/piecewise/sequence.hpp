// A fixed-length sequence of tie-point elements: owned, or lent for one call.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>

namespace rust {

// The table's storage for xp or fp, never resized. Owned: one allocation,
// filled by the caller (unlike std::vector it does not zero the memory it is
// about to overwrite). Lent: packed, aligned elements that somebody else keeps
// alive and unchanged for the sequence's whole life.
template <class T>
class Sequence {
public:
    Sequence() = default;

    // n elements with unspecified contents; throws std::bad_alloc.
    static Sequence uninitialised(std::size_t n) {
        Sequence s;
        if (n != 0) {
            s.owned_ = std::make_unique_for_overwrite<T[]>(n);
        }
        s.data_ = s.owned_.get();
        s.size_ = n;
        return s;
    }

    // The n elements at `data` (aligned for T), read in place.
    static Sequence lent(const T* data, std::size_t n) noexcept {
        Sequence s;
        s.data_ = data;
        s.size_ = n;
        return s;
    }

    Sequence(std::initializer_list<T> items) : Sequence(uninitialised(items.size())) {
        std::size_t i = 0;
        for (const T& item : items) {
            owned_[i++] = item;
        }
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const T* data() const noexcept { return data_; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Writable access to an owned sequence's elements, for filling it.
    T* fill_data() noexcept { return owned_.get(); }

private:
    std::unique_ptr<T[]> owned_;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace rust
