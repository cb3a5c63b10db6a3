#include "forwarder/StereoRingBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace sonarill::forwarder {

namespace {

void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace

void SpinLock::lock() noexcept {
    // The other side holds the lock for one copy loop at most: a few microseconds. Spin that
    // long, then give the processor away rather than burn it, but never block in the kernel.
    constexpr int kSpins = 1024;
    for (int i = 0; i < kSpins; ++i) {
        if (!held_.test_and_set(std::memory_order_acquire))
            return;
        cpuRelax();
    }
    while (held_.test_and_set(std::memory_order_acquire))
        std::this_thread::yield();
}

void StereoRingBuffer::write(const float* source, int64_t count, uint64_t hostTime) noexcept {
    if (count <= 0)
        return;
    std::lock_guard guard(lock_);
    if (hostTime > lastWriteHostTime_ && lastWriteHostTime_ != 0) {
        // The pace the writes come at, averaged over about a hundred of them; a write after a
        // stall or a jump of the clock says nothing about it.
        const double pace = double(hostTime - lastWriteHostTime_) /
                            double(std::max<int64_t>(lastWriteSamples_ / 2, 1));
        if (hostTicksPerFrame_ == 0.0)
            hostTicksPerFrame_ = pace;
        else if (std::fabs(pace - hostTicksPerFrame_) < 0.1 * hostTicksPerFrame_)
            hostTicksPerFrame_ += (pace - hostTicksPerFrame_) / 100.0;
    }
    lastWriteHostTime_ = hostTime;
    lastWriteSamples_ = count;
    const int64_t n = std::min(count, kCapacity);
    const int64_t overflow = n - (kCapacity - avail_);
    if (overflow > 0) {
        rPos_ = (rPos_ + overflow) % kCapacity;
        avail_ -= overflow;
        overflows_.fetch_add(1, std::memory_order_relaxed);
    }
    const float* from = source + (count - n);
    const int64_t first = std::min(n, kCapacity - wPos_);
    std::memcpy(buf_.data() + wPos_, from, size_t(first) * sizeof(float));
    std::memcpy(buf_.data(), from + first, size_t(n - first) * sizeof(float));
    wPos_ = (wPos_ + n) % kCapacity;
    avail_ += n;
}

int64_t StereoRingBuffer::read(float* destination, int64_t count) noexcept {
    if (count <= 0)
        return 0;
    std::lock_guard guard(lock_);
    const int64_t n = std::min(count, avail_);
    const int64_t first = std::min(n, kCapacity - rPos_);
    std::memcpy(destination, buf_.data() + rPos_, size_t(first) * sizeof(float));
    std::memcpy(destination + first, buf_.data(), size_t(n - first) * sizeof(float));
    std::fill(destination + n, destination + count, 0.0f);
    rPos_ = (rPos_ + n) % kCapacity;
    avail_ -= n;
    return n;
}

int64_t StereoRingBuffer::discard(int64_t count) noexcept {
    if (count <= 0)
        return 0;
    std::lock_guard guard(lock_);
    const int64_t n = std::min(count, avail_);
    rPos_ = (rPos_ + n) % kCapacity;
    avail_ -= n;
    return n;
}

StereoRingBuffer::Level StereoRingBuffer::level() noexcept {
    std::lock_guard guard(lock_);
    return {avail_, lastWriteHostTime_, lastWriteSamples_, hostTicksPerFrame_};
}

int64_t StereoRingBuffer::available() noexcept {
    std::lock_guard guard(lock_);
    return avail_;
}

} // namespace sonarill::forwarder
