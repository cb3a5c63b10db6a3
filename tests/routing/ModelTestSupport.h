#pragma once

#include "forwarder/AudioForwarder.h"
#include "platform/ManualMainQueue.h"
#include "platform/NotificationCenter.h"
#include "routing/AudioRoutingViewModel.h"
#include "routing/ConfigText.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/Scratch.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

// The routing model on the simulated audio system, driven by a manual main queue and the
// simulation's manual clock.
namespace sonarill::testing {

inline const std::string kSpeakersUid = kSpeakersUID;
inline const std::string kHeadsetUid = kHeadsetUID;
inline const std::string kHDMIUid = kHDMIUID;
inline const std::string kVirtual = "Sonarill_OutputDevice";
inline const std::string kMusic = "com.apple.Music";
inline const std::string kPodcasts = "com.apple.podcasts";
inline const std::string kChrome = "com.google.Chrome";

std::vector<std::string> uids(const std::vector<routing::AudioDevice>& devices);

class ModelTest : public ::testing::Test {
protected:
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
    std::string configText() const;
    void writeConfig(const std::string& text) const;
    void writeConfig(const routing::PersistedConfig& config) const {
        writeConfig(routing::makeConfigYAML(config));
    }

    // The amplitude of a tone in the last tenth of a second a device played, after half a second
    // more of playing.
    double heard(const std::string& uid, double hz) {
        sim::advanceTimeline(0.5);
        return amplitudeAt(sim::recentlyPlayed(uid, 4800), 0, hz);
    }

    const routing::RoutedApp* app(const std::string& bundleId) const;
    const routing::AudioDevice* device(const std::string& uid) const;

    ScopedSimWorld world_;
    ScratchFolder folder_;
    platform::ManualMainQueue queue;
    platform::NotificationCenter notifications;
    forwarder::AudioForwarder forwarder;
    std::shared_ptr<routing::AudioRoutingViewModel> model;
};

} // namespace sonarill::testing
