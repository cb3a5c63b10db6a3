#pragma once

#include <filesystem>
#include <optional>

// Where things are on this platform. Every function asks afresh; an absent value means the
// platform has no such place or it cannot be determined.
namespace sonarill::platform {

// The running application bundle's Resources folder. Absent on the simulated platform, which
// has no application bundles, and on Apple when the executable does not lie in one.
std::optional<std::filesystem::path> applicationResourcesFolder();

// The folder of the running executable, with symbolic links resolved.
std::optional<std::filesystem::path> executableFolder();

std::optional<std::filesystem::path> currentWorkingFolder();

// The folder the audio server loads HAL plug-ins from: "/Library/Audio/Plug-Ins/HAL" on Apple,
// the simulated audio system's user-writable folder elsewhere.
std::filesystem::path halPluginFolder();

// ".../Name.app/Contents/Resources" for an executable folder ".../Name.app/Contents/MacOS";
// absent for any other folder. Shared by the Apple paths and their tests.
std::optional<std::filesystem::path>
bundleResourcesFolder(const std::filesystem::path& executableFolder);

} // namespace sonarill::platform
