// Loading and saving the configuration file, keeping an unreadable one aside, and pushing the
// same text to the virtual device's driver.

#include "routing/AudioRoutingViewModel.h"

#include "audio/CFString.h"
#include "audio/DeviceLookup.h"
#include "base/Files.h"
#include "log/DebugLog.h"
#include "routing/ConfigText.h"
#include "routing/ModelInternal.h"

#include <system_error>

namespace sonarill::routing {

using DebugLog::log;
using detail::limitVolume;

std::optional<std::filesystem::path> defaultConfigPath() {
    const std::optional<std::filesystem::path> home = base::homeFolder();
    if (!home)
        return std::nullopt;
    return *home / "Library" / "Application Support" / "Sonarill" / "config.yaml";
}

std::string AudioRoutingViewModel::makeConfigYAML() const {
    return configText(false);
}

// The driver is not told of absent devices: it counts every enabled record as a bus.
std::string AudioRoutingViewModel::configText(bool withAbsentDevices) const {
    PersistedConfig config;
    for (const AudioDevice& device : allDevices_)
        config.devices.push_back(toPersisted(device));
    if (withAbsentDevices)
        config.devices.insert(config.devices.end(), absentDeviceRecords_.begin(),
                              absentDeviceRecords_.end());
    for (const auto& [key, route] : persistedAppRoutes_)
        config.appRoutes.push_back(route);
    return routing::makeConfigYAML(config);
}

void AudioRoutingViewModel::loadConfig() {
    const std::filesystem::path& path = environment_.configPath;
    std::error_code error;
    if (path.empty() || !std::filesystem::exists(path, error)) {
        log("loadConfig: no config file found at " + path.string());
        return;
    }
    const base::Expected<std::string> data = base::readFileBounded(path);
    if (!data) {
        log("loadConfig: ERROR reading config: " + path.string() + " " + data.error());
        configNeedsKeeping_ = true;
        return;
    }
    const base::Expected<PersistedConfig> config = decodePersistedConfig(*data);
    if (!config) {
        log("loadConfig: unsupported format at " + path.string() + ", keeping discovered defaults");
        log("loadConfig: " + config.error());
        configNeedsKeeping_ = true;
        return;
    }
    configNeedsKeeping_ = false;
    applyPersistedDevices(config->devices);
    persistedAppRoutes_.clear();
    for (const PersistedAppRoute& route : config->appRoutes)
        persistedAppRoutes_[route.bundleId] = {route.bundleId, route.deviceUid,
                                               limitVolume(route.volume)};
    log("loadConfig: loaded " + std::to_string(config->devices.size()) + " devices, " +
        std::to_string(config->appRoutes.size()) + " routes");
}

// The user's settings in a file this version cannot read are not saved over: the file moves
// aside first (a rename, since it cannot be read to be copied), beside any kept before.
bool AudioRoutingViewModel::keepUnreadableConfig() {
    const std::filesystem::path& path = environment_.configPath;
    std::error_code error;
    if (std::filesystem::symlink_status(path, error).type() ==
        std::filesystem::file_type::not_found) {
        configNeedsKeeping_ = false; // gone meanwhile: nothing left to lose
        return true;
    }
    // "config.yaml.unreadable", then ".unreadable.1" up to ".unreadable.9".
    const base::Expected<std::filesystem::path> kept = base::moveAside(path, ".unreadable", 10);
    if (!kept)
        return false;
    configNeedsKeeping_ = false;
    log("loadConfig: kept unreadable config as " + kept->string());
    return true;
}

void AudioRoutingViewModel::saveConfig() {
    const std::string yaml = configText(true);
    const std::filesystem::path& path = environment_.configPath;
    if (deviceListUnavailable_) {
        log("saveConfig: device list unavailable; file left unchanged");
    } else if (yaml.size() > base::kMaxTextFileSize) {
        // The next launch would refuse it and set it aside: the last readable file stays.
        log("saveConfig: ERROR writing config: " + path.string() + " would be " +
            std::to_string(yaml.size()) +
            " bytes, larger than the reader's limit; file left unchanged");
    } else if (configNeedsKeeping_ && !keepUnreadableConfig()) {
        log("saveConfig: ERROR could not keep unreadable config; file left unchanged");
    } else if (path.empty()) {
        log("saveConfig: ERROR writing config: no home folder");
    } else if (const base::Expected<void> written = base::writeFileAtomically(path, yaml);
               !written) {
        log("saveConfig: ERROR writing config: " + path.string() + " " + written.error());
    } else {
        log("saveConfig: wrote " + std::to_string(allDevices_.size()) + " devices, " +
            std::to_string(persistedAppRoutes_.size()) + " routes to " + path.string());
    }
    pushConfigToDriver(absentDeviceRecords_.empty() ? yaml : makeConfigYAML());
}

void AudioRoutingViewModel::pushConfigToDriver(const std::string& yaml) {
    const std::optional<AudioObjectID> device = audio::findDeviceByUID(virtualDeviceUID_);
    if (!device) {
        log("pushConfigToDriver: Sonarill device not visible yet");
        return;
    }
    const AudioObjectPropertyAddress address{routeConfigPropertySelector_,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const audio::ScopedCFString text = audio::makeCFString(yaml);
    CFStringRef reference = text.get();
    const OSStatus status =
        AudioObjectSetPropertyData(*device, &address, 0, nullptr, sizeof(reference), &reference);
    if (status != noErr) {
        log("pushConfigToDriver: ERROR setting route config property: " + std::to_string(status));
        return;
    }
    log("pushConfigToDriver: pushed " + std::to_string(yaml.size()) + " bytes");
}

} // namespace sonarill::routing
