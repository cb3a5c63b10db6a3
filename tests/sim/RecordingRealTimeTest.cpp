// A simulated device's recorder takes each period on the device's I/O thread: it must neither
// allocate, free nor lock there (see support/RealTimeCounting.h), or the simulation would glitch
// where the product does not. The file writer's thread does the rest.
#include "sim/Recording.h"
#include "support/RealTimeCounting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

using namespace sonarill::testing;

TEST(RecordingRealTimeSafety, PlayedNeitherAllocatesNorFreesNorLocks) {
    const auto folder = std::filesystem::path(::testing::TempDir()) / "recording-real-time";
    std::filesystem::create_directories(folder);
    sonarill::sim::DeviceRecorder recorder("Speakers", folder);
    const std::vector<float> block(512 * 2, 0.25f);
    realtime::resetCounts();
    {
        const realtime::Marked ioThread;
        for (int i = 0; i < 200; ++i)
            recorder.played(block.data(), 512);
    }
    const realtime::Counts counts = realtime::counts();
    EXPECT_EQ(counts.allocations + counts.frees + counts.lockCalls, 0);
    recorder.flush();
    EXPECT_EQ(recorder.recent(1).at(0), 0.25f) << "the periods were taken";
    std::filesystem::remove_all(folder);
}

} // namespace
