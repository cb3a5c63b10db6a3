#pragma once

#include "forwarder/AudioForwarder.h"
#include "platform/ManualMainQueue.h"
#include "platform/NotificationCenter.h"
#include "routing/AudioRoutingViewModel.h"
#include "routing/ConfigText.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/FileBytes.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/Scratch.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

// The routing model with its forwarder on the simulated audio system, driven by a manual main
// queue and the simulation's manual clock; its log lands in the test program's own home.
namespace sonarill::testing {

inline const auto* const modelHome = addScratchHome();
inline const std::string kSpeakersUid = kSpeakersUID, kHeadsetUid = kHeadsetUID,
                         kHDMIUid = kHDMIUID, kVirtual = "Sonarill_OutputDevice",
                         kMusic = "com.apple.Music", kPodcasts = "com.apple.podcasts";

inline std::vector<std::string> uids(const std::vector<routing::AudioDevice>& devices) {
    std::vector<std::string> result;
    for (const auto& device : devices)
        result.push_back(device.uid);
    return result;
}

class ModelTest : public ::testing::Test {
public: // open to the rows of scenario tables
    explicit ModelTest(sim::World world = worldWithDriver())
        : world_(std::move(world), sim::TimelineClock::manual) {}
    void TearDown() override {
        model.reset();
        forwarder.stop();
    }

    std::shared_ptr<routing::AudioRoutingViewModel> start() {
        model =
            routing::AudioRoutingViewModel::create({queue, forwarder, notifications, configPath()});
        settle();
        return model;
    }
    // Lets listener calls reach the queue and runs what they posted.
    void settle() {
        sim::waitForNotifications();
        queue.runPending();
    }
    void tick() {
        queue.advance(std::chrono::seconds(3));
        settle();
    }

    std::filesystem::path configPath() const { return folder_.path() / "Sonarill" / "config.yaml"; }
    void writeConfig(const std::string& text) const { writeBytes(configPath(), text); }

    // The amplitude of a tone in the last tenth of a second a device played, after half a second
    // more of playing.
    double heard(const std::string& uid, double hz) {
        sim::advanceTimeline(0.5);
        return amplitudeAt(sim::recentlyPlayed(uid, 4800), 0, hz);
    }

    const routing::RoutedApp* app(const std::string& bundleId) const {
        const auto& all = model->routedApps();
        const auto found = std::find_if(all.begin(), all.end(),
                                        [&](const auto& a) { return a.bundleId == bundleId; });
        return found == all.end() ? nullptr : &*found;
    }
    const routing::AudioDevice* device(const std::string& uid) const {
        const auto& all = model->allDevices();
        const auto found =
            std::find_if(all.begin(), all.end(), [&](const auto& d) { return d.uid == uid; });
        return found == all.end() ? nullptr : &*found;
    }

    ScopedSimWorld world_;
    ScratchFolder folder_;
    platform::ManualMainQueue queue;
    platform::NotificationCenter notifications;
    forwarder::AudioForwarder forwarder;
    std::shared_ptr<routing::AudioRoutingViewModel> model;
};

} // namespace sonarill::testing
