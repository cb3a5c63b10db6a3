#include "platform/RunningApplications.h"

#include "sim/Control.h"

namespace sonarill::platform {

namespace {

ActivationPolicy policyOf(sim::AppPolicy policy) {
    switch (policy) {
    case sim::AppPolicy::regular:
        return ActivationPolicy::regular;
    case sim::AppPolicy::accessory:
        return ActivationPolicy::accessory;
    case sim::AppPolicy::prohibited:
        return ActivationPolicy::prohibited;
    }
    return ActivationPolicy::prohibited;
}

} // namespace

// The simulation keeps its applications in launch order.
std::vector<RunningApplication> runningApplications() {
    std::vector<RunningApplication> applications;
    for (const sim::App& app : sim::runningApps()) {
        std::optional<std::string> icon;
        if (!app.icon.empty())
            icon = app.icon;
        applications.push_back({app.bundleId, app.name, policyOf(app.policy), icon});
    }
    return applications;
}

// No application bundles here: every file shows the icon theme's generic program icon.
std::optional<std::string> iconForFile(const std::filesystem::path&) {
    return "application-x-executable";
}

} // namespace sonarill::platform
