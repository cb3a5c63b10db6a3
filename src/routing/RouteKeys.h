#pragma once

#include <array>
#include <string>
#include <string_view>

// Which route an application plays under: its own bundle identifier, or the one key the browser
// and the processes that make its sound share. The routing model and the driver both key routes
// by it, so they must agree on every identifier.
namespace sonarill::routing {

inline const std::string kChromeBaseBundleID = "com.google.Chrome";
inline const std::string kChromeHostedAppPrefix = "com.google.Chrome.app.";
// In a fixed order: the first with a route wins when both have one.
inline const std::array<std::string, 2> kChromeAudioServiceBundleIDs = {
    "com.google.Chrome.helper", "com.google.Chrome.helper.renderer"};

bool isChromeAudioGroupMember(std::string_view bundleId);
// kChromeBaseBundleID for a member of the browser's audio group, else the identifier itself.
std::string routeKey(std::string_view bundleId);

} // namespace sonarill::routing
