// Counts every allocation of the test process, to show that a request path
// makes none: compare alloc_count() before and after the calls. Include it in
// exactly one source file of a test binary: it replaces all the plain forms
// of operator new and delete together, so that none pairs with a library or
// sanitizer counterpart.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

inline std::atomic<uint64_t> alloc_counter{0};

inline uint64_t alloc_count() { return alloc_counter.load(std::memory_order_relaxed); }

// Kept out of line: inlined, the compiler would pair new with free and warn.
__attribute__((noinline)) inline void *counted_alloc(size_t n) noexcept {
    alloc_counter.fetch_add(1, std::memory_order_relaxed);
    return malloc(n ? n : 1);
}
__attribute__((noinline)) inline void counted_free(void *p) noexcept {    free(p);
}

void *operator new(size_t n) {
    if (void *p = counted_alloc(n)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return counted_alloc(n); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return counted_alloc(n); }
void operator delete(void *p) noexcept { counted_free(p); }
void operator delete[](void *p) noexcept { counted_free(p); }
void operator delete(void *p, size_t) noexcept { counted_free(p); }
void operator delete[](void *p, size_t) noexcept { counted_free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { counted_free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { counted_free(p); }
