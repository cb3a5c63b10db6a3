#include "UnitCount.h"

#include "audio/CoreAudioAPI.h"

#include <atomic>

namespace {

std::atomic<int> gLiveUnits{0};
std::atomic<int> gCreationsBeforeFailure{0}; // 0: none fails

} // namespace

extern "C" {

OSStatus __real_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out);
OSStatus __real_AudioComponentInstanceDispose(AudioComponentInstance unit);

OSStatus __wrap_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out) {
    if (gCreationsBeforeFailure.load() > 0 && --gCreationsBeforeFailure == 0)
        return kAudio_ParamError;
    const OSStatus status = __real_AudioComponentInstanceNew(component, out);
    if (status == noErr)
        ++gLiveUnits;
    return status;
}

// Disposing of a handle that is no unit fails and counts nothing.
OSStatus __wrap_AudioComponentInstanceDispose(AudioComponentInstance unit) {
    const OSStatus status = __real_AudioComponentInstanceDispose(unit);
    if (status == noErr)
        --gLiveUnits;
    return status;
}
}

int sonarill::testing::liveUnits() {
    return gLiveUnits.load();
}

void sonarill::testing::failUnitCreation(int nth) {
    gCreationsBeforeFailure = nth;
}
