#include "support/RealTimeCounting.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local bool tMarked = false;
std::atomic<int> gAllocations{0}, gFrees{0}, gLockCalls{0};

void countLockCall() {
    if (tMarked)
        ++gLockCalls;
}

void* allocate(std::size_t size) {
    if (tMarked)
        ++gAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void release(void* p) noexcept {
    if (tMarked && p != nullptr)
        ++gFrees;
    std::free(p);
}

} // namespace

namespace sonarill::testing::realtime {

Marked::Marked() {
    tMarked = true;
}
Marked::~Marked() {
    tMarked = false;
}
Counts counts() {
    return {gAllocations.load(), gFrees.load(), gLockCalls.load()};
}
void resetCounts() {
    gAllocations = gFrees = gLockCalls = 0;
}

} // namespace sonarill::testing::realtime

void* operator new(std::size_t n) {
    return allocate(n);
}
void* operator new[](std::size_t n) {
    return allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return operator new(n, std::nothrow);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}

// Each pthread call counts, then goes on to the real one.
#define COUNTED(name, params, args)                                                                \
    int name params {                                                                              \
        countLockCall();                                                                           \
        static const auto next = reinterpret_cast<int(*) params>(dlsym(RTLD_NEXT, #name));         \
        return next args;                                                                          \
    }
extern "C" {
COUNTED(pthread_mutex_lock, (pthread_mutex_t * m), (m))
COUNTED(pthread_mutex_trylock, (pthread_mutex_t * m), (m))
COUNTED(pthread_mutex_unlock, (pthread_mutex_t * m), (m))
COUNTED(pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
COUNTED(pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const timespec* t),
        (c, m, t))
COUNTED(pthread_cond_signal, (pthread_cond_t * c), (c))
COUNTED(pthread_cond_broadcast, (pthread_cond_t * c), (c))
}
