#pragma once

#include "audio/AudioServerPlugInAPI.h"
#include "audio/VirtualDevice.h"
#include "driver/Routes.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The virtual output device's driver: one device that applications play into, whose input side
// carries each application's sound, at its route's gain, on the channel pair of its device's bus.
namespace sonarill::driver {

inline constexpr AudioObjectID kPlugInID = 1; // kAudioObjectPlugInObject: the host's choice
inline constexpr AudioObjectID kDeviceID = 2;
inline constexpr AudioObjectID kOutputStreamID = 3;
inline constexpr AudioObjectID kInputStreamID = 4;

inline constexpr const char* kDeviceUID = audio::kVirtualDeviceUID.data();
inline constexpr const char* kDeviceName = "Sonarill";
inline constexpr const char* kManufacturer = "Sonarill";
inline constexpr const char* kDriverBundleID = "com.sonarill.driver";
inline constexpr AudioObjectPropertySelector kRouteConfigSelector =
    audio::kRouteConfigPropertySelector;

inline constexpr Float64 kSampleRate = 48000.0;
inline constexpr UInt32 kOutputChannels = 2;
inline constexpr UInt32 kInputChannels = 2 * kBuses;
inline constexpr UInt32 kZeroTimeStampPeriod = 4096;
// More clients than this still play, at the default placement.
inline constexpr UInt32 kMaxClients = 64;
// Frames of mixed sound kept for the input side; a power of two, far above any IO period.
inline constexpr UInt32 kLoopbackFrames = 16384;

// Each registered client's placement, as one immutable value the IO path reads.
struct MixPlan {
    struct Entry {
        UInt32 clientID = 0;
        Placement placement;
    };
    std::array<Entry, kMaxClients> entries{};
    UInt32 count = 0;

    // The default placement for a client that is not in the plan.
    Placement placementOf(UInt32 clientID) const noexcept;
};

class Driver {
public:
    Driver();
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Control calls: any thread but the IO thread, never concurrently with each other's
    // effects (one mutex orders them).
    void initialize(AudioServerPlugInHostRef host);
    void addClient(const AudioServerPlugInClientInfo& client);
    void removeClient(const AudioServerPlugInClientInfo& client);
    void startIO();
    void stopIO();
    bool isRunning() const;
    // Refused (status, nothing changed) when the reader refuses the text. An accepted text is
    // kept in the host's storage, unless `keep` is false.
    OSStatus setRouteText(CFStringRef text, bool keep = true);
    // Retained for the caller, who releases it.
    CFStringRef copyRouteText() const;
    // Tells the host that these properties of the device changed; never with the mutex held,
    // since the host may ask for them at once.
    void announce(AudioObjectPropertySelector selector) const;

    // IO calls: the host's IO thread for the device, one at a time. They never allocate, lock,
    // log or wait.
    void zeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) const noexcept;
    OSStatus doIO(AudioObjectID stream, UInt32 clientID, UInt32 operation, UInt32 frames,
                  const AudioServerPlugInIOCycleInfo* cycle, void* buffer) noexcept;

private:
    struct ClientSlot {
        bool used = false;
        UInt32 id = 0;
        std::string routeKey;
    };
    // What the clients mixed, frame by frame, with the sample time each frame holds: a frame
    // whose stamp is not the time asked for was never mixed (or was overwritten) and reads as
    // silence, never as an old period again.
    struct Loopback {
        std::vector<float> samples = std::vector<float>(size_t(kLoopbackFrames) * kInputChannels);
        std::vector<int64_t> stamps = std::vector<int64_t>(kLoopbackFrames, INT64_MIN);
    };

    static CFStringRef storageKey(); // created: the caller releases it
    void publishPlan();              // with control_ held
    const MixPlan& planForCycle(const AudioServerPlugInIOCycleInfo* cycle) noexcept;
    void mixClient(const MixPlan& plan, UInt32 clientID, const float* stereo, UInt32 frames,
                   Float64 sampleTime) noexcept;
    void readInput(float* interleaved, UInt32 frames, Float64 sampleTime, UInt32 delay) noexcept;

    mutable std::mutex control_;
    AudioServerPlugInHostRef host_ = nullptr;
    CFStringRef routeText_ = nullptr; // retained; what was set last and accepted
    RouteTable routes_;
    std::array<ClientSlot, kMaxClients> slots_;
    UInt32 runningClients_ = 0;
    std::vector<const MixPlan*> retired_; // published before; freed once no IO cycle holds one

    // A plan is published with one store. The IO thread announces the plan it reads in
    // `hazard_` before using it; a retired plan is freed only while it is not announced.
    std::atomic<const MixPlan*> plan_;
    std::atomic<const MixPlan*> hazard_{nullptr};

    // The time line: restarted, with a new seed, when IO starts from stopped.
    std::atomic<UInt64> anchorHostTime_{0};
    std::atomic<UInt64> seed_{1};

    // The IO thread's own.
    const MixPlan* cyclePlan_ = nullptr;
    UInt64 cyclePlanCounter_ = 0;
    UInt64 cyclePlanSeed_ = 0;
    Loopback loopback_;
};

} // namespace sonarill::driver
