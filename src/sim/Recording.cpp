#include "sim/Recording.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <unistd.h>

namespace sonarill::sim {

namespace {

using namespace std::chrono_literals;

static_assert(std::endian::native == std::endian::little, "WAV samples are written as in memory");

constexpr UInt32 kChannels = 2;
constexpr UInt32 kBytesPerFrame = kChannels * sizeof(float);

// RIFF/WAVE with IEEE float samples: a format other than PCM takes the 18-byte "fmt " chunk
// (with cbSize) and a "fact" chunk with the frame count, which strict readers ask for.
constexpr size_t kHeaderBytes = 12 + (8 + 18) + (8 + 4) + 8;
constexpr UInt64 kMaxDataBytes = 0xFFFFFFFFu - (kHeaderBytes - 8);

std::array<unsigned char, kHeaderBytes> wavHeader(UInt64 frames) {
    std::array<unsigned char, kHeaderBytes> h{};
    size_t at = 0;
    auto text = [&](const char* four) {
        std::memcpy(&h[at], four, 4);
        at += 4;
    };
    auto number = [&](UInt32 value, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i)
            h[at++] = (unsigned char)(value >> (8 * i));
    };
    const auto dataBytes = UInt32(frames * kBytesPerFrame);
    text("RIFF");
    number(UInt32(kHeaderBytes - 8) + dataBytes, 4);
    text("WAVE");
    text("fmt ");
    number(18, 4);
    number(3, 2); // WAVE_FORMAT_IEEE_FLOAT
    number(kChannels, 2);
    number(kRecordingSampleRate, 4);
    number(kRecordingSampleRate * kBytesPerFrame, 4);
    number(kBytesPerFrame, 2);
    number(32, 2);
    number(0, 2); // cbSize: no extension
    text("fact");
    number(4, 4);
    number(UInt32(frames), 4);
    text("data");
    number(dataBytes, 4);
    return h;
}

bool writeAll(int fd, const void* data, size_t size, off_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, bytes, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
        offset += n;
    }
    return true;
}

// File paths held by live recorders in this process, so that two devices with one UID do not
// write into one file.
std::mutex claimsMutex;
std::set<std::filesystem::path> claims;

std::filesystem::path claimPath(const std::filesystem::path& dir, std::string_view uid) {
    const std::string name = recordingFileName(uid);
    const std::string stem = name.substr(0, name.size() - 4);
    std::error_code ec; // no working folder: the path stays relative and open() says why
    const std::filesystem::path base = std::filesystem::absolute(dir, ec).lexically_normal();
    const std::lock_guard lock(claimsMutex);
    std::filesystem::path path = base / name;
    for (int n = 2; claims.contains(path); ++n)
        path = base / (stem + "-" + std::to_string(n) + ".wav");
    claims.insert(path);
    return path;
}

void releasePath(const std::filesystem::path& path) {
    const std::lock_guard lock(claimsMutex);
    claims.erase(path);
}

} // namespace

std::string recordingFileName(std::string_view uid) {
    constexpr size_t kMaxStem = 200; // room for the hash and ".wav" within 255 bytes
    std::string stem;
    for (char c : uid.substr(0, kMaxStem)) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        stem += safe ? c : '_';
    }
    if (stem.starts_with('.'))
        stem[0] = '_'; // never hidden, never "." or ".."
    if (stem != uid || stem.empty()) {
        UInt64 hash = 0xcbf29ce484222325u; // FNV-1a
        for (char c : uid)
            hash = (hash ^ (unsigned char)c) * 0x100000001b3u;
        static constexpr char hex[] = "0123456789abcdef";
        stem += '-';
        for (int shift = 60; shift >= 0; shift -= 4)
            stem += hex[(hash >> shift) & 0xF];
    }
    return stem + ".wav";
}

