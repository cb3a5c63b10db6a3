#pragma once

#include "sim/CoreAudio.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// What a simulated physical device played: a window of the recent audio that tests read while
// it plays, and, when a record folder is set, a WAV file per device that stays readable at
// every moment, also when the process is killed.
namespace sonarill::sim {

inline constexpr UInt32 kRecordingSampleRate = 48000;
inline constexpr double kRecentSeconds = 10.0;
inline constexpr size_t kRecentFrames = size_t(kRecentSeconds * kRecordingSampleRate);

// The file a device's recording goes to: the UID with every character outside [A-Za-z0-9._-]
// replaced by '_', then ".wav". When that changed the UID (or left nothing usable), a hash of
// the whole UID is appended, so two UIDs never meet in one name: "USB Mic" ->
// "USB_Mic-<16 hex digits>.wav".
std::string recordingFileName(std::string_view uid);

// Stereo 32-bit float at 48 kHz. played() is for one thread at a time (the device's I/O
// thread, or the manual clock's); everything else may be called from any thread.
class DeviceRecorder {
public:
    // Without a folder only the window is kept. A file that cannot be created or written is
    // reported by error(); the window goes on regardless.
    explicit DeviceRecorder(std::string uid, const std::filesystem::path& recordDir = {});
    ~DeviceRecorder(); // finishes the file
    DeviceRecorder(const DeviceRecorder&) = delete;
    DeviceRecorder& operator=(const DeviceRecorder&) = delete;

    // `frames` interleaved stereo frames. Never allocates, locks or makes a system call, except
    // that it waits when the file writer lags a whole ring (11 s) behind: the simulated device
    // then stalls rather than lose what it played.
    void played(const float* interleavedStereo, UInt32 frames) noexcept;

    // The last min(frames, framesPlayed(), kRecentFrames) frames, interleaved, oldest first.
    std::vector<float> recent(size_t frames) const;
    UInt64 framesPlayed() const { return done_.load(std::memory_order_acquire); }

    const std::string& uid() const { return uid_; }
    const std::filesystem::path& filePath() const { return path_; } // empty: no file
    // Returns once everything played so far is in the file, header included.
    void flush();
    std::string error() const; // empty while the file is fine

private:
    void writerLoop();
    bool writeFrames(UInt64 from, UInt64 to, std::vector<float>& scratch);
    void fail(std::string message);
    void copyOut(UInt64 from, UInt64 to, float* out) const;

    const std::string uid_;

    // The ring holds the window plus a second of slack, so that played() may go on while a
    // reader copies the window. played() stores a block in pieces of at most the slack.
    static constexpr size_t kSlackFrames = kRecordingSampleRate;
    static constexpr size_t kRingFrames = kRecentFrames + kSlackFrames;
    // Atomic because readers may race with played(); its loads and stores are plain moves on x86.
    std::unique_ptr<std::atomic<float>[]> ring_;
    std::atomic<UInt64> begun_{0}; // frames played() has started to overwrite up to
    std::atomic<UInt64> done_{0};  // frames played() has finished up to

    // The file, written on its own thread so that played() does no I/O.
    std::filesystem::path path_;
    int fd_ = -1;
    std::atomic<UInt64> written_{0}; // frames in the file (with its header updated)
    std::atomic<bool> failed_{false};
    mutable std::mutex mutex_; // guards error_, stopping_ and the writer's wake-ups
    std::condition_variable wake_;
    std::string error_;
    bool stopping_ = false;
    std::thread writer_;
};

} // namespace sonarill::sim
