// Memory for large arrays in 2 MiB pages where the system gives them on
// request (Linux's transparent huge pages in their "madvise" mode; NumPy asks
// the same for its own arrays). Fresh memory touched a 4 KiB page at a time
// costs a fault per page: for the arrays of a million-sample graph, about as
// long as a pass over them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pyext {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    // Below this, the pages are few and the ordinary allocator serves.
    static constexpr size_t kHugeFrom = size_t{4} << 20;
    static constexpr size_t kPage = size_t{2} << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(size_t count) {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T) - kPage) throw std::bad_array_new_length();
        const size_t bytes = count * sizeof(T);
#if defined(__linux__)
        if (bytes >= kHugeFrom) {
            const size_t rounded = (bytes + kPage - 1) / kPage * kPage;
            void* memory = std::aligned_alloc(kPage, rounded);
            if (!memory) throw std::bad_alloc();
            madvise(memory, rounded, MADV_HUGEPAGE);  // a request only: without it, ordinary pages
            return static_cast<T*>(memory);
        }
#endif
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* memory, size_t count) noexcept {
#if defined(__linux__)
        if (count * sizeof(T) >= kHugeFrom) {
            std::free(memory);
            return;
        }
#endif
        (void)count;
        ::operator delete(memory);
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

// A std::vector whose large buffers ask for huge pages.
template <class T>
using BigVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace pyext
