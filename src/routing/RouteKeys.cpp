#include "routing/RouteKeys.h"

#include <algorithm>

namespace sonarill::routing {

bool isChromeAudioGroupMember(std::string_view bundleId) {
    return bundleId == kChromeBaseBundleID ||
           std::find(kChromeAudioServiceBundleIDs.begin(), kChromeAudioServiceBundleIDs.end(),
                     bundleId) != kChromeAudioServiceBundleIDs.end() ||
           bundleId.starts_with(kChromeHostedAppPrefix);
}

std::string routeKey(std::string_view bundleId) {
    return isChromeAudioGroupMember(bundleId) ? kChromeBaseBundleID : std::string(bundleId);
}

} // namespace sonarill::routing
