#include "platform/Paths.h"

namespace sonarill::platform {

std::optional<std::filesystem::path> currentWorkingFolder() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::current_path(error);
    if (error)
        return std::nullopt;
    return folder;
}

std::optional<std::filesystem::path>
bundleResourcesFolder(const std::filesystem::path& executableFolder) {
    const std::filesystem::path folder = executableFolder.lexically_normal();
    // A trailing separator leaves an empty last component; drop it before looking at names.
    const std::filesystem::path macos = folder.has_filename() ? folder : folder.parent_path();
    const std::filesystem::path contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
        contents.parent_path().extension() != ".app")
        return std::nullopt;
    return contents / "Resources";
}

} // namespace sonarill::platform
