#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

// Trivially initialised, so operator new may read it on any thread at any time.
thread_local std::size_t* tCounter = nullptr;

void* allocate(std::size_t size, std::size_t alignment) noexcept {
    if (tCounter)
        ++*tCounter;
    if (size == 0)
        size = 1;
    if (alignment <= alignof(std::max_align_t))
        return std::malloc(size);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
    if (void* p = allocate(size, alignment))
        return p;
    throw std::bad_alloc();
}

} // namespace

namespace sonarill::testing {

AllocationCounter::AllocationCounter() : previous_(tCounter) {
    tCounter = &count_;
}
AllocationCounter::~AllocationCounter() {
    tCounter = previous_;
}

} // namespace sonarill::testing

// Every form, so that no allocation escapes the count and every delete matches its new (the
// sanitizers check that pairs match).
void* operator new(std::size_t n) {
    return allocateOrThrow(n, 0);
}
void* operator new[](std::size_t n) {
    return allocateOrThrow(n, 0);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return allocateOrThrow(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return allocateOrThrow(n, std::size_t(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, 0);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, 0);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, std::size_t(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
