#pragma once

#include "audio/CoreAudioAPI.h"
#include "platform/PrivilegedShell.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonarill::plugin {

// Time as the installer sees it. The application's is the steady clock and a real sleep; tests
// bring their own so that waiting for the device takes no real seconds.
struct InstallerClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::chrono::milliseconds)> sleepFor;

    static InstallerClock system();
};

// Everything the installer takes from the world outside the audio system.
struct PluginInstallerEnvironment {
    std::shared_ptr<platform::PrivilegedShell> shell;
    std::string installDir;                           // the HAL plug-in folder
    std::vector<std::filesystem::path> sourceFolders; // searched in order for the carried bundle
    InstallerClock clock;

    // The application's: the platform's privileged shell and plug-in folder, and the folders
    // of pluginSourceFolders for this process.
    static PluginInstallerEnvironment system();
};

// The folders that may hold the carried bundle, in the order they are tried: the application's
// resources, the current working folder, then the executable's folder and its 7 nearest
// ancestors (fewer when the root comes first). Absent folders are left out.
std::vector<std::filesystem::path>
pluginSourceFolders(const std::optional<std::filesystem::path>& resources,
                    const std::optional<std::filesystem::path>& workingFolder,
                    const std::optional<std::filesystem::path>& executableFolder);

// Makes sure, once per run, that the virtual output device's HAL plug-in is installed, current
// and loaded: when it is not, copies the carried bundle into the plug-in folder with
// administrator rights, restarts the audio server and waits for the device. Runs on the main
// thread; blocks while the user answers the password prompt and while it waits.
class PluginLifecycleManager {
public:
    static constexpr std::chrono::milliseconds kInstallWaitTimeout{8000};
    static constexpr std::chrono::milliseconds kPollInterval{200};

    PluginLifecycleManager(); // the application's, on PluginInstallerEnvironment::system()
    explicit PluginLifecycleManager(PluginInstallerEnvironment environment);

    const std::string pluginBundleName = "Sonarill.driver";
    const std::string pluginUID;
    const std::string installDir;
    const std::string pluginExecutableRelativePath = "Contents/MacOS/libtidewell.dylib";
    const AudioObjectPropertySelector routeConfigPropertySelector;

    // False at start; true once this run has found the plug-in current or installed it.
    bool installedThisSession() const { return installedThisSession_; }

    // installDir + "/" + pluginBundleName.
    std::string installPath() const;

    // Whether the virtual device is ready: present, and after a check or an install also with
    // the route configuration property. Every outcome is logged; nothing is rolled back.
    bool installForSession();

    // The steps of installForSession, public so that each can be checked on its own.
    std::optional<std::filesystem::path> locatePluginSource() const;
    bool installedBundleMatches(const std::filesystem::path& installedBundle,
                                const std::filesystem::path& source) const;
    bool waitForVirtualDevice(std::chrono::milliseconds timeout) const;
    bool liveDriverSupportsRouteConfig(AudioObjectID deviceID) const;
    bool runPrivilegedShell(const std::string& command) const;

private:
    std::optional<AudioObjectID> findVirtualDevice() const;
    bool isInsideInstalledBundle(const std::filesystem::path& candidate) const;

    bool installedThisSession_ = false;
    std::shared_ptr<platform::PrivilegedShell> shell_;
    std::vector<std::filesystem::path> sourceFolders_;
    InstallerClock clock_;
};

} // namespace sonarill::plugin
