#include "UnitCount.h"

#include "audio/CoreAudioAPI.h"

#include <atomic>

namespace {

std::atomic<int> gLiveUnits{0};

} // namespace

extern "C" {

OSStatus __real_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out);
OSStatus __real_AudioComponentInstanceDispose(AudioComponentInstance unit);

OSStatus __wrap_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out) {
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
