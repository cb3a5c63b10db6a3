#include "driver/DriverHost.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <iterator>
#include <map>

namespace sonarill::testing {

namespace {

DriverHost* gCurrent = nullptr; // the host the driver announces to

// The function Info.plist's CFPlugInFactories names, as exported by the bundle's executable.
void* (*loadFactory())(CFAllocatorRef, CFUUIDRef) {
    std::ifstream file(SONARILL_DRIVER_BUNDLE "/Contents/Info.plist");
    const std::string plist{std::istreambuf_iterator<char>(file), {}};
    const size_t open = plist.find("<string>", plist.find("<key>CFPlugInFactories</key>"));
    const std::string name = plist.substr(open + 8, plist.find("</string>", open) - open - 8);
    static void* module =
        dlopen(SONARILL_DRIVER_BUNDLE "/Contents/MacOS/libtidewell.dylib", RTLD_NOW | RTLD_LOCAL);
    return reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(dlsym(module, name.c_str()));
}

OSStatus propertiesChanged(AudioServerPlugInHostRef, AudioObjectID, UInt32 count,
                           const AudioObjectPropertyAddress* addresses) {
    for (UInt32 i = 0; i < count; ++i)
        gCurrent->announced.push_back(addresses[i].mSelector);
    return noErr;
}

CFStringRef cfText(const std::string& text) {
    return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

std::map<std::string, std::string> gStorage; // texts only: all the driver stores

OSStatus copyFromStorage(AudioServerPlugInHostRef, CFStringRef key, CFPropertyListRef* data) {
    const auto found = gStorage.find(utf8(key));
    *data = found == gStorage.end() ? nullptr : cfText(found->second);
    return *data != nullptr ? OSStatus(noErr) : kAudioHardwareUnknownPropertyError;
}

OSStatus writeToStorage(AudioServerPlugInHostRef, CFStringRef key, CFPropertyListRef data) {
    gStorage[utf8(key)] = utf8(static_cast<CFStringRef>(data));
    return noErr;
}

} // namespace

std::string utf8(CFStringRef text) {
    char buffer[8192] = {};
    EXPECT_TRUE(CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8));
    return buffer;
}

DriverHost::DriverHost(bool restart) {
    if (!restart)
        gStorage.clear();
    const auto factory = loadFactory();
    if (factory == nullptr) {
        ADD_FAILURE() << "the module exports no factory of the name Info.plist gives";
        std::abort();
    }
    auto unknown =
        static_cast<AudioServerPlugInDriverRef>(factory(nullptr, kAudioServerPlugInTypeUUID));
    const REFIID driverInterface = CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID);
    EXPECT_EQ(
        (*unknown)->QueryInterface(unknown, driverInterface, reinterpret_cast<void**>(&driver_)),
        S_OK);
    void* other = &other; // IUnknown is answered too, any other interface refused
    EXPECT_EQ((*unknown)->QueryInterface(unknown, CFUUIDGetUUIDBytes(IUnknownUUID), &other), S_OK);
    EXPECT_EQ((*unknown)->Release(other), 2u);
    EXPECT_EQ(
        (*unknown)->QueryInterface(unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID), &other),
        E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    (*unknown)->Release(unknown);
    host_.PropertiesChanged = propertiesChanged;
    host_.CopyFromStorage = copyFromStorage;
    host_.WriteToStorage = writeToStorage;
    gCurrent = this;
    EXPECT_EQ((*driver_)->Initialize(driver_, &host_), noErr);
}

DriverHost::~DriverHost() {
    EXPECT_EQ((*driver_)->Release(driver_), 0u);
    gCurrent = nullptr;
}

UInt32 DriverHost::number(AudioObjectPropertySelector selector) const {
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
    UInt32 value = 0, size = 0;
    EXPECT_EQ(
        (*driver_)->GetPropertyData(driver_, kDevice, 0, &address, 0, nullptr, 4, &size, &value),
        noErr);
    return value;
}

