#pragma once

// The HAL side of Core Audio as the simulated audio system provides it: Apple's names, types,
// constants, status codes and C signatures, so code written against <CoreAudio/CoreAudio.h>
// compiles unchanged. Four-character codes are spelt through fourCharCode because
// multi-character literals are not portable C++.

#include "sim/CoreFoundation.h"

namespace sonarill::sim::detail {
// 'abcd' as Apple's compilers read it: the first character in the most significant byte.
constexpr UInt32 fourCharCode(const char (&code)[5]) {
    return (UInt32(UInt8(code[0])) << 24) | (UInt32(UInt8(code[1])) << 16) |
           (UInt32(UInt8(code[2])) << 8) | UInt32(UInt8(code[3]));
}
} // namespace sonarill::sim::detail

typedef UInt32 AudioObjectID;
typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID,
                                                    UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress* inAddresses,
                                                    void* inClientData);

// Constants are members of anonymous enums with Apple's underlying types, as Apple declares
// them, so that an idiom that compiles here (taking an address, deducing a type) compiles on a
// Mac too.
// Objects
enum : AudioObjectID { kAudioObjectUnknown = 0 };
enum : int { kAudioObjectSystemObject = 1 };

// Scopes, elements and wildcards
enum : AudioObjectPropertyScope {
    kAudioObjectPropertyScopeGlobal = sonarill::sim::detail::fourCharCode("glob"),
    kAudioObjectPropertyScopeInput = sonarill::sim::detail::fourCharCode("inpt"),
    kAudioObjectPropertyScopeOutput = sonarill::sim::detail::fourCharCode("outp"),
    kAudioObjectPropertyScopeWildcard = sonarill::sim::detail::fourCharCode("****"),
};
enum : AudioObjectPropertySelector {
    kAudioObjectPropertySelectorWildcard = sonarill::sim::detail::fourCharCode("****")
};
enum : AudioObjectPropertyElement {
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFF,
};

// System object, object and device properties
enum : AudioObjectPropertySelector {
    kAudioHardwarePropertyDevices = sonarill::sim::detail::fourCharCode("dev#"),
    kAudioHardwarePropertyDefaultOutputDevice = sonarill::sim::detail::fourCharCode("dOut"),
    kAudioHardwarePropertyDefaultSystemOutputDevice = sonarill::sim::detail::fourCharCode("sOut"),
    kAudioObjectPropertyName = sonarill::sim::detail::fourCharCode("lnam"),
    kAudioDevicePropertyDeviceUID = sonarill::sim::detail::fourCharCode("uid "),
    kAudioDevicePropertyStreams = sonarill::sim::detail::fourCharCode("stm#"),
    kAudioDevicePropertyTransportType = sonarill::sim::detail::fourCharCode("tran"),
    kAudioDevicePropertyBufferFrameSize = sonarill::sim::detail::fourCharCode("fsiz"),
    kAudioDevicePropertyStreamConfiguration = sonarill::sim::detail::fourCharCode("slay"),
};

// Transport types
enum : UInt32 {
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = sonarill::sim::detail::fourCharCode("bltn"),
    kAudioDeviceTransportTypeAggregate = sonarill::sim::detail::fourCharCode("grup"),
    kAudioDeviceTransportTypeVirtual = sonarill::sim::detail::fourCharCode("virt"),
    kAudioDeviceTransportTypePCI = sonarill::sim::detail::fourCharCode("pci "),
    kAudioDeviceTransportTypeUSB = sonarill::sim::detail::fourCharCode("usb "),
    kAudioDeviceTransportTypeFireWire = sonarill::sim::detail::fourCharCode("1394"),
    kAudioDeviceTransportTypeBluetooth = sonarill::sim::detail::fourCharCode("blue"),
    kAudioDeviceTransportTypeBluetoothLE = sonarill::sim::detail::fourCharCode("blea"),
    kAudioDeviceTransportTypeHDMI = sonarill::sim::detail::fourCharCode("hdmi"),
    kAudioDeviceTransportTypeDisplayPort = sonarill::sim::detail::fourCharCode("dprt"),
    kAudioDeviceTransportTypeAirPlay = sonarill::sim::detail::fourCharCode("airp"),
    kAudioDeviceTransportTypeAVB = sonarill::sim::detail::fourCharCode("eavb"),
    kAudioDeviceTransportTypeThunderbolt = sonarill::sim::detail::fourCharCode("thun"),
};

// Status codes
enum : OSStatus {
    kAudio_ParamError = -50,
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = OSStatus(sonarill::sim::detail::fourCharCode("stop")),
    kAudioHardwareUnspecifiedError = OSStatus(sonarill::sim::detail::fourCharCode("what")),
    kAudioHardwareUnknownPropertyError = OSStatus(sonarill::sim::detail::fourCharCode("who?")),
    kAudioHardwareBadPropertySizeError = OSStatus(sonarill::sim::detail::fourCharCode("!siz")),
    kAudioHardwareIllegalOperationError = OSStatus(sonarill::sim::detail::fourCharCode("nope")),
    kAudioHardwareBadObjectError = OSStatus(sonarill::sim::detail::fourCharCode("!obj")),
    kAudioHardwareBadDeviceError = OSStatus(sonarill::sim::detail::fourCharCode("!dev")),
    kAudioHardwareBadStreamError = OSStatus(sonarill::sim::detail::fourCharCode("!str")),
    kAudioHardwareUnsupportedOperationError = OSStatus(sonarill::sim::detail::fourCharCode("unop")),
};

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress);

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData);

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData);

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData);
}
