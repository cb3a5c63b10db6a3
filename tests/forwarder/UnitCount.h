#pragma once

// How many audio units exist that AudioComponentInstanceNew made and
// AudioComponentInstanceDispose has not disposed of. The executable links with GNU ld's
// --wrap for both calls, so every caller's units are counted, the forwarder's included.
namespace sonarill::testing {

int liveUnits();

// The nth unit creation from now on fails (AudioComponentInstanceNew answers -50), once: the
// simulation's faults cannot tell one creation from the next, as no unit has a device yet.
void failUnitCreation(int nth);

} // namespace sonarill::testing
