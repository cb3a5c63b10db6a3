#pragma once

#include "audio/CoreAudioAPI.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "routing/Records.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sonarill::forwarder {
class AudioForwarder;
}

// The whole routing of Sonarill, without a window: which devices are in use, which application
// plays where and how loud. It takes over the system output at start, follows applications and
// devices, saves and pushes the configuration after every change and drives the forwarder. Main
// thread only; other threads reach it through the main queue.
namespace sonarill::routing {

// <home>/Library/Application Support/Sonarill/config.yaml; absent without a home folder.
std::optional<std::filesystem::path> defaultConfigPath();

class AudioRoutingViewModel : public std::enable_shared_from_this<AudioRoutingViewModel> {
    struct ObserverList;
    struct ListenerContext;

public:
    struct Environment {
        platform::MainQueue& mainQueue;
        forwarder::AudioForwarder& forwarder;
        platform::NotificationCenter& notifications;
        // Empty: the model has no file; saving only pushes to the driver.
        std::filesystem::path configPath;
        // The default output recorded at launch, to give back at quit; empty when none was read.
        // The model then records the one it finds right before taking the output over, and hands
        // it to `recordOriginalOutput` (the quit, the state file and the guard keep it).
        std::optional<std::string> originalOutputUID = std::nullopt;
        std::function<void(const std::string& uid)> recordOriginalOutput = {};
    };

    // An observation of allDevices and routedApps; destroying it ends it.
    class [[nodiscard]] Observation {
    public:
        Observation() = default;
        Observation(Observation&&) noexcept = default;
        Observation& operator=(Observation&& other) noexcept;
        Observation(const Observation&) = delete;
        Observation& operator=(const Observation&) = delete;
        ~Observation() { cancel(); }
        void cancel();

    private:
        friend class AudioRoutingViewModel;
        Observation(std::weak_ptr<ObserverList> list, uint64_t id)
            : list_(std::move(list)), id_(id) {}
        std::weak_ptr<ObserverList> list_;
        uint64_t id_ = 0;
    };

    // Creates the model and runs its whole start-up.
    static std::shared_ptr<AudioRoutingViewModel> create(Environment environment);
    // Stops the timer, the device-list listener and the reset observer.
    ~AudioRoutingViewModel();
    AudioRoutingViewModel(const AudioRoutingViewModel&) = delete;
    AudioRoutingViewModel& operator=(const AudioRoutingViewModel&) = delete;

    // Published state. Observers run before each change of either list; they may read the model
    // but not change it (operations called from inside an observer are ignored).
    const std::vector<AudioDevice>& allDevices() const { return allDevices_; }
    const std::vector<RoutedApp>& routedApps() const { return routedApps_; }
    Observation observeWillChange(std::function<void()> observer);

    // Enabled devices by sortOrder; a device's position is its input bus.
    std::vector<AudioDevice> activeDevices() const;
    // Active devices with at least one running application routed to them.
    std::vector<AudioDevice> usedDevices() const;
    // Everything else, in device order.
    std::vector<AudioDevice> unusedDevices() const;
    std::vector<RoutedApp> apps(const std::string& routedTo) const;

    // The user's operations.
    void setVolume(const std::string& bundleId, float volume);
    void setMasterVolume(const std::string& deviceUID, float volume);
    void setCustomName(const std::string& deviceUID, std::optional<std::string> customName);
    bool canRemoveOutputDevice(const std::string& uid) const;
    // False when the device is listed, disabled, and every input pair of the virtual device
    // already carries an active device: enabling it is refused.
    bool canEnableOutputDevice(const std::string& uid) const;
    // The virtual device's input pairs as last read: at most that many devices are active.
    std::optional<size_t> inputPairCount() const { return inputPairCount_; }
    void switchToOnlyDevice(const std::string& uid);
    void removeOutputDevice(const std::string& uid);
    void setDeviceEnabled(const std::string& uid, bool enabled);
    void moveApp(const std::string& bundleId, const std::string& toDeviceUID);

    // What the timer, the device-list listener and the reset notification run.
    void refreshRunningApps();
    void handleDeviceListChanged();
    void resetConfigurationToDefaults();

    const std::map<std::string, PersistedAppRoute>& persistedAppRoutes() const {
        return persistedAppRoutes_;
    }
    const std::optional<std::string>& startupOutputUID() const { return startupOutputUID_; }
    const std::filesystem::path& configPath() const { return environment_.configPath; }
    // The configuration text of the current state: the file's content and the driver's payload.
    std::string makeConfigYAML() const;

    // The route key of a bundle identifier: the browser's audio group shares one.
    static std::string routeKey(const std::string& bundleId);
    static bool isChromeAudioGroupMember(const std::string& bundleId);

private:
    // Start-up and the takeover of the system output (ModelStartup.cpp).
    enum class Takeover { complete, outputOnly, failed };

    explicit AudioRoutingViewModel(Environment environment);
    void start();
    void takeOverSystemOutput();
    bool knowsOutputToGiveBack();
    void finishDelayedStart();
    void applyStartupOutputPreference();
    Takeover setSonarillAsDefault();

