#pragma once

#include <array>
#include <atomic>
#include <cstdint>

// The buffer between one pipeline's two I/O threads: the input thread writes the virtual
// device's channel pair, the output thread reads it for the physical device. Interleaved stereo
// floats; every count is in samples and even.
namespace sonarill::forwarder {

// Guards the ring. A short spin on an atomic flag, then yielding: an I/O thread never sleeps in
// the kernel waiting for the other, and the holder only ever copies a period's samples.
class SpinLock {
public:
    void lock() noexcept;
    void unlock() noexcept { held_.clear(std::memory_order_release); }

private:
    std::atomic_flag held_ = ATOMIC_FLAG_INIT;
};

class StereoRingBuffer {
public:
    static constexpr int64_t kCapacity = 32768; // samples: 16384 frames, about 341 ms at 48 kHz

    // Never refuses and never blocks the writer: when the reader falls behind, the oldest
    // samples make room. Of more than kCapacity samples only the last kCapacity are kept.
    // `hostTime`: when the first of them entered, on the audio system's host clock (0: unknown).
    void write(const float* source, int64_t count, uint64_t hostTime = 0) noexcept;
    // Takes up to `count` samples and fills the rest of `destination` with silence; returns how
    // many were taken.
    int64_t read(float* destination, int64_t count) noexcept;
    int64_t available() noexcept;

    // The fill and how far the writer is into its next write, read together: a write between
    // two separate reads would misplace a whole period.
    struct Level {
        int64_t samples = 0;
        uint64_t lastWriteHostTime = 0; // 0: no write said when
        int64_t lastWriteSamples = 0;
        double hostTicksPerFrame = 0.0; // the writes' pace, averaged; 0: not known yet
    };
    Level level() noexcept;
    // Drops up to `count` of the oldest samples; returns how many went.
    int64_t discard(int64_t count) noexcept;
    // Writes that found the ring full and dropped its oldest samples.
    uint64_t overflows() const noexcept { return overflows_.load(std::memory_order_relaxed); }

private:
    SpinLock lock_;
    int64_t rPos_ = 0;
    int64_t wPos_ = 0;
    int64_t avail_ = 0;
    std::atomic<uint64_t> overflows_{0};
    uint64_t lastWriteHostTime_ = 0;
    int64_t lastWriteSamples_ = 0;
    double hostTicksPerFrame_ = 0.0;
    std::array<float, kCapacity> buf_{};
};

} // namespace sonarill::forwarder
