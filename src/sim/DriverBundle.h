#pragma once

#include "base/Expected.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The simulated virtual device's plug-in bundle: what the build carries next to the
// executables and what the simulated audio server accepts from its HAL folder.
namespace sonarill::sim {

inline constexpr std::string_view kDriverBundleName = "Sonarill.driver";
inline constexpr std::string_view kDriverInfoPlistPath = "Contents/Info.plist";
inline constexpr std::string_view kDriverExecutablePath = "Contents/MacOS/libtidewell.dylib";
inline constexpr std::string_view kDriverBundleIdentifier = "com.sonarill.driver";
// Boolean Info.plist key: true when the driver publishes the route configuration property.
inline constexpr std::string_view kRouteConfigSupportKey = "SonarillSupportsRouteConfig";

enum class PlistFormat { xml, binary };

struct DriverBundle {
    std::string bundleIdentifier;
    bool supportsRouteConfig = false;
    std::string executable; // the bytes of Contents/MacOS/libtidewell.dylib
};

// The driver of this build: its executable names the project version, so two builds of the
// same version carry byte-identical bundles.
DriverBundle carriedDriverBundle();

// Replaces whatever is at `bundlePath` with the bundle.
base::Expected<void> writeDriverBundle(const std::filesystem::path& bundlePath,
                                       const DriverBundle& bundle,
                                       PlistFormat format = PlistFormat::xml);

// The bundle as the audio server sees it: nothing unless Info.plist is a property list (XML or
// binary) with a text CFBundleIdentifier and the executable is a regular file.
std::optional<DriverBundle> readDriverBundle(const std::filesystem::path& bundlePath);

} // namespace sonarill::sim
