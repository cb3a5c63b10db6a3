#pragma once

// The only include of the audio system's API: Apple's frameworks on Apple, elsewhere the
// simulated audio system's declarations of the same names, types, constants and status codes.

#if defined(__APPLE__)
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>
#else
#include "sim/AudioToolbox.h"
#include "sim/CoreAudio.h"
#endif
