// The plug-in folder and the simulated audio server: the virtual device exists while a loadable
// driver bundle lies in the folder and the server has loaded it, a while after the folder last
// changed (an install restarts the server). The device is the driver's (PlugInHost.cpp); an
// older bundle's driver has no route configuration property.

#include "base/Files.h"
#include "sim/Io.h"
#include "sim/PlugInHost.h"
#include "sim/State.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace sonarill::sim {

namespace {

std::filesystem::path storageFolder(const std::filesystem::path& pluginFolder) {
    return pluginFolder.empty() ? pluginFolder : pluginFolder.parent_path() / "PlugInStorage";
}

const DeviceState* virtualDeviceState(const State& s) {
    for (const AudioObjectID id : s.deviceOrder) {
        if (s.devices.at(id).isVirtual)
            return &s.devices.at(id);
    }
    return nullptr;
}

// Names, kinds, sizes and times of everything in the folder: any install, removal or rewrite
// changes it.
std::string folderFingerprint(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> entries;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code statusError;
        const auto status = it->symlink_status(statusError);
        std::ostringstream entry;
        entry << fs::relative(it->path(), folder, statusError).string() << '|'
              << static_cast<int>(status.type());
        if (status.type() == fs::file_type::regular) {
            entry << '|' << it->file_size(statusError) << '|'
                  << std::chrono::duration_cast<std::chrono::nanoseconds>(
                         it->last_write_time(statusError).time_since_epoch())
                         .count(); // 64 bits on every library; some count file time in 128
        }
        entries.push_back(entry.str());
    }
    if (error && error != std::errc::no_such_file_or_directory)
        entries.push_back(std::string("?").append(error.message())); // look again next time
    std::sort(entries.begin(), entries.end());
    std::ostringstream fingerprint;
    for (const auto& entry : entries)
        fingerprint << entry << '\n';
    return fingerprint.str();
}

} // namespace

std::filesystem::path plugInStorageFile(const std::filesystem::path& pluginFolder,
                                        std::string_view bundleIdentifier) {
    // An identifier that is not one file name gets no storage rather than another's.
    const std::filesystem::path name = std::string(bundleIdentifier) + ".json";
    if (pluginFolder.empty() || bundleIdentifier.empty() || name.has_parent_path() ||
        bundleIdentifier.front() == '.')
        return {};
    return storageFolder(pluginFolder) / name;
}

void forgetPlugInStorage(const std::filesystem::path& pluginFolder) {
    std::error_code ignored; // nothing to forget, or nothing it could be kept in
    if (!pluginFolder.empty())
        std::filesystem::remove_all(storageFolder(pluginFolder), ignored);
}

PluginFolderReading readPluginFolder(const std::filesystem::path& folder) {
    if (folder.empty())
        return {};
    return {folderFingerprint(folder), readDriverBundle(folder / kDriverBundleName)};
}

base::Expected<void> preparePluginFolder(const std::filesystem::path& folder,
                                         const PluginSettings& plugin) {
    if (!plugin.installed || folder.empty())
        return {};
    const auto bundlePath = folder / kDriverBundleName;
    if (!*plugin.installed) {
        std::error_code error;
        std::filesystem::remove_all(bundlePath, error);
        if (error)
            return base::Failure{"cannot remove " + bundlePath.string() + ": " + error.message()};
        return {};
    }
    if (!plugin.routeConfig) {
        // An older driver's bundle: the carried executable under an Info.plist that says it has
        // no route configuration.
        DriverBundle bundle = carriedDriverBundle();
        bundle.supportsRouteConfig = false;
        if (const auto written = writeDriverBundle(bundlePath, bundle); !written)
            return base::Failure{"cannot install the driver: " + written.error()};
        return {};
    }
    std::error_code error;
    std::filesystem::remove_all(bundlePath, error);
    if (!error) {
        std::filesystem::create_directories(folder, error);
        std::filesystem::copy(carriedDriverBundlePath(), bundlePath,
                              std::filesystem::copy_options::recursive, error);
    }
    if (error)
        return base::Failure{"cannot install the driver from " +
                             carriedDriverBundlePath().string() + ": " + error.message()};
    return {};
}

void updateVirtualDevice(State& s, double time) {
    const bool loaded =
        s.plugin.bundle && time >= s.plugin.changedAt + s.plugin.loadDelay && !s.restart;
    const DeviceState* present = virtualDeviceState(s);
    if (!loaded) {
        if (present != nullptr)
            removeDeviceLocked(s, present->device.id); // which unloads the driver
        return;
    }
    if (present != nullptr)
        return;
    const auto bundlePath = s.plugin.path / kDriverBundleName;
    auto host =
        PlugInHost::load(bundlePath, *s.plugin.bundle,
                         plugInStorageFile(s.plugin.path, s.plugin.bundle->bundleIdentifier));
    if (!host) {
        // As if the folder held no loadable bundle, until it changes.
        s.plugin.bundle.reset();
        return;
    }
    Device device = (*host)->device();
    const auto id =
        addDeviceLocked(s, std::move(device), true, s.plugin.bundle->supportsRouteConfig);
    if (!id)
        return;
    const DeviceState& added = s.devices.at(*id);
    (*host)->attach(*id, added.inputStream, added.outputStream);
    s.plugInHost = std::move(*host);
    updateAppClients(s);
}

double nextPluginLoadTime(const State& s) {
    // While the server restarts it loads nothing; it loads the driver when it is back.
    if (!s.plugin.bundle || virtualDeviceState(s) != nullptr || s.restart)
        return std::numeric_limits<double>::infinity();
    return s.plugin.changedAt + s.plugin.loadDelay;
}

void scanPluginFolder(State& s) {
    std::filesystem::path folder;
    std::string known;
    uint64_t generation = 0;
    {
        std::lock_guard lock(s.mutex);
        folder = s.plugin.path;
        known = s.plugin.fingerprint;
        generation = s.generation;
    }
    if (folder.empty())
        return;
    // File system work happens unlocked so HAL calls never wait for it.
    PluginFolderReading reading = readPluginFolder(folder);
    if (reading.fingerprint == known)
        return;
    std::lock_guard lock(s.mutex);
    if (generation != s.generation || s.plugin.fingerprint != known)
        return; // reset or scanned by someone else meanwhile
    s.plugin.fingerprint = std::move(reading.fingerprint);
    s.plugin.bundle = std::move(reading.bundle);
    s.plugin.changedAt = now(s); // the simulated audio server restarts
    pullSharedSystem(s);
    updateVirtualDevice(s, now(s));
}

// MARK: Control

std::filesystem::path halPluginFolder() {
    const std::filesystem::path suffix = std::filesystem::path("sonarill-sim") / "HAL";
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && std::filesystem::path(dataHome).is_absolute())
        return dataHome / suffix;
    const std::optional<std::filesystem::path> home = base::homeFolder();
    if (!home)
        return {};
    return *home / ".local" / "share" / suffix;
}

void checkPluginFolder() {
    scanPluginFolder(state());
}

std::optional<std::string> routeConfigText() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const DeviceState* device = virtualDeviceState(s);
    if (s.plugInHost == nullptr || device == nullptr || !device->hasRouteConfig)
        return std::nullopt;
    std::string text = s.plugInHost->routeText();
    return text.empty() ? std::nullopt : std::optional(std::move(text));
}

} // namespace sonarill::sim
