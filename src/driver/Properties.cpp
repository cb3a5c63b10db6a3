#include "driver/Properties.h"

#include "driver/Driver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>

namespace sonarill::driver {

namespace {

// A property's value, small enough to build without the heap. A text is made only when the
// data is asked for, since the caller owns (and releases) what it gets.
struct Value {
    std::array<unsigned char, 64> bytes{};
    UInt32 size = 0;
    UInt32 itemSize = 0; // a list of items of this size; 0 for one value
    CFStringRef (*text)(const PropertyCall&) = nullptr;
    OSStatus status = kAudioHardwareNoError;
};

template <typename T> Value one(const T& value) {
    static_assert(sizeof(T) <= sizeof(Value::bytes));
    Value result;
    std::memcpy(result.bytes.data(), &value, sizeof value);
    result.size = sizeof value;
    return result;
}

template <typename T> Value list(std::span<const T> items) {
    Value result;
    result.size = UInt32(items.size_bytes());
    result.itemSize = sizeof(T);
    if (!items.empty())
        std::memcpy(result.bytes.data(), items.data(), items.size_bytes());
    return result;
}
template <typename T> Value list(std::initializer_list<T> items) {
    return list(std::span<const T>(items.begin(), items.size()));
}

Value text(CFStringRef (*make)(const PropertyCall&)) {
    Value result;
    result.size = sizeof(CFStringRef);
    result.text = make;
    return result;
}

Value failure(OSStatus status) {
    Value result;
    result.status = status;
    return result;
}

CFStringRef cfText(const char* utf8) {
    return CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingUTF8);
}

enum class Kind { plugIn, device, outputStream, inputStream };

std::optional<Kind> kindOf(AudioObjectID object) {
    switch (object) {
    case kPlugInID:
        return Kind::plugIn;
    case kDeviceID:
        return Kind::device;
    case kOutputStreamID:
        return Kind::outputStream;
    case kInputStreamID:
        return Kind::inputStream;
    default:
        return std::nullopt;
    }
}

AudioClassID classOf(Kind kind) {
    switch (kind) {
    case Kind::plugIn:
        return kAudioPlugInClassID;
    case Kind::device:
        return kAudioDeviceClassID;
    default:
        return kAudioStreamClassID;
    }
}

Kind kindOf(const PropertyCall& call) {
    return *kindOf(call.object); // rows are only reached for known objects
}

bool isInput(const PropertyCall& call) {
    return call.address.mScope == kAudioObjectPropertyScopeInput;
}

// The owned objects, of the classes the qualifier names when it names any.
Value ownedObjects(const PropertyCall& call) {
    std::array<AudioObjectID, 2> owned{};
    size_t count = 0;
    if (kindOf(call) == Kind::plugIn)
        owned[count++] = kDeviceID;
    if (kindOf(call) == Kind::device) {
        owned[count++] = kOutputStreamID;
        owned[count++] = kInputStreamID;
    }
    const size_t wanted = call.qualifier != nullptr ? call.qualifierSize / sizeof(AudioClassID) : 0;
    if (wanted > 0) {
        std::array<AudioClassID, 16> classes{};
        std::memcpy(classes.data(), call.qualifier,
                    std::min(wanted, classes.size()) * sizeof(AudioClassID));
        const auto named = std::span(classes).first(std::min(wanted, classes.size()));
        const auto end =
            std::remove_if(owned.begin(), owned.begin() + count, [&](AudioObjectID id) {
                const AudioClassID cls = classOf(*kindOf(id));
                return std::find(named.begin(), named.end(), cls) == named.end() &&
                       std::find(named.begin(), named.end(), kAudioObjectClassID) == named.end();
            });
        count = size_t(end - owned.begin());
    }
    return list(std::span<const AudioObjectID>(owned.data(), count));
}

// An unknown UID is answered with kAudioObjectUnknown, not with an error.
Value deviceForUID(const PropertyCall& call) {
    if (call.qualifier == nullptr || call.qualifierSize != sizeof(CFStringRef))
        return failure(kAudioHardwareBadPropertySizeError);
    CFStringRef uid = nullptr;
    std::memcpy(&uid, call.qualifier, sizeof uid);
    CFStringRef ours = cfText(kDeviceUID);
    const bool same = uid != nullptr && CFEqual(uid, ours);
    CFRelease(ours);
    return one<AudioObjectID>(same ? kDeviceID : kAudioObjectUnknown);
}

Value streamFormat(const PropertyCall& call) {
    const UInt32 channels = kindOf(call) == Kind::inputStream ? kInputChannels : kOutputChannels;
    return one(AudioStreamBasicDescription{kSampleRate, kAudioFormatLinearPCM,
                                           kAudioFormatFlagsNativeFloatPacked, 4 * channels, 1,
                                           4 * channels, channels, 32, 0});
}

Value streamFormats(const PropertyCall& call) {
    AudioStreamRangedDescription ranged{};
    std::memcpy(&ranged.mFormat, streamFormat(call).bytes.data(), sizeof ranged.mFormat);
    ranged.mSampleRateRange = {kSampleRate, kSampleRate};
    return list({ranged});
}

OSStatus setRouteConfig(const PropertyCall& call, UInt32 size, const void* data) {
    if (size != sizeof(CFStringRef))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef routeText = nullptr;
    std::memcpy(&routeText, data, sizeof routeText);
    return call.driver.setRouteText(routeText);
}

enum Scopes : UInt32 { global = 1, input = 2, output = 4, anyScope = 7 };

struct Row {
    AudioObjectPropertySelector selector;
    UInt32 scopes;
    Value (*get)(const PropertyCall&);
    OSStatus (*set)(const PropertyCall&, UInt32, const void*) = nullptr;
};

using Call = const PropertyCall&;

const Row kEveryObject[] = {
    {kAudioObjectPropertyBaseClass, anyScope,
     [](Call) { return one<AudioClassID>(kAudioObjectClassID); }},
    {kAudioObjectPropertyClass, anyScope, [](Call c) { return one(classOf(kindOf(c))); }},
    {kAudioObjectPropertyOwner, anyScope,
     [](Call c) {
         const Kind kind = kindOf(c);
         return one<AudioObjectID>(kind == Kind::plugIn   ? kAudioObjectUnknown
                                   : kind == Kind::device ? kPlugInID
                                                          : kDeviceID);
     }},
    {kAudioObjectPropertyOwnedObjects, anyScope, ownedObjects},
    {kAudioObjectPropertyName, anyScope,
     [](Call) {
         return text([](Call c) {
             const Kind kind = kindOf(c);
             return cfText(kind == Kind::outputStream  ? "Sonarill output"
                           : kind == Kind::inputStream ? "Sonarill buses"
                                                       : kDeviceName);
         });
     }},
    {kAudioObjectPropertyManufacturer, anyScope,
     [](Call) { return text([](Call) { return cfText(kManufacturer); }); }},
};

const Row kPlugIn[] = {
    {kAudioPlugInPropertyDeviceList, global, [](Call) { return list({kDeviceID}); }},
    {kAudioPlugInPropertyTranslateUIDToDevice, global, deviceForUID},
    {kAudioPlugInPropertyBundleID, global,
     [](Call) { return text([](Call) { return cfText(kDriverBundleID); }); }},
};

const Row kDevice[] = {
    {kAudioDevicePropertyDeviceUID, global,
     [](Call) { return text([](Call) { return cfText(kDeviceUID); }); }},
    {kAudioDevicePropertyTransportType, global,
     [](Call) { return one<UInt32>(kAudioDeviceTransportTypeVirtual); }},
    {kAudioDevicePropertyDeviceIsAlive, global, [](Call) { return one<UInt32>(1); }},
    {kAudioDevicePropertyDeviceIsRunning, global,
     [](Call c) { return one<UInt32>(c.driver.isRunning() ? 1 : 0); }},
    // Never the default input: its input side is the buses, not a microphone.
    {kAudioDevicePropertyDeviceCanBeDefaultDevice, anyScope,
     [](Call c) { return one<UInt32>(isInput(c) ? 0 : 1); }},
    {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, anyScope,
     [](Call c) { return one<UInt32>(isInput(c) ? 0 : 1); }},
    {kAudioDevicePropertyLatency, anyScope, [](Call) { return one<UInt32>(0); }},
    {kAudioDevicePropertySafetyOffset, anyScope, [](Call) { return one<UInt32>(0); }},
    {kAudioDevicePropertyStreams, anyScope,
     [](Call c) {
         if (c.address.mScope == kAudioObjectPropertyScopeInput)
             return list({kInputStreamID});
         if (c.address.mScope == kAudioObjectPropertyScopeOutput)
             return list({kOutputStreamID});
         return list({kOutputStreamID, kInputStreamID});
     }},
    {kAudioDevicePropertyNominalSampleRate, global, [](Call) { return one(kSampleRate); }},
    {kAudioDevicePropertyAvailableNominalSampleRates, global,
     [](Call) {
         return list({AudioValueRange{kSampleRate, kSampleRate}});
     }},
    {kAudioDevicePropertyZeroTimeStampPeriod, global,
     [](Call) { return one<UInt32>(kZeroTimeStampPeriod); }},
    // The host passes a custom property's value between processes only when it knows its type.
    {kAudioObjectPropertyCustomPropertyInfoList, global,
     [](Call) {
         return list({AudioServerPlugInCustomPropertyInfo{
             kRouteConfigSelector, kAudioServerPlugInCustomPropertyDataTypeCFString,
             kAudioServerPlugInCustomPropertyDataTypeNone}});
     }},
    {kRouteConfigSelector, global,
     [](Call) { return text([](Call c) { return c.driver.copyRouteText(); }); }, setRouteConfig},
};

const Row kStream[] = {
    {kAudioStreamPropertyIsActive, anyScope, [](Call) { return one<UInt32>(1); }},
    {kAudioStreamPropertyDirection, anyScope,
     [](Call c) { return one<UInt32>(kindOf(c) == Kind::inputStream ? 1 : 0); }},
    {kAudioStreamPropertyStartingChannel, anyScope, [](Call) { return one<UInt32>(1); }},
    {kAudioStreamPropertyLatency, anyScope, [](Call) { return one<UInt32>(0); }},
    {kAudioStreamPropertyVirtualFormat, anyScope, streamFormat},
    {kAudioStreamPropertyAvailableVirtualFormats, anyScope, streamFormats},
    {kAudioStreamPropertyPhysicalFormat, anyScope, streamFormat},
    {kAudioStreamPropertyAvailablePhysicalFormats, anyScope, streamFormats},
};

UInt32 scopeBit(AudioObjectPropertyScope scope) {
    switch (scope) {
    case kAudioObjectPropertyScopeGlobal:
        return global;
    case kAudioObjectPropertyScopeInput:
        return input;
    case kAudioObjectPropertyScopeOutput:
        return output;
    case kAudioObjectPropertyScopeWildcard:
        return anyScope;
    default:
        return 0;
    }
}

const Row* findRow(const PropertyCall& call, OSStatus& status) {
    const auto kind = kindOf(call.object);
    if (!kind) {
        status = kAudioHardwareBadObjectError;
        return nullptr;
    }
    status = kAudioHardwareUnknownPropertyError;
    const AudioObjectPropertyElement element = call.address.mElement;
    if (element != kAudioObjectPropertyElementMain &&
        element != kAudioObjectPropertyElementWildcard)
        return nullptr;
    const std::span<const Row> own = *kind == Kind::plugIn   ? std::span<const Row>(kPlugIn)
                                     : *kind == Kind::device ? std::span<const Row>(kDevice)
                                                             : std::span<const Row>(kStream);
    for (const std::span<const Row> table : {own, std::span<const Row>(kEveryObject)})
        for (const Row& row : table)
            if (row.selector == call.address.mSelector &&
                (row.scopes & scopeBit(call.address.mScope)))
                return &row;
    return nullptr;
}

} // namespace

