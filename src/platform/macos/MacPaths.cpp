// Apple only. _NSGetExecutablePath (<mach-o/dyld.h>) gives the path the executable was
// started with, possibly through symbolic links, so it is resolved before use.
#include "platform/Paths.h"

#include <cstdint>
#include <mach-o/dyld.h>
#include <vector>

namespace sonarill::platform {

std::optional<std::filesystem::path> executableFolder() {
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size); // reports the size needed
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0)
        return std::nullopt;
    std::error_code error;
    const std::filesystem::path executable =
        std::filesystem::weakly_canonical(std::filesystem::path(buffer.data()), error);
    if (error || !executable.has_parent_path())
        return std::nullopt;
    return executable.parent_path();
}

std::optional<std::filesystem::path> applicationResourcesFolder() {
    const std::optional<std::filesystem::path> folder = executableFolder();
    if (!folder)
        return std::nullopt;
    return bundleResourcesFolder(*folder);
}

std::filesystem::path halPluginFolder() {
    return "/Library/Audio/Plug-Ins/HAL";
}

} // namespace sonarill::platform
