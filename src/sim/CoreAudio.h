#pragma once

// The HAL side of Core Audio as the simulated audio system provides it: Apple's names, types,
// constants, status codes and C signatures, so code written against <CoreAudio/CoreAudio.h>
// compiles unchanged. Constants are typed values rather than Apple's enums because
// four-character literals are not portable C++.

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

// Objects
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Scopes, elements and wildcards
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal =
    sonarill::sim::detail::fourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput =
    sonarill::sim::detail::fourCharCode("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput =
    sonarill::sim::detail::fourCharCode("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard =
    sonarill::sim::detail::fourCharCode("****");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard =
    sonarill::sim::detail::fourCharCode("****");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;

// System object properties
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices =
    sonarill::sim::detail::fourCharCode("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    sonarill::sim::detail::fourCharCode("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultSystemOutputDevice =
    sonarill::sim::detail::fourCharCode("sOut");

// Object and device properties
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName =
    sonarill::sim::detail::fourCharCode("lnam");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID =
    sonarill::sim::detail::fourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams =
    sonarill::sim::detail::fourCharCode("stm#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType =
    sonarill::sim::detail::fourCharCode("tran");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize =
    sonarill::sim::detail::fourCharCode("fsiz");

// Transport types
inline constexpr UInt32 kAudioDeviceTransportTypeUnknown = 0;
inline constexpr UInt32 kAudioDeviceTransportTypeBuiltIn =
    sonarill::sim::detail::fourCharCode("bltn");
inline constexpr UInt32 kAudioDeviceTransportTypeAggregate =
    sonarill::sim::detail::fourCharCode("grup");
inline constexpr UInt32 kAudioDeviceTransportTypeVirtual =
    sonarill::sim::detail::fourCharCode("virt");
inline constexpr UInt32 kAudioDeviceTransportTypePCI = sonarill::sim::detail::fourCharCode("pci ");
inline constexpr UInt32 kAudioDeviceTransportTypeUSB = sonarill::sim::detail::fourCharCode("usb ");
inline constexpr UInt32 kAudioDeviceTransportTypeFireWire =
    sonarill::sim::detail::fourCharCode("1394");
inline constexpr UInt32 kAudioDeviceTransportTypeBluetooth =
    sonarill::sim::detail::fourCharCode("blue");
inline constexpr UInt32 kAudioDeviceTransportTypeBluetoothLE =
    sonarill::sim::detail::fourCharCode("blea");
inline constexpr UInt32 kAudioDeviceTransportTypeHDMI = sonarill::sim::detail::fourCharCode("hdmi");
inline constexpr UInt32 kAudioDeviceTransportTypeDisplayPort =
    sonarill::sim::detail::fourCharCode("dprt");
inline constexpr UInt32 kAudioDeviceTransportTypeAirPlay =
    sonarill::sim::detail::fourCharCode("airp");
inline constexpr UInt32 kAudioDeviceTransportTypeAVB = sonarill::sim::detail::fourCharCode("eavb");
inline constexpr UInt32 kAudioDeviceTransportTypeThunderbolt =
    sonarill::sim::detail::fourCharCode("thun");

// Status codes
inline constexpr OSStatus kAudio_ParamError = -50;
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError =
    OSStatus(sonarill::sim::detail::fourCharCode("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError =
    OSStatus(sonarill::sim::detail::fourCharCode("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    OSStatus(sonarill::sim::detail::fourCharCode("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    OSStatus(sonarill::sim::detail::fourCharCode("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    OSStatus(sonarill::sim::detail::fourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError =
    OSStatus(sonarill::sim::detail::fourCharCode("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError =
    OSStatus(sonarill::sim::detail::fourCharCode("!dev"));
inline constexpr OSStatus kAudioHardwareBadStreamError =
    OSStatus(sonarill::sim::detail::fourCharCode("!str"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    OSStatus(sonarill::sim::detail::fourCharCode("unop"));

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
