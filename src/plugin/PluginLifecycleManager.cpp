#include "plugin/PluginLifecycleManager.h"

#include "audio/DeviceLookup.h"
#include "log/DebugLog.h"
#include "platform/Paths.h"
#include "plugin/BundleFiles.h"
#include "plugin/InstallCommand.h"

#include <thread>

namespace sonarill::plugin {
namespace {

namespace fs = std::filesystem;
using DebugLog::log;

// The executable's folder and its 7 nearest ancestors.
constexpr int kExecutableFoldersSearched = 8;

std::string text(bool value) {
    return value ? "true" : "false";
}

std::optional<fs::path> canonicalIfExists(const fs::path& path) {
    std::error_code error;
    fs::path resolved = fs::canonical(path, error);
    if (error)
        return std::nullopt;
    return resolved;
}

} // namespace

InstallerClock InstallerClock::system() {
    return {[] { return std::chrono::steady_clock::now(); },
            [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }};
}

PluginInstallerEnvironment PluginInstallerEnvironment::system() {
    return {platform::systemPrivilegedShell(), platform::halPluginFolder().string(),
            pluginSourceFolders(platform::applicationResourcesFolder(),
                                platform::currentWorkingFolder(), platform::executableFolder()),
            InstallerClock::system()};
}

std::vector<fs::path> pluginSourceFolders(const std::optional<fs::path>& resources,
                                          const std::optional<fs::path>& workingFolder,
                                          const std::optional<fs::path>& executableFolder) {
    std::vector<fs::path> folders;
    if (resources)
        folders.push_back(*resources);
    if (workingFolder)
        folders.push_back(*workingFolder);
    if (!executableFolder)
        return folders;
    fs::path folder = executableFolder->lexically_normal();
    if (!folder.has_filename()) // "/a/b/" would otherwise count "/a/b" twice
        folder = folder.parent_path();
    for (int searched = 0; searched < kExecutableFoldersSearched; ++searched) {
        folders.push_back(folder);
        // Above the root there is nothing new to look at.
        if (folder.parent_path() == folder || folder.parent_path().empty())
            break;
        folder = folder.parent_path();
    }
    return folders;
}

PluginLifecycleManager::PluginLifecycleManager()
    : PluginLifecycleManager(PluginInstallerEnvironment::system()) {}

PluginLifecycleManager::PluginLifecycleManager(PluginInstallerEnvironment environment)
    : pluginUID(audio::kVirtualDeviceUID), installDir(std::move(environment.installDir)),
      routeConfigPropertySelector(audio::kRouteConfigPropertySelector),
      shell_(std::move(environment.shell)), sourceFolders_(std::move(environment.sourceFolders)),
      clock_(std::move(environment.clock)) {}

std::string PluginLifecycleManager::installPath() const {
    return installDir + "/" + pluginBundleName;
}

bool PluginLifecycleManager::installForSession() {
    if (installedThisSession_) {
        const bool visible = findVirtualDevice().has_value();
        log("PluginLifecycle: already handled this session, device visible=" + text(visible));
        return visible;
    }
    const std::optional<fs::path> source = locatePluginSource();
    if (!source) {
        log("PluginLifecycle: ERROR plugin source bundle not found (" + pluginBundleName + ")");
        return false;
    }
    const std::optional<AudioObjectID> device = findVirtualDevice();
    if (installedBundleMatches(installPath(), *source) && device &&
        liveDriverSupportsRouteConfig(*device)) {
        log("PluginLifecycle: plugin up-to-date and live driver supports route config "
            "\u2014 skipping reinstall");
        installedThisSession_ = true;
        return true;
    }
    log("PluginLifecycle: installing plugin from " + source->string());
    if (!runPrivilegedShell(installCommand(installDir, installPath(), source->string()))) {
        log("PluginLifecycle: ERROR failed to install plugin");
        return false;
    }
    installedThisSession_ = true;
    const bool visible = waitForVirtualDevice(kInstallWaitTimeout);
    log("PluginLifecycle: install complete, device visible=" + text(visible));
    return visible;
}

std::optional<fs::path> PluginLifecycleManager::locatePluginSource() const {
    for (const fs::path& folder : sourceFolders_) {
        // The copy takes a symbolic link as the link itself, and a relative one would dangle
        // once installed: the source is the real bundle the candidate leads to.
        const std::optional<fs::path> resolved = canonicalIfExists(folder / pluginBundleName);
        if (!resolved)
            continue;
        // The install removes the installed bundle before copying, which would destroy a
        // source inside it and leave no plug-in at all.
        if (isInsideInstalledBundle(*resolved))
            continue;
        return resolved;
    }
    return std::nullopt;
}

bool PluginLifecycleManager::isInsideInstalledBundle(const fs::path& candidate) const {
    const std::optional<fs::path> installed = canonicalIfExists(installPath());
    const std::optional<fs::path> resolved = canonicalIfExists(candidate);
    if (!installed || !resolved)
        return false;
    const fs::path relative = resolved->lexically_relative(*installed);
    return !relative.empty() && *relative.begin() != "..";
}

bool PluginLifecycleManager::installedBundleMatches(const fs::path& installedBundle,
                                                    const fs::path& source) const {
    const fs::path infoPlist = "Contents/Info.plist";
    const std::optional<std::string> installedIdentifier =
        bundleIdentifierInPlist(installedBundle / infoPlist);
    const std::optional<std::string> sourceIdentifier = bundleIdentifierInPlist(source / infoPlist);
    if (!installedIdentifier || !sourceIdentifier || *installedIdentifier != *sourceIdentifier)
        return false;
    const bool binaryMatch = filesHaveSameBytes(installedBundle / pluginExecutableRelativePath,
                                                source / pluginExecutableRelativePath);
    log("PluginLifecycle: bundleID=" + *installedIdentifier + " binaryMatch=" + text(binaryMatch));
    return binaryMatch;
}

bool PluginLifecycleManager::waitForVirtualDevice(std::chrono::milliseconds timeout) const {
    const auto deadline = clock_.now() + timeout;
    while (clock_.now() < deadline) {
        const std::optional<AudioObjectID> device = findVirtualDevice();
        if (device && liveDriverSupportsRouteConfig(*device))
            return true;
        clock_.sleepFor(kPollInterval);
    }
    const std::optional<AudioObjectID> device = findVirtualDevice();
    return device && liveDriverSupportsRouteConfig(*device);
}

bool PluginLifecycleManager::liveDriverSupportsRouteConfig(AudioObjectID deviceID) const {
    const AudioObjectPropertyAddress address{routeConfigPropertySelector,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const bool supported = AudioObjectHasProperty(deviceID, &address) != 0;
    log("PluginLifecycle: live route config property supported=" + text(supported));
    return supported;
}

bool PluginLifecycleManager::runPrivilegedShell(const std::string& command) const {
    if (!shell_) {
        log("PluginLifecycle: ERROR failed to create AppleScript");
        return false;
    }
    const platform::PrivilegedShellResult result = shell_->run(privilegedShellScript(command));
    switch (result.outcome) {
    case platform::PrivilegedShellResult::Outcome::Succeeded:
        return true;
    case platform::PrivilegedShellResult::Outcome::NotCreated:
        log("PluginLifecycle: ERROR failed to create AppleScript");
        return false;
    case platform::PrivilegedShellResult::Outcome::Failed:
        break;
    }
    log("PluginLifecycle: privileged command failed: " + result.errorDescription);
    return false;
}

std::optional<AudioObjectID> PluginLifecycleManager::findVirtualDevice() const {
    return audio::findDeviceByUID(pluginUID);
}

} // namespace sonarill::plugin
