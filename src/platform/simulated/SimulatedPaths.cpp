#include "platform/Paths.h"

#include "sim/Control.h"

namespace sonarill::platform {

std::optional<std::filesystem::path> applicationResourcesFolder() {
    return std::nullopt;
}

std::optional<std::filesystem::path> executableFolder() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !executable.has_parent_path())
        return std::nullopt;
    return executable.parent_path();
}

// The simulated audio system owns its plug-in folder; asking it keeps one definition of
// where that is.
std::filesystem::path halPluginFolder() {
    return sim::halPluginFolder();
}

} // namespace sonarill::platform
