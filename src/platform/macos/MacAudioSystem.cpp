#include "platform/AudioSystem.h"

// The audio server runs on its own and is shared by every process.
namespace sonarill::platform {

void startAudioSystem() {}

void joinAudioSystem() {}

void finishAudioSystem() {}

} // namespace sonarill::platform
