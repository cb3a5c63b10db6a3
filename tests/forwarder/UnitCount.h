#pragma once

// How many audio units exist that AudioComponentInstanceNew made and
// AudioComponentInstanceDispose has not disposed of. The executable links with GNU ld's
// --wrap for both calls, so every caller's units are counted, the forwarder's included.
namespace sonarill::testing {

int liveUnits();

} // namespace sonarill::testing
