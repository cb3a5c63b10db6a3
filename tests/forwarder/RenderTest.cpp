// The ring buffer and the render callback on their own, driven period by period: what the
// device plays while priming, on underrun, on overflow, at each volume, in each buffer layout.

#include "forwarder/AudioForwarder.h"
#include "forwarder/Callbacks.h"
#include "forwarder/StereoRingBuffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

namespace {

using namespace sonarill::forwarder;

std::vector<float> ramp(int64_t count, float from = 1.0f) {
    std::vector<float> samples(size_t(count), 0.0f);
    std::iota(samples.begin(), samples.end(), from);
    return samples;
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
    for (float s : samples) {
        if (s != 0.0f)
            return false;
    }
    return true;
}

TEST(StereoRingBuffer, OverflowKeepsTheNewestSamples) {
    StereoRingBuffer ring;
    const std::vector<float> source = ramp(40000, 0.0f);
    ring.write(source.data(), 40000);
    EXPECT_EQ(ring.available(), 32768);
    std::vector<float> out(4);
    EXPECT_EQ(ring.read(out.data(), 4), 4);
    EXPECT_EQ(out[0], 7232.0f);
    EXPECT_EQ(out[3], 7235.0f);

    StereoRingBuffer nearlyFull;
    const std::vector<float> first = ramp(32000, 0.0f);
    nearlyFull.write(first.data(), 32000);
    const std::vector<float> more = ramp(1000, 100000.0f);
    nearlyFull.write(more.data(), 1000);
    EXPECT_EQ(nearlyFull.available(), 32768);
    EXPECT_EQ(nearlyFull.read(out.data(), 1), 1);
    EXPECT_EQ(out[0], 232.0f) << "the 232 oldest samples made room";
}

TEST(StereoRingBuffer, ReadsFillTheShortfallWithSilenceAndWrapAround) {
    StereoRingBuffer ring;
    std::vector<float> out(8, -1.0f);
    EXPECT_EQ(ring.read(out.data(), 0), 0);
    EXPECT_EQ(out[0], -1.0f) << "count 0 touches nothing";
    ring.write(nullptr, 0);
    EXPECT_EQ(ring.available(), 0);

    // Move the positions close to the end, then write across it.
    std::vector<float> big(32760, 0.0f);
    ring.write(big.data(), 32760);
    EXPECT_EQ(ring.read(big.data(), 32760), 32760);
    const std::vector<float> source = ramp(6);
    ring.write(source.data(), 6);
    EXPECT_EQ(ring.read(out.data(), 8), 6);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(ring.available(), 0);
}

TEST(OutputRender, PlaysSilenceUntilPrimedThenUnprimesOnUnderrun) {
    struct Case {
        UInt32 frames;
        int64_t threshold;
    };
    // Two periods of stereo frames or 4096 samples, and never more than the ring holds: a
    // period above 8192 frames would otherwise wait for more than the ring can ever hold.
    for (const Case c : {Case{512, 4096}, Case{1024, 4096}, Case{2048, 8192}, Case{16384, 32768}}) {
        SCOPED_TRACE(c.frames);
        EXPECT_EQ(primingThreshold(c.frames), c.threshold);
        Output output;
        output.fill(c.threshold - 2);
        EXPECT_TRUE(allZero(output.render(c.frames))) << "one frame short of the threshold";
        EXPECT_EQ(output.ring->available(), c.threshold - 2) << "priming consumes nothing";
        output.fill(2);
        const std::vector<float> played = output.render(c.frames);
        EXPECT_EQ(played.front(), 0.5f);
        EXPECT_TRUE(output.ctx.isPrimed);
    }
    EXPECT_EQ(primingThreshold(std::numeric_limits<UInt32>::max()), StereoRingBuffer::kCapacity);

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

TEST(OutputRender, AppliesTheVolumeReadOncePerPeriod) {
    struct Case {
        float volume;
        float expected; // for a sample of 0.5
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case c : {Case{0.0f, 0.0f}, Case{-1.0f, 0.0f}, Case{nan, 0.0f}, Case{0.5f, 0.25f},
                         Case{1.0f, 0.5f}, Case{0.99999994f, 0.5f}, Case{0.99999988f, 0.5f},
                         Case{0.9999998f, 0.5f * 0.9999998f}, Case{2.0f, 0.5f}}) {
        SCOPED_TRACE(c.volume);
        Output output;
        output.ctx.volume = c.volume;
        output.fill(8192);
        const std::vector<float> played = output.render(512);
        EXPECT_EQ(played.front(), c.expected);
        EXPECT_EQ(played.back(), c.expected);
        EXPECT_EQ(output.ring->available(), 8192 - 1024) << "silence still drains the ring";
    }
}

TEST(OutputRender, FillsTwoMonoBuffersAndSilencesOtherLayoutsWithinTheirSizes) {
    Output output;
    const std::vector<float> source = ramp(8192);
    output.ring->write(source.data(), 8192);
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
}

TEST(OutputRender, AnswersAMissingListWithAParameterErrorAndMissingDataWithNothing) {
    Output output;
    output.fill(8192);
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, 512, nullptr), -50);
    AudioBufferList list{1, {{2, 4096, nullptr}}};
    EXPECT_EQ(outputRenderCallback(&output.ctx, nullptr, nullptr, 0, 512, &list), noErr);
    EXPECT_EQ(output.ring->available(), 8192);
}

TEST(Normalize, DropsEmptyAndRepeatedUIDsAndClampsBusAndVolume) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<OutputRoute> routes = AudioForwarder::normalize({{"", 0, 1.0f},
                                                                       {"a", -3, 1.5f},
                                                                       {"b", 2, -0.2f},
                                                                       {"a", 1, 0.5f},
                                                                       {"c", 1, nan},
                                                                       {"d", 4, 0.25f}});
    EXPECT_EQ(routes, (std::vector<OutputRoute>{
                          {"a", 0, 1.0f}, {"b", 2, 0.0f}, {"c", 1, 0.0f}, {"d", 4, 0.25f}}));
}

TEST(FormatShortestFloat, ReadsBackAsTheSameFloat) {
    EXPECT_EQ(formatShortestFloat(1.0f), "1.0");
    EXPECT_EQ(formatShortestFloat(0.0f), "0.0");
    EXPECT_EQ(formatShortestFloat(0.75f), "0.75");
    EXPECT_EQ(formatShortestFloat(0.1f), "0.1");
    EXPECT_EQ(formatShortestFloat(0.3f), "0.3");
    EXPECT_EQ(formatShortestFloat(0.99999994f), "0.99999994");
}

} // namespace
