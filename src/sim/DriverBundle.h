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
// Boolean Info.plist key, false on a bundle of an older driver that has no route configuration
// property (the simulation hides the property of the driver it loads from such a bundle). The
// built driver's Info.plist does not name it.
inline constexpr std::string_view kRouteConfigSupportKey = "SonarillSupportsRouteConfig";
// The plug-in type of a HAL driver, as Info.plist's CFPlugInTypes names it.
inline constexpr std::string_view kAudioServerPlugInTypeUUIDText =
    "443ABAB8-E7B3-491A-B985-BEB9187030DB";

enum class PlistFormat { xml, binary };

struct DriverBundle {
    std::string bundleIdentifier;
    bool supportsRouteConfig = true;
    std::string executable; // the bytes of Contents/MacOS/libtidewell.dylib
    // The factory of a HAL driver: its UUID and the function the executable exports, as
    // CFPlugInFactories and CFPlugInTypes name them. Empty when Info.plist names none.
    std::string factoryUUID;
    std::string factoryFunction;
};

// The folder of the Sonarill.driver this build carries next to its executables: the driver
// built from src/driver.
std::filesystem::path carriedDriverBundlePath();
// That bundle as read from there; an empty one (which no audio server accepts) when the build
// has not made it.
DriverBundle carriedDriverBundle();

// Replaces whatever is at `bundlePath` with the bundle.
base::Expected<void> writeDriverBundle(const std::filesystem::path& bundlePath,
                                       const DriverBundle& bundle,
                                       PlistFormat format = PlistFormat::xml);

// The bundle as the audio server sees it: nothing unless Info.plist is a property list (XML or
// binary) with a text CFBundleIdentifier and the executable is a regular file. Whether the
// executable can be loaded and has the factory is the loader's to find out.
std::optional<DriverBundle> readDriverBundle(const std::filesystem::path& bundlePath);

} // namespace sonarill::sim
