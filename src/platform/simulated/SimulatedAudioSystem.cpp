#include "platform/AudioSystem.h"

#include "sim/Control.h"

namespace sonarill::platform {

void startAudioSystem() {
    sim::startSimulation();
}

void joinAudioSystem() {
    sim::joinSimulation();
}

void finishAudioSystem() {
    sim::flushRecordings();
}

} // namespace sonarill::platform
