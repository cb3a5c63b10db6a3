#pragma once

// What a process does to the audio system as a whole, beyond the HAL calls: nothing with the
// real frameworks, which need no setting up; the simulated audio system's start, join and last
// save elsewhere.
namespace sonarill::platform {

// At the very start of the application. A simulated world file that cannot be used stops the
// program here, with one line, before anything is shown.
void startAudioSystem();

// At the very start of a helper program that must see the audio system as the application left
// it and change nothing of it by itself.
void joinAudioSystem();

// Just before the process leaves without tearing the audio system down: completes what must
// outlive the process (the simulated devices' recordings).
void finishAudioSystem();

} // namespace sonarill::platform
