// What a simulated physical device does in each of its cycles runs on the device's I/O thread: it
// must neither allocate, free nor lock there (see support/RealTimeCounting.h), or the simulation
// would glitch where the product does not. The recorder's file writer's thread does the rest.
#include "sim/Io.h"
#include "sim/Recording.h"
#include "support/RealTimeCounting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

namespace {

using namespace sonarill::testing;
namespace io = sonarill::sim::io;

// One row per path of a device's cycle: `period` runs 200 times on a marked thread, then
// `tookEffect` says whether the periods did what they are for.
struct Path {
    const char* name;
    std::function<void()> period;
    std::function<bool()> tookEffect;
};

TEST(DeviceCycleRealTimeSafety, EachPathNeitherAllocatesNorFreesNorLocks) {
    const auto folder = std::filesystem::path(::testing::TempDir()) / "recording-real-time";
    std::filesystem::create_directories(folder);
    sonarill::sim::DeviceRecorder recorder("Speakers", folder);
    const std::vector<float> block(512 * 2, 0.25f);

    const std::vector<io::Tone> tones = {{440.0, 0.5}, {550.0, 0.25}};
    std::vector<float> mix(512 * 2), scratch(512 * 2), expected(512 * 2, 0.125f), tone(512 * 2);
    for (const io::Tone& t : tones) {
        io::writeTone(t, 512.0, 512, tone.data());
        for (size_t k = 0; k < expected.size(); ++k)
            expected[k] += tone[k];
    }

    const Path paths[] = {
        {"the recorder takes a period", [&] { recorder.played(block.data(), 512); },
         [&] {
             recorder.flush();
             return recorder.recent(1).at(0) == 0.25f;
         }},
        {"the applications' tones are added to what the device's outputs played",
         [&] {
             std::fill(mix.begin(), mix.end(), 0.125f);
             io::addTones(tones, 512.0, 512, scratch.data(), mix.data());
         },
         [&] { return mix == expected; }},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        realtime::resetCounts();
        {
            const realtime::Marked ioThread;
            for (int i = 0; i < 200; ++i)
                path.period();
        }
        const realtime::Counts counts = realtime::counts();
        EXPECT_EQ(counts.allocations + counts.frees + counts.lockCalls, 0);
        EXPECT_TRUE(path.tookEffect());
    }
    std::filesystem::remove_all(folder);
}

} // namespace
