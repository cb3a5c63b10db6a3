// Apple only: NSWorkspace's list of running applications, read on the main thread, where
// AppKit keeps it current.
#include "platform/RunningApplications.h"

#import <AppKit/AppKit.h>

namespace sonarill::platform {

namespace {

std::string text(NSString* string) {
    const char* utf8 = string ? string.UTF8String : nullptr;
    return utf8 ? std::string(utf8) : std::string();
}

ActivationPolicy policyOf(NSApplicationActivationPolicy policy) {
    switch (policy) {
    case NSApplicationActivationPolicyRegular:
        return ActivationPolicy::regular;
    case NSApplicationActivationPolicyAccessory:
        return ActivationPolicy::accessory;
    case NSApplicationActivationPolicyProhibited:
        return ActivationPolicy::prohibited;
    }
    return ActivationPolicy::prohibited;
}

} // namespace

std::vector<RunningApplication> runningApplications() {
    std::vector<RunningApplication> applications;
    @autoreleasepool {
        for (NSRunningApplication* app in NSWorkspace.sharedWorkspace.runningApplications) {
            // The bundle's path: the interface asks the platform's icon provider for its icon.
            std::optional<std::string> icon;
            if (app.bundleURL.path != nil)
                icon = text(app.bundleURL.path);
            applications.push_back({text(app.bundleIdentifier), text(app.localizedName),
                                    policyOf(app.activationPolicy), icon});
        }
    }
    return applications;
}

// The interface asks the platform's icon provider, which gives a generic icon for a path where
// nothing lies.
std::optional<std::string> iconForFile(const std::filesystem::path& path) {
    return path.string();
}

} // namespace sonarill::platform