DeviceRecorder::DeviceRecorder(std::string uid, const std::filesystem::path& recordDir)
    : uid_(std::move(uid)), ring_(new std::atomic<float>[kRingFrames * kChannels]()) {
    if (recordDir.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(recordDir, ec);
    path_ = claimPath(recordDir, uid_);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const auto header = wavHeader(0);
    if (fd_ < 0 || !writeAll(fd_, header.data(), header.size(), 0)) {
        error_ = "cannot write " + path_.string() + ": " + std::strerror(errno);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        releasePath(path_);
        path_.clear();
        return;
    }
    writer_ = std::thread([this] { writerLoop(); });
}

DeviceRecorder::~DeviceRecorder() {
    if (!writer_.joinable())
        return;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
    ::close(fd_);
    releasePath(path_);
}

void DeviceRecorder::played(const float* interleavedStereo, UInt32 frames) noexcept {
    const bool toFile = fd_ >= 0;
    UInt64 at = done_.load(std::memory_order_relaxed); // only this thread stores it
    while (frames > 0) {
        const UInt32 n = std::min<UInt32>(frames, kSlackFrames);
        // Frames not yet in the file must not be overwritten.
        while (toFile && !failed_.load(std::memory_order_acquire) &&
               at + n > written_.load(std::memory_order_acquire) + kRingFrames)
            std::this_thread::sleep_for(1ms);
        // A sequence lock: a reader that sees a sample of this block (each stored with release
        // ordering) also sees `begun_`, and so knows its copy may be torn.
        begun_.store(at + n, std::memory_order_relaxed);
        const size_t ringSamples = kRingFrames * kChannels;
        size_t slot = size_t(at % kRingFrames) * kChannels;
        for (size_t i = 0; i < size_t(n) * kChannels; ++i) {
            ring_[slot].store(interleavedStereo[i], std::memory_order_release);
            if (++slot == ringSamples)
                slot = 0;
        }
        at += n;
        done_.store(at, std::memory_order_release);
        interleavedStereo += size_t(n) * kChannels;
        frames -= n;
    }
}

void DeviceRecorder::copyOut(UInt64 from, UInt64 to, float* out) const {
    const size_t ringSamples = kRingFrames * kChannels;
    size_t slot = size_t(from % kRingFrames) * kChannels;
    for (UInt64 i = 0; i < (to - from) * kChannels; ++i) {
        out[i] = ring_[slot].load(std::memory_order_acquire);
        if (++slot == ringSamples)
            slot = 0;
    }
}

std::vector<float> DeviceRecorder::recent(size_t frames) const {
    std::vector<float> out;
    for (;;) {
        const UInt64 to = done_.load(std::memory_order_acquire);
        const UInt64 from = to - std::min<UInt64>({frames, to, kRecentFrames});
        out.resize(size_t(to - from) * kChannels);
        copyOut(from, to, out.data());
        // Valid unless played() began to overwrite the oldest frame copied meanwhile.
        if (begun_.load(std::memory_order_relaxed) <= from + kRingFrames)
            return out;
    }
}

void DeviceRecorder::flush() {
    if (!writer_.joinable())
        return;
    const UInt64 target = done_.load(std::memory_order_acquire);
    std::unique_lock lock(mutex_);
    wake_.notify_all();
    wake_.wait(lock, [&] { return written_.load() >= target || failed_.load(); });
}

std::string DeviceRecorder::error() const {
    const std::lock_guard lock(mutex_);
    return error_;
}

void DeviceRecorder::fail(std::string message) {
    const std::lock_guard lock(mutex_);
    error_ = std::move(message);
    failed_.store(true);
    wake_.notify_all();
}

bool DeviceRecorder::writeFrames(UInt64 from, UInt64 to, std::vector<float>& scratch) {
    const UInt64 last = std::min(to, kMaxDataBytes / kBytesPerFrame);
    const auto failWrite = [&] {
        fail("cannot write " + path_.string() + ": " + std::strerror(errno));
        return false;
    };
    // The samples first, then the sizes: a file cut off between the two still reads up to the
    // sizes its header gives.
    const size_t chunk = scratch.size() / kChannels;
    for (UInt64 at = from; at < last; at += chunk) {
        const UInt64 end = std::min<UInt64>(last, at + chunk);
        copyOut(at, end, scratch.data());
        if (!writeAll(fd_, scratch.data(), size_t(end - at) * kBytesPerFrame,
                      off_t(kHeaderBytes + at * kBytesPerFrame)))
            return failWrite();
    }
    const auto header = wavHeader(last);
    if (!writeAll(fd_, header.data(), header.size(), 0))
        return failWrite();
    if (last < to) {
        fail(path_.string() + ": stopped at the largest size a WAV file can have");
        return false;
    }
    return true;
}

void DeviceRecorder::writerLoop() {
    std::vector<float> scratch(kSlackFrames * kChannels);
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            // played() does not wake this thread (no system call on its side): it looks often.
            wake_.wait_for(lock, 5ms, [&] {
                return stopping_ || written_.load() < done_.load(std::memory_order_acquire);
            });
            stopping = stopping_;
        }
        const UInt64 from = written_.load();
        const UInt64 to = done_.load(std::memory_order_acquire);
        if (from < to) {
            if (!writeFrames(from, to, scratch))
                return;
            {
                const std::lock_guard lock(mutex_); // so flush() cannot miss the wake-up
                written_.store(to, std::memory_order_release);
            }
            wake_.notify_all();
        } else if (stopping) {
            return;
        }
    }
}

} // namespace sonarill::sim