bool hasProperty(const PropertyCall& call) {
    OSStatus status = kAudioHardwareNoError;
    return findRow(call, status) != nullptr;
}

OSStatus isPropertySettable(const PropertyCall& call, Boolean& settable) {
    OSStatus status = kAudioHardwareNoError;
    const Row* row = findRow(call, status);
    if (row == nullptr)
        return status;
    settable = row->set != nullptr;
    return kAudioHardwareNoError;
}

OSStatus propertyDataSize(const PropertyCall& call, UInt32& size) {
    OSStatus status = kAudioHardwareNoError;
    const Row* row = findRow(call, status);
    if (row == nullptr)
        return status;
    const Value value = row->get(call);
    size = value.size;
    return value.status;
}

OSStatus propertyData(const PropertyCall& call, UInt32 capacity, UInt32& size, void* data) {
    OSStatus status = kAudioHardwareNoError;
    const Row* row = findRow(call, status);
    if (row == nullptr)
        return status;
    const Value value = row->get(call);
    if (value.status != kAudioHardwareNoError)
        return value.status;
    if (data == nullptr)
        return kAudioHardwareIllegalOperationError;
    if (value.itemSize > 0) {
        size = std::min(value.size, capacity / value.itemSize * value.itemSize);
        std::memcpy(data, value.bytes.data(), size);
        return kAudioHardwareNoError;
    }
    if (capacity < value.size)
        return kAudioHardwareBadPropertySizeError;
    size = value.size;
    if (value.text != nullptr) {
        CFStringRef made = value.text(call);
        std::memcpy(data, &made, sizeof made);
    } else {
        std::memcpy(data, value.bytes.data(), size);
    }
    return kAudioHardwareNoError;
}

OSStatus setPropertyData(const PropertyCall& call, UInt32 size, const void* data) {
    OSStatus status = kAudioHardwareNoError;
    const Row* row = findRow(call, status);
    if (row == nullptr)
        return status;
    if (row->set == nullptr)
        return kAudioHardwareUnsupportedOperationError;
    if (data == nullptr)
        return kAudioHardwareIllegalOperationError;
    return row->set(call, size, data);
}

} // namespace sonarill::driver
