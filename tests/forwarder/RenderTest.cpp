// The ring buffer and the render callback on their own, driven period by period: what the
// device plays while priming, on underrun, on overflow, at each volume, in each buffer layout.

#include "forwarder/Callbacks.h"
#include "forwarder/StereoRingBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

namespace {

using namespace sonarill::forwarder;

const float nan = std::numeric_limits<float>::quiet_NaN();

std::vector<float> ramp(int64_t count, float from) {
    std::vector<float> samples(size_t(count), 0.0f);
    std::iota(samples.begin(), samples.end(), from);
    return samples;
}

// `count` samples read from the ring, of which `taken` were there.
std::vector<float> take(StereoRingBuffer& ring, int64_t count, int64_t taken) {
    std::vector<float> out(size_t(count) + 1, -1.0f);
    EXPECT_EQ(ring.read(out.data(), count), taken);
    EXPECT_EQ(out.back(), -1.0f) << "nothing past the count";
    out.pop_back();
    return out;
}

struct Output {
    std::unique_ptr<StereoRingBuffer> ring = std::make_unique<StereoRingBuffer>();
    OutputRenderContext ctx{*ring, 1.0f};

    // One period into one interleaved stereo buffer; the samples played.
    std::vector<float> render(UInt32 frames) {
        std::vector<float> out(size_t(frames) * 2, -7.0f);
        AudioBufferList list{1, {{2, frames * 8, out.data()}}};
        EXPECT_EQ(outputRenderCallback(&ctx, nullptr, nullptr, 0, frames, &list), noErr);
        return out;
    }
    void fill(int64_t samples) {
        ring->write(std::vector<float>(size_t(samples), 0.5f).data(), samples);
    }
};

bool allZero(const std::vector<float>& samples) {
    return std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.0f; });
}

// Each row: two writes (ramps from 0 and from 100000) and the oldest sample kept.
TEST(StereoRingBuffer, OverflowKeepsTheNewestSamples) {
    struct Row {
        int64_t first, second;
        float oldest;
    };
    for (const Row row : {Row{40000, 0, 7232.0f}, Row{32000, 1000, 232.0f}}) {
        StereoRingBuffer ring;
        ring.write(ramp(row.first, 0.0f).data(), row.first);
        ring.write(ramp(row.second, 100000.0f).data(), row.second);
        EXPECT_EQ(ring.available(), 32768);
        EXPECT_EQ(take(ring, 2, 2), (std::vector<float>{row.oldest, row.oldest + 1}));
    }
    EXPECT_EQ(StereoRingBuffer().read(nullptr, 0), 0);
}

// Two periods of stereo frames or 4096 samples, and never more than the ring holds: a period
// above 8192 frames would otherwise wait for more than the ring can ever hold.
TEST(OutputRender, PlaysSilenceUntilPrimedThenUnprimesOnUnderrun) {
    struct Row {
        UInt32 frames;
        int64_t threshold;
    };
    for (const Row row : {Row{512, 4096}, Row{1024, 4096}, Row{2048, 8192}, Row{16384, 32768},
                          Row{std::numeric_limits<UInt32>::max(), 32768}}) {
        SCOPED_TRACE(row.frames);
        EXPECT_EQ(primingThreshold(row.frames), row.threshold);
        if (row.frames > 16384)
            continue;
        Output output;
        output.fill(row.threshold - 2);
        EXPECT_TRUE(allZero(output.render(row.frames))) << "one frame short of the threshold";
        EXPECT_EQ(output.ring->available(), row.threshold - 2) << "priming consumes nothing";
        output.fill(2);
        EXPECT_EQ(output.render(row.frames).front(), 0.5f);
        EXPECT_TRUE(output.ctx.isPrimed);
    }

    Output output;
    output.fill(4096 + 100);
    for (int period = 0; period < 4; ++period)
        output.render(512); // primes on the first; 4 x 1024 samples read leave 100
    const std::vector<float> shortPeriod = output.render(512);
    EXPECT_EQ(shortPeriod[99], 0.5f);
    EXPECT_EQ(shortPeriod[100], 0.0f) << "what was there, then silence";
    EXPECT_FALSE(output.ctx.isPrimed);
    output.fill(2000);
    EXPECT_TRUE(allZero(output.render(512))) << "buffered, but below the threshold again";
    EXPECT_EQ(output.ring->available(), 2000);
}