    // The device list (ModelDevices.cpp).
    bool loadOutputDevices();
    std::optional<AudioDevice> probeDevice(AudioObjectID id, std::set<std::string>& seenUIDs,
                                           int64_t& nextSortOrder) const;
    void applyPersistedDevices(const std::vector<PersistedDevice>& records);
    void normalizeDeviceOrdering(const std::optional<std::string>& preferredFirstUID);
    std::set<std::string> routedDeviceUIDs() const;
    std::string defaultRouteUID() const;
    AudioDevice* findDevice(const std::string& uid);
    bool hasDevice(const std::string& uid) const;
    int64_t nextActiveSortOrder() const;
    bool enableDeviceForRouting(const std::string& uid);
    void readInputPairCount();
    void limitActiveDevices();
    void applyAbsentDeviceRecord(const std::string& uid);
    bool refuseEnabling(const std::string& operation, const std::string& uid);

    // Applications and their routes (ModelApps.cpp).
    struct RegularApp {
        std::string bundleId;
        std::string name;
        std::optional<std::string> icon;
    };
    std::vector<RegularApp> regularApps() const;
    RoutedApp makeRoutedApp(const RegularApp& app, const std::string& key,
                            const std::string& defaultUID) const;
    void discoverAudioApps();
    std::optional<PersistedAppRoute> persistedRoute(const std::string& key,
                                                    const std::string& defaultDeviceUID) const;
    std::string resolveDeviceUID(const std::string& requested, const std::string& fallback) const;
    void persistVisibleRoute(const std::string& bundleId, const std::string& deviceUID,
                             float volume);
    std::optional<PersistedAppRoute>
    preferredChromeSharedRoute(const std::string& defaultDeviceUID) const;
    void removeChromeAudioGroupRoutes();
    void normalizeSharedAudioGroupRoutes();
    void startAppDiscoveryTimer();

    // What the user's operations share (ModelOperations.cpp).
    RoutedApp* findApp(const std::string& bundleId);
    void repointApps(const std::function<bool(const RoutedApp&)>& matches, const std::string& uid,
                     std::optional<float> resetVolume = std::nullopt);

    // The forwarder's routes (ModelForwarderSync.cpp).
    bool syncForwarder();

    // Loading and saving (ModelPersistence.cpp).
    std::string configText(bool withAbsentDevices) const;
    void loadConfig();
    void saveConfig();
    void pushConfigToDriver(const std::string& yaml);
    bool keepUnreadableConfig();

    // Device arrival and departure (ModelDeviceChanges.cpp).
    void registerDeviceChangeListener();
    void unregisterDeviceChangeListener();
    void rememberDeviceIDs(const std::vector<AudioObjectID>& ids);
    void restartReappearedDevices(const std::vector<AudioObjectID>& ids);
    void finishPendingTakeover();
    void handleDefaultOutputChanged();
    void retakeSystemOutput();

    // The reset (ModelReset.cpp).
    void observeResetConfigNotifications();

    // Publishing (ModelObservers.cpp).
    void willChange();
    void setAllDevices(std::vector<AudioDevice> devices);
    bool isNotifying() const;

    Environment environment_;
    std::vector<AudioDevice> allDevices_;
    std::vector<RoutedApp> routedApps_;
    std::string virtualDeviceUID_;
    std::optional<std::string> startupOutputUID_;
    platform::Timer appDiscoveryTimer_;
    platform::NotificationCenter::Observer resetConfigObserver_;
    std::map<std::string, PersistedAppRoute> persistedAppRoutes_;
    std::shared_ptr<ListenerContext> deviceChangeListener_;
    AudioObjectPropertySelector routeConfigPropertySelector_;
    std::shared_ptr<ObserverList> observers_;

    // The device ID each active device had when last seen, to notice a device that came back
    // under the same UID with a new ID between two device-list events.
    std::map<std::string, AudioObjectID> lastSeenDeviceIDs_;
    // A configuration file that could not be read or decoded must be kept aside before the first
    // save replaces it.
    bool configNeedsKeeping_ = false;
    // The file's records of devices not attached since launch, in file order: written back
    // unchanged after the others, and applied when the device is plugged in.
    std::vector<PersistedDevice> absentDeviceRecords_;
    // Kept from the last reading: the virtual device may be away for a while.
    std::optional<size_t> inputPairCount_;
    // The output was taken over at start: the forwarder is meant to run.
    bool isForwarding_ = false;
    // The takeover waits: for a default output to record (retried at each device-list change), or
    // for a virtual device that was missing at start (done once, when it appears).
    bool awaitingOriginalOutput_ = false;
    bool awaitingVirtualDevice_ = false;
    // The virtual device as the model last made it the default, and what became of the default
    // since: a device the system fell back to when the virtual device went is taken back when it
    // returns; one the user picked is left.
    AudioObjectID heldVirtualDeviceID_ = kAudioObjectUnknown;
    std::optional<std::string> fallbackOutputUID_;
    bool outputPickedByUser_ = false;
    // The device list could not be read at start: the file is not replaced until a device-list
    // change starts the model normally.
    bool deviceListUnavailable_ = false;
};

} // namespace sonarill::routing
