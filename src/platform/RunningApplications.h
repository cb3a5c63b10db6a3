#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The applications running in the user's session, as the routing model needs them.
namespace sonarill::platform {

// Whether an application shows in the Dock (regular), only in menus and windows of its own
// (accessory, like this one), or not at all (prohibited: background agents and helpers).
enum class ActivationPolicy { regular, accessory, prohibited };

struct RunningApplication {
    std::string bundleIdentifier; // empty for an executable without a bundle
    std::string name;             // the localized name; empty when it has none
    ActivationPolicy policy = ActivationPolicy::regular;
    // Where the application's icon is: an image file or an icon theme name; absent when none.
    std::optional<std::string> icon;

    bool operator==(const RunningApplication&) const = default;
};

// The applications running now. The order is stable between calls, so a list built from it
// does not shuffle: launch order on the simulated platform, NSWorkspace's own on Apple. Call it
// on the main thread: on Apple the list is only brought up to date while the main run loop runs.
std::vector<RunningApplication> runningApplications();

// The icon the platform shows for a file or bundle, also when nothing lies at the path (then a
// generic one).
std::optional<std::string> iconForFile(const std::filesystem::path& path);

} // namespace sonarill::platform
