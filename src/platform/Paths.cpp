#include "platform/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace sonarill::platform {

std::optional<std::filesystem::path> currentWorkingFolder() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::current_path(error);
    if (error)
        return std::nullopt;
    return folder;
}

std::optional<std::filesystem::path> homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::filesystem::path(home);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || !*found->pw_dir)
        return std::nullopt;
    return std::filesystem::path(found->pw_dir);
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
