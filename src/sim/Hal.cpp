// The C entry points of the simulated HAL: argument checks, then the one simulation.

#include "sim/Simulation.h"

using sonarill::sim::Simulation;

namespace {

bool badQualifier(UInt32 size, const void* data) {
    return size > 0 && data == nullptr;
}

} // namespace

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress) {
    if (inAddress == nullptr)
        return false;
    return Simulation::instance().hasProperty(inObjectID, *inAddress);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (inAddress == nullptr || outIsSettable == nullptr)
        return kAudio_ParamError;
    return Simulation::instance().isPropertySettable(inObjectID, *inAddress, *outIsSettable);
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    if (inAddress == nullptr || outDataSize == nullptr ||
        badQualifier(inQualifierDataSize, inQualifierData))
        return kAudio_ParamError;
    return Simulation::instance().getPropertyDataSize(inObjectID, *inAddress, *outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    if (inAddress == nullptr || ioDataSize == nullptr || outData == nullptr ||
        badQualifier(inQualifierDataSize, inQualifierData))
        return kAudio_ParamError;
    return Simulation::instance().getPropertyData(inObjectID, *inAddress, *ioDataSize, outData);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr || inData == nullptr ||
        badQualifier(inQualifierDataSize, inQualifierData))
        return kAudio_ParamError;
    return Simulation::instance().setPropertyData(inObjectID, *inAddress, inDataSize, inData);
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr)
        return kAudio_ParamError;
    return Simulation::instance().addListener(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr)
        return kAudio_ParamError;
    return Simulation::instance().removeListener(inObjectID, *inAddress, inListener, inClientData);
}
}
