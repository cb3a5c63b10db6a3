// What every program on the simulated machine shares, as every program on a Mac talks to one
// audio server: the default output, the default system output and the devices' buffer frame
// sizes, by device UID. They live beside the plug-in folder: "system.json" holds them and
// "system.lock" is the file lock (flock) every reader and writer takes. The lock file's eight
// bytes, mapped into each process, count the changes, so a property read notices another
// program's change with one atomic load and reads the file only then.

#include "base/Files.h"
#include "sim/Io.h"
#include "sim/State.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonarill::sim {

namespace {

using nlohmann::json;

constexpr const char* kSystemFileName = "system.json";
constexpr const char* kLockFileName = "system.lock";
constexpr size_t kMaxSystemFileSize = 1024 * 1024;

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free,
              "the change count is shared between processes");

struct SystemRecord {
    std::optional<std::string> defaultOutput, defaultSystemOutput;
    std::map<std::string, UInt32> bufferFrameSizes;
};

class FileLock {
public:
    FileLock(int file, int operation) : file_(file) {
        while (::flock(file_, operation) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(file_, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int file_;
};

std::atomic_ref<uint64_t> changeCount(const SharedSystem& shared) {
    return std::atomic_ref<uint64_t>(*shared.changeCount);
}

template <typename Record>
auto& recordedDefault(Record& record, AudioObjectPropertySelector which) {
    return which == kAudioHardwarePropertyDefaultOutputDevice ? record.defaultOutput
                                                              : record.defaultSystemOutput;
}

constexpr AudioObjectPropertySelector kDefaults[] = {
    kAudioHardwarePropertyDefaultOutputDevice, kAudioHardwarePropertyDefaultSystemOutputDevice};

const char* defaultKey(AudioObjectPropertySelector which) {
    return which == kAudioHardwarePropertyDefaultOutputDevice ? "defaultOutput"
                                                              : "defaultSystemOutput";
}

// Anything unreadable is no record: a program that died while writing leaves no defaults, never
// a crash.
SystemRecord readRecord(const std::filesystem::path& file) {
    SystemRecord record;
    const auto text = base::readFileBounded(file, kMaxSystemFileSize);
    if (!text)
        return record;
    const json top = json::parse(*text, nullptr, false);
    if (!top.is_object())
        return record;
    for (const auto which : kDefaults) {
        const auto found = top.find(defaultKey(which));
        if (found != top.end() && found->is_string())
            recordedDefault(record, which) = found->get<std::string>();
    }
    const auto sizes = top.find("bufferFrameSizes");
    if (sizes != top.end() && sizes->is_object()) {
        for (const auto& [uid, frames] : sizes->items()) {
            if (frames.is_number_unsigned() && frames.get<uint64_t>() >= kMinBufferFrameSize &&
                frames.get<uint64_t>() <= kMaxBufferFrameSize)
                record.bufferFrameSizes[uid] = static_cast<UInt32>(frames.get<uint64_t>());
        }
    }
    return record;
}

// Written in place under the lock, so no reader sees it half done. Never truncated to nothing
// first: on some file systems (ext4) that makes the close wait for the disk.
void writeRecord(const std::filesystem::path& file, const SystemRecord& record) {
    json top = json::object();
    for (const auto which : kDefaults) {
        if (const auto& uid = recordedDefault(record, which))
            top[defaultKey(which)] = *uid;
    }
    top["bufferFrameSizes"] = record.bufferFrameSizes;
    const std::string text = top.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (descriptor < 0)
        return;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t count =
            ::pwrite(descriptor, text.data() + written, text.size() - written, off_t(written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        written += size_t(count);
    }
    (void)::ftruncate(descriptor, off_t(written));
    ::close(descriptor);
}

std::string uidOf(const State& s, AudioObjectID id) {
    const DeviceState* device = findDevice(s, id);
    return device ? device->device.uid : std::string();
}

// Takes the others' values as this process's own; listeners hear of every change.
void apply(State& s, const SystemRecord& record) {
    for (const auto which : kDefaults) {
        const auto& uid = recordedDefault(record, which);
        if (!uid)
            continue;
        // A device this process does not know is no default it can name.
        const DeviceState* device = uid->empty() ? nullptr : findDeviceByUID(s, *uid, false);
        const AudioObjectID id = device && device->outputStream != kAudioObjectUnknown
                                     ? device->device.id
                                     : kAudioObjectUnknown;
        AudioObjectID& slot = defaultSlot(s, which);
        if (slot != id) {
            slot = id;
            notify(s, kAudioObjectSystemObject, which);
        }
    }
    updateAppClients(s);
    for (const AudioObjectID id : s.deviceOrder) {
        DeviceState& device = s.devices.at(id);
        const auto frames = record.bufferFrameSizes.find(device.device.uid);
        if (frames == record.bufferFrameSizes.end() ||
            frames->second == device.device.bufferFrameSize)
            continue;
        device.device.bufferFrameSize = frames->second;
        io::bufferFrameSizeChanged(id, frames->second);
        notify(s, id, kAudioDevicePropertyBufferFrameSize);
    }
}

// One change of the record, made under the exclusive lock on top of what the others wrote.
template <typename Change> void publish(State& s, Change change) {
    SharedSystem& shared = s.shared;
    if (shared.quiet || shared.changeCount == nullptr)
        return;
    const FileLock lock(shared.lockFile, LOCK_EX);
    const uint64_t before = changeCount(shared).load();
    SystemRecord record = readRecord(shared.folder / kSystemFileName);
    change(record);
    writeRecord(shared.folder / kSystemFileName, record);
    changeCount(shared).store(before + 1);
    // Up to date before: up to date now. Otherwise the next look reads the others' changes.
    if (shared.seen == before)
        shared.seen = before + 1;
}

} // namespace

SharedSystem::~SharedSystem() {
    close();
}

void SharedSystem::close() {
    if (changeCount != nullptr)
        ::munmap(changeCount, sizeof *changeCount);
    if (lockFile >= 0)
        ::close(lockFile);
    changeCount = nullptr;
    lockFile = -1;
    folder.clear();
    seen.reset();
}

void openSharedSystem(State& s, const std::filesystem::path& folder) {
    SharedSystem& shared = s.shared;
    shared.close();
    if (folder.empty())
        return;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const int file =
        ::open((folder / kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (file < 0)
        return; // this process keeps its system to itself
    struct stat status {};
    bool sized = false;
    {
        const FileLock lock(file, LOCK_EX);
        sized = ::fstat(file, &status) == 0 && (status.st_size >= off_t(sizeof(uint64_t)) ||
                                                ::ftruncate(file, sizeof(uint64_t)) == 0);
    }
    void* mapping =
        sized ? ::mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0)
              : MAP_FAILED;
    if (mapping == MAP_FAILED) {
        ::close(file);
        return;
    }
    shared.folder = folder;
    shared.lockFile = file;
    shared.changeCount = static_cast<uint64_t*>(mapping);
}

void pullSharedSystem(State& s) {
    SharedSystem& shared = s.shared;
    if (shared.changeCount == nullptr || shared.seen == changeCount(shared).load())
        return;
    SystemRecord record;
    {
        const FileLock lock(shared.lockFile, LOCK_SH);
        shared.seen = changeCount(shared).load();
        record = readRecord(shared.folder / kSystemFileName);
    }
    apply(s, record);
}

void publishDefault(State& s, AudioObjectPropertySelector which) {
    const std::string uid = uidOf(s, defaultSlot(s, which));
    publish(s, [&](SystemRecord& record) { recordedDefault(record, which) = uid; });
}

void publishBufferFrameSize(State& s, const DeviceState& device) {
    publish(s, [&](SystemRecord& record) {
        record.bufferFrameSizes[device.device.uid] = device.device.bufferFrameSize;
    });
}

void publishWholeSystem(State& s) {
    publish(s, [&](SystemRecord& record) {
        record = {};
        for (const auto which : kDefaults)
            recordedDefault(record, which) = uidOf(s, defaultSlot(s, which));
        for (const AudioObjectID id : s.deviceOrder) {
            const Device& device = s.devices.at(id).device;
            record.bufferFrameSizes.emplace(device.uid, device.bufferFrameSize);
        }
    });
}

} // namespace sonarill::sim
