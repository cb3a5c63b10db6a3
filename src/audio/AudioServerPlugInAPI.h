#pragma once

// The only include of the plug-in interface, which the driver is written against: Apple's header on
// Apple (it is not part of the CoreAudio umbrella header), elsewhere the simulated audio server's
// declaration of the same names, layouts and UUIDs. CoreFoundation comes with it, from the host.

#if defined(__APPLE__)
#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#else
#include "sim/AudioServerPlugIn.h"
#endif
