// Cache hints: ask for the memory that a loop will read soon. Hints only:
// they never fault and nothing may depend on them.
//
// Relies on nothing but the compiler.
#pragma once

#include <cstdint>
#include <utility>

namespace pyext {
namespace {

// Asks the cache for the line holding `address`: a hint that never faults.
// Written out because GCC drops __builtin_prefetch in these modules.
inline void cache_hint(const void* address) {
#if defined(__x86_64__) || defined(__i386__)
    if (address) asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}

// Asks for every cache line of [first, last], both bytes included, when the
// range is short (a few lines), else for the lines of its two ends.
inline void cache_hint_range(const void* first, const void* last) {
    constexpr uintptr_t kLine = 64;
    uintptr_t from = reinterpret_cast<uintptr_t>(first) & ~(kLine - 1);
    uintptr_t to = reinterpret_cast<uintptr_t>(last) & ~(kLine - 1);
    if (from > to) std::swap(from, to);
    if (to - from > 4 * kLine) {
        cache_hint(reinterpret_cast<const void*>(from));
        cache_hint(reinterpret_cast<const void*>(to));
        return;
    }
    for (uintptr_t line = from; line <= to; line += kLine) cache_hint(reinterpret_cast<const void*>(line));
}

}  // namespace
}  // namespace pyext
