// Large blocks straight from the operating system on a huge-page boundary, and the advice to back memory with huge pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace rust::platform {

// The huge page of x86-64 and of 64-bit Arm with 4 KiB pages.
inline constexpr std::size_t kHugePage = std::size_t{1} << 21;

// Asks the system to back the whole pages inside [data, data + bytes) with huge
// pages. Advice only: nothing changes where the system has no such advice.
inline void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    // madvise takes whole pages: advise those that lie inside the buffer.
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + bytes) & ~(page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
    }
#else
    (void)data;
    (void)bytes;
#endif
}

// `size` bytes (a multiple of kHugePage) starting on a kHugePage boundary,
// readable and writable, or null when the system refuses. Freed by
// free_huge_aligned() with the same size.
inline void* allocate_huge_aligned(std::size_t size) noexcept {
#if !defined(_WIN32)
    if (size + kHugePage < size) {
        return nullptr;
    }
    // Map one huge page more than needed and give back the unaligned head and
    // the tail.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const std::size_t head = aligned - start;
    if (head != 0) {
        munmap(raw, head);
    }
    if (kHugePage - head != 0) {
        munmap(reinterpret_cast<void*>(aligned + size), kHugePage - head);
    }
    return reinterpret_cast<void*>(aligned);
#else
    // No mapping call shared by the systems without POSIX: the C++ runtime's
    // aligned allocation serves. No object is larger than PTRDIFF_MAX bytes.
    if (size > static_cast<std::size_t>(PTRDIFF_MAX)) {
        return nullptr;
    }
    return ::operator new(size, std::align_val_t{kHugePage}, std::nothrow);
#endif
}

inline void free_huge_aligned(void* data, std::size_t size) noexcept {
#if !defined(_WIN32)
    munmap(data, size);
#else
    (void)size;
    ::operator delete(data, std::align_val_t{kHugePage});
#endif
}

}  // namespace rust::platform