std::string DriverHost::routeText() const {
    const AudioObjectPropertyAddress address{kRouteConfig, kAudioObjectPropertyScopeGlobal, 0};
    CFStringRef text = nullptr;
    UInt32 size = 0;
    EXPECT_EQ((*driver_)->GetPropertyData(driver_, kDevice, 0, &address, 0, nullptr, sizeof text,
                                          &size, &text),
              noErr);
    std::string result = utf8(text);
    CFRelease(text);
    return result;
}

OSStatus DriverHost::pushRouteText(const std::optional<std::string>& text, UInt32 size) const {
    const AudioObjectPropertyAddress address{kRouteConfig, kAudioObjectPropertyScopeGlobal, 0};
    CFStringRef value = text ? cfText(*text) : nullptr;
    const OSStatus status =
        (*driver_)->SetPropertyData(driver_, kDevice, 0, &address, 0, nullptr, size, &value);
    if (value != nullptr)
        CFRelease(value);
    return status;
}

void DriverHost::addClient(UInt32 clientID, const char* bundleId) const {
    CFStringRef bundle = bundleId != nullptr ? cfText(bundleId) : nullptr;
    const AudioServerPlugInClientInfo info{clientID, 100, true, bundle};
    EXPECT_EQ((*driver_)->AddDeviceClient(driver_, kDevice, &info), noErr);
    if (bundle != nullptr)
        CFRelease(bundle);
}

void DriverHost::removeClient(UInt32 clientID) const {
    const AudioServerPlugInClientInfo info{clientID, 100, true, nullptr};
    EXPECT_EQ((*driver_)->RemoveDeviceClient(driver_, kDevice, &info), noErr);
}

void DriverHost::cycle(UInt64 counter, Float64 time, UInt32 frames,
                       const std::vector<ClientOutput>& clients, std::vector<float>& input,
                       std::vector<float>& output) const {
    AudioServerPlugInIOCycleInfo info{};
    info.mIOCycleCounter = counter;
    info.mNominalIOBufferFrameSize = kPeriod;
    info.mInputTime.mSampleTime = info.mOutputTime.mSampleTime = time;
    const auto& d = **driver_;
    Float64 zeroSampleTime = 0;
    UInt64 zeroHostTime = 0, seed = 0;
    EXPECT_EQ(d.GetZeroTimeStamp(driver_, kDevice, 0, &zeroSampleTime, &zeroHostTime, &seed),
              noErr);
    const auto run = [&](UInt32 operation, AudioObjectID stream, UInt32 client, float* buffer) {
        Boolean willDo = false, inPlace = false;
        EXPECT_EQ(d.WillDoIOOperation(driver_, kDevice, client, operation, &willDo, &inPlace),
                  noErr);
        EXPECT_TRUE(willDo && inPlace);
        EXPECT_EQ(d.BeginIOOperation(driver_, kDevice, client, operation, frames, &info), noErr);
        EXPECT_EQ(d.DoIOOperation(driver_, kDevice, stream, client, operation, frames, &info,
                                  buffer, nullptr),
                  noErr);
        EXPECT_EQ(d.EndIOOperation(driver_, kDevice, client, operation, frames, &info), noErr);
    };
    run(kAudioServerPlugInIOOperationReadInput, kInputStream, 0, input.data());
    for (const ClientOutput& client : clients) {
        for (UInt32 i = 0; i < frames; ++i) {
            output[2 * i] = client.left;
            output[2 * i + 1] = client.right;
        }
        run(kAudioServerPlugInIOOperationProcessOutput, kOutputStream, client.clientID,
            output.data());
    }
    run(kAudioServerPlugInIOOperationWriteMix, kOutputStream, 0, output.data());
}

std::vector<float> DriverHost::cycle(UInt64 counter, Float64 time, UInt32 frames,
                                     const std::vector<ClientOutput>& clients) const {
    std::vector<float> input(size_t(frames) * 16), output(size_t(frames) * 2);
    cycle(counter, time, frames, clients, input, output);
    return input;
}

} // namespace sonarill::testing