// Each row: the volume and what a sample of 0.5 plays as.
TEST(OutputRender, AppliesTheVolumeReadOncePerPeriod) {
    struct Row {
        float volume, played;
    };
    // Around the unity floor: at it the samples pass untouched, one step below they are scaled.
    for (const Row row : {Row{0.0f, 0.0f}, Row{nan, 0.0f}, Row{0.5f, 0.25f}, Row{0.99999988f, 0.5f},
                          Row{0.9999998f, 0.5f * 0.9999998f}, Row{2.0f, 0.5f}}) {
        SCOPED_TRACE(row.volume);
        Output output;
        output.ctx.volume = row.volume;
        output.fill(8192);
        const std::vector<float> played = output.render(512);
        EXPECT_EQ(played.front(), row.played);
        EXPECT_EQ(played.back(), row.played);
        EXPECT_EQ(output.ring->available(), 8192 - 1024) << "silence still drains the ring";
    }
}

TEST(OutputRender, FillsTwoMonoBuffersAndSilencesOtherLayoutsWithinTheirSizes) {
    Output output;
    output.ring->write(ramp(8192, 1.0f).data(), 8192);
    output.ctx.volume = 0.5f;

    // Two mono buffers, the right one shorter: only the frames both hold, the rest untouched.
    constexpr UInt32 kFrames = 512;
    std::vector<float> left(kFrames + 4, -7.0f), right(kFrames + 4, -7.0f);
    alignas(AudioBufferList) std::byte storage[sizeof(AudioBufferList) + sizeof(AudioBuffer)] = {};
    auto* list = reinterpret_cast<AudioBufferList*>(storage);
    auto* buffers = reinterpret_cast<AudioBuffer*>(storage + offsetof(AudioBufferList, mBuffers));
    list->mNumberBuffers = 2;
    buffers[0] = {1, kFrames * 4, left.data()};
    buffers[1] = {1, (kFrames - 12) * 4, right.data()};
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, kFrames, list), noErr);
    EXPECT_EQ(left[0], 0.5f);
    EXPECT_EQ(right[0], 1.0f);
    EXPECT_EQ(left[kFrames - 13], 0.5f * float(2 * (kFrames - 13) + 1));
    EXPECT_EQ(right[kFrames - 13], 0.5f * float(2 * (kFrames - 13) + 2));
    EXPECT_EQ(left[kFrames - 12], -7.0f);
    EXPECT_EQ(right[kFrames - 12], -7.0f);

    // Three buffers: silence, each within its own size.
    list->mNumberBuffers = 1;
    std::vector<float> six(kFrames * 6 + 4, -7.0f);
    buffers[0] = {6, kFrames * 24, six.data()};
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, kFrames, list), noErr);
    EXPECT_EQ(six[kFrames * 6 - 1], 0.0f);
    EXPECT_EQ(six[kFrames * 6], -7.0f);

    // One interleaved buffer too small for the period: whole frames only, nothing past it.
    std::vector<float> small(kFrames * 2, -7.0f);
    buffers[0] = {2, 1003 * 4, small.data()}; // 501.5 frames
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, kFrames, list), noErr);
    EXPECT_NE(small[1001], -7.0f);
    EXPECT_EQ(small[1002], -7.0f) << "half a frame is not written";

    // No list is a parameter error; a buffer without data gets nothing and takes nothing.
    const int64_t buffered = output.ring->available();
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, kFrames, nullptr), -50);
    buffers[0] = {2, kFrames * 8, nullptr};
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, kFrames, list), noErr);
    EXPECT_EQ(output.ring->available(), buffered);
}

} // namespace
