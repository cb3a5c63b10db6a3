// The forwarder on the real-time clock, each unit on its own I/O thread, while the main thread
// changes volumes and routes: ThreadSanitizer's view of the ring, the volume and the pipelines'
// lives.

#include "forwarder/AudioForwarder.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using namespace std::chrono_literals;
using forwarder::AudioForwarder;

TEST(ForwardingInRealTime, VolumeAndRouteChangesWhileAudioRuns) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::realTime);
    const std::string speakers = kSpeakersUID, hdmi = kHDMIUID, headset = kHeadsetUID;
    pushRouteText(routeText({speakers, hdmi, headset}, {{"com.apple.Music", speakers},
                                                        {"com.apple.podcasts", hdmi},
                                                        {"com.google.Chrome", headset}}));
    AudioForwarder forwarder;
    ASSERT_TRUE(forwarder.setOutputRoutes({{speakers, 0, 1.0f}, {hdmi, 1, 1.0f}}));
    const UInt64 startFrames = sim::framesPlayed(speakers);
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    for (int step = 0; std::chrono::steady_clock::now() < end; ++step) {
        const float volume = float(step % 10) / 10.0f;
        // Every 20th step starts, stops and moves pipelines while the others keep running.
        std::vector<forwarder::OutputRoute> routes{{speakers, 0, volume}, {hdmi, 1, volume}};
        if (step % 20 == 9)
            routes = {{speakers, 0, volume}, {hdmi, 2, volume}, {headset, 1, volume}};
        ASSERT_TRUE(forwarder.setOutputRoutes(routes));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(sim::framesPlayed(speakers), startFrames + 48000) << "the speakers kept playing";
    EXPECT_GT(sim::framesPlayed(hdmi), UInt64(48000));
    forwarder.stop();
    EXPECT_EQ(bufferFrameSize(hdmi), 1024u);
}

} // namespace
