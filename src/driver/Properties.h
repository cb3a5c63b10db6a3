#pragma once

#include "audio/AudioServerPlugInAPI.h"

// The answers of the plug-in, the device and its two streams. One table per object class; a
// property is one row, and the five property calls of the interface are answered from it.
namespace sonarill::driver {

class Driver;

struct PropertyCall {
    Driver& driver;
    AudioObjectID object;
    const AudioObjectPropertyAddress& address;
    UInt32 qualifierSize = 0;
    const void* qualifier = nullptr;
};

bool hasProperty(const PropertyCall& call);
OSStatus isPropertySettable(const PropertyCall& call, Boolean& settable);
OSStatus propertyDataSize(const PropertyCall& call, UInt32& size);
// Fills at most `capacity` bytes. A list is cut to the whole items that fit; any other value
// that does not fit is refused with kAudioHardwareBadPropertySizeError.
OSStatus propertyData(const PropertyCall& call, UInt32 capacity, UInt32& size, void* data);
OSStatus setPropertyData(const PropertyCall& call, UInt32 size, const void* data);

} // namespace sonarill::driver
