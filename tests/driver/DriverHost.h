#pragma once

#include "audio/AudioServerPlugInAPI.h"

#include <optional>
#include <string>
#include <vector>

// The built Sonarill.driver, loaded and driven as the audio server does: dlopen of the bundle's
// executable, the factory its Info.plist names, QueryInterface for the driver interface,
// Initialize with a host that records which properties the driver announces and keeps what it
// stores across restarts.
namespace sonarill::testing {

inline constexpr UInt32 kPeriod = 512; // the fake host's IO period
inline constexpr AudioObjectID kDevice = 2, kOutputStream = 3, kInputStream = 4;

constexpr UInt32 fourCC(const char* code) {
    return (UInt32(UInt8(code[0])) << 24) | (UInt32(UInt8(code[1])) << 16) |
           (UInt32(UInt8(code[2])) << 8) | UInt32(UInt8(code[3]));
}
inline constexpr AudioObjectPropertySelector kRouteConfig = fourCC("snrc");

struct ClientOutput {
    UInt32 clientID;
    float left, right; // a constant level, so the buses can be read by value
};

class DriverHost {
public:
    // A fresh driver, with the host's storage emptied unless the audio server only restarted.
    explicit DriverHost(bool restart = false);
    ~DriverHost(); // releases the last reference, which ends it
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    AudioServerPlugInDriverInterface* operator->() const { return *driver_; }
    AudioServerPlugInDriverRef ref() const { return driver_; }

    UInt32 number(AudioObjectPropertySelector selector) const; // a UInt32 of the device
    std::string routeText() const;
    // A text, or a null reference, set on 'snrc' with the given data size.
    OSStatus pushRouteText(const std::optional<std::string>& text,
                           UInt32 size = sizeof(CFStringRef)) const;
    void addClient(UInt32 clientID, const char* bundleId) const;
    void removeClient(UInt32 clientID) const;

    // One IO cycle as the host runs it, every input and output time at `time`: the zero time
    // stamp, then ReadInput (16 channels), each client's ProcessOutput and WriteMix, each
    // between Begin and End. Fills `input`; allocates nothing once the buffers are sized.
    void cycle(UInt64 counter, Float64 time, UInt32 frames,
               const std::vector<ClientOutput>& clients, std::vector<float>& input,
               std::vector<float>& output) const;
    // The same with buffers of exactly the host's sizes, so that AddressSanitizer sees any write
    // beyond them; returns the input side.
    std::vector<float> cycle(UInt64 counter, Float64 time, UInt32 frames,
                             const std::vector<ClientOutput>& clients) const;

    std::vector<AudioObjectPropertySelector> announced; // through PropertiesChanged, in order

private:
    AudioServerPlugInHostInterface host_{};
    AudioServerPlugInDriverRef driver_ = nullptr;
};

std::string utf8(CFStringRef text);

} // namespace sonarill::testing
