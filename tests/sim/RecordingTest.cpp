// What simulated physical devices played: the recent window, read while playing, and the WAV
// files, valid at every moment, also when the process is killed, and their names.

#include "sim/Recording.h"
#include "support/TextTables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace sonarill::sim;
using namespace sonarill::testing;

// Frame f of every test signal: (f, -f) scaled into the float range, exact up to 2^24 frames.
std::vector<float> signal(UInt64 firstFrame, UInt32 frames) {
    std::vector<float> out(size_t(frames) * 2);
    for (UInt32 i = 0; i < frames; ++i) {
        out[2 * i] = float((firstFrame + i) % (1u << 24)) / float(1u << 24);
        out[2 * i + 1] = -out[2 * i];
    }
    return out;
}

// Plays frames [from, to) of the test signal in blocks of `block` frames.
void play(DeviceRecorder& recorder, UInt64 from, UInt64 to, UInt32 block) {
    for (UInt64 at = from; at < to; at += block) {
        const auto n = UInt32(std::min<UInt64>(block, to - at));
        recorder.played(signal(at, n).data(), n);
    }
}

UInt32 le(const std::string& bytes, size_t at) {
    UInt32 v = 0;
    for (size_t i = 0; i < 4; ++i)
        v |= UInt32((unsigned char)bytes[at + i]) << (8 * i);
    return v;
}

// The frames of a valid 48 kHz stereo float WAV file with a fact chunk, as strict readers want
// it; nothing when it is not one. The sizes may fall short of the file (a block written after
// the last header update), never beyond it.
std::optional<std::vector<float>> readWav(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    // RIFF size, "WAVE", an 18-byte IEEE float format (3), 2 channels, 48000 Hz, 384000 bytes a
    // second, 8 a frame, 32 bits a sample, no extension; then the fact chunk's frame count.
    const std::string_view format("WAVEfmt \x12\0\0\0\3\0\2\0\x80\xbb\0\0\0\xdc\5\0\x08\0\x20\0"
                                  "\0\0fact\4\0\0\0",
                                  38);
    if (bytes.size() < 58 || bytes.compare(0, 4, "RIFF") != 0 ||
        bytes.compare(8, 38, format) != 0 || bytes.compare(50, 4, "data") != 0)
        return std::nullopt;
    const UInt32 frames = le(bytes, 46);
    if (le(bytes, 54) != frames * 8 || le(bytes, 4) != 50 + frames * 8 ||
        bytes.size() < 58 + size_t(frames) * 8)
        return std::nullopt;
    std::vector<float> samples(size_t(frames) * 2);
    std::copy_n(bytes.data() + 58, samples.size() * 4, reinterpret_cast<char*>(samples.data()));
    return samples;
}

// The window every hearing test reads: consecutive frames while the device plays (a reader
// overtaken by the writer reads again), and after it the last ring's worth, never more, also
// past a block longer than the ring.
TEST(RecentWindow, ReadersSeeConsecutiveFramesWhilePlayingAndTheLastRingfulAfter) {
    DeviceRecorder recorder("Speakers");
    EXPECT_TRUE(recorder.recent(100).empty());
    std::atomic<bool> done{false};
    std::thread device([&] {
        play(recorder, 0, 4 * kRecentFrames, 4099); // blocks that do not divide the ring
        done = true;
    });
    while (!done) {
        const UInt64 before = recorder.framesPlayed();
        const auto window = recorder.recent(2048);
        if (window.empty())
            continue;
        // Frames are consecutive, and end no earlier than where playing stood before.
        const auto first = UInt64(double(window[0]) * double(1u << 24));
        ASSERT_GE(first + window.size() / 2, before);
        ASSERT_TRUE(window == signal(first, UInt32(window.size() / 2))) << first;
    }
    device.join();
    const UInt64 total = 4 * kRecentFrames;
    EXPECT_TRUE(recorder.recent(kRecentFrames + 1) ==
                signal(total - kRecentFrames, UInt32(kRecentFrames)));
    const auto huge = UInt32(kRecentFrames * 2 + 7);
    recorder.played(signal(total, huge).data(), huge);
    EXPECT_TRUE(recorder.recent(kRecentFrames) ==
                signal(total + huge - kRecentFrames, UInt32(kRecentFrames)));
}

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "sonarill-rec-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

// The file is complete after every flush without being closed (what a killed process leaves),
// and holds every frame played once the recorder goes.
TEST_F(Recording, FileHoldsEveryFramePlayedAndIsValidAfterEveryFlush) {
    UInt64 played = 0;
    {
        DeviceRecorder recorder("Speakers", dir_);
        EXPECT_EQ(recorder.filePath(), dir_ / "Speakers.wav");
        for (UInt32 block : {0u, 1u, 512u, 48000u, 3u}) {
            play(recorder, played, played + block, block);
            played += block;
            recorder.flush();
            EXPECT_EQ(readWav(recorder.filePath()), signal(0, UInt32(played)));
        }
        play(recorder, played, 30 * 48000 + 77, 512); // past the ring more than twice
        played = 30 * 48000 + 77;
        EXPECT_EQ(recorder.error(), "");
    }
    EXPECT_TRUE(readWav(dir_ / "Speakers.wav") == signal(0, UInt32(played)));
}

TEST_F(Recording, FileSurvivesSigkill) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        DeviceRecorder recorder("Speakers", dir_);
        play(recorder, 0, 96000, 512);
        recorder.flush();
        play(recorder, 96000, 200000, 512); // maybe written, maybe not
        raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    const auto samples = readWav(dir_ / "Speakers.wav");
    ASSERT_TRUE(samples);
    const auto frames = UInt32(samples->size() / 2);
    EXPECT_GE(frames, 96000u);
    EXPECT_LE(frames, 200000u);
    EXPECT_TRUE(*samples == signal(0, frames));
}

// Every UID of tests/scenarios/sim/recording-names.json gets a name no other has, safe for a file;
// `gives` is that name, a pattern of it, or null for any.
TEST_F(Recording, UnsafeUidsGetDistinctSafeNames) {
    std::set<std::string> names;
    const auto nameOf = [&names](const nlohmann::json& uid, const nlohmann::json& file) {
        const std::string name = recordingFileName(textOf(uid));
        EXPECT_THAT(name, ::testing::MatchesRegex("[A-Za-z0-9_-][A-Za-z0-9._-]*\\.wav"));
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(names.insert(name).second) << name << " is another UID's";
        EXPECT_TRUE(file.is_null() || lineMatches(name, file)) << name;
    };
    runTextTable(SONARILL_TABLES "/recording-names.json", {{"nameOf", nameOf}});

    // Files really go there; two live recorders of one UID get a file each.
    {
        DeviceRecorder a("../up", dir_), b("../up", dir_), c("a b", dir_);
        EXPECT_EQ(a.filePath(), dir_ / recordingFileName("../up"));
        EXPECT_NE(b.filePath(), a.filePath());
        for (DeviceRecorder* r : {&a, &b, &c})
            play(*r, 0, 100, 100);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 3);
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_EQ(readWav(entry.path()), signal(0, 100)) << entry.path();
}

TEST_F(Recording, UnwritableFolderKeepsTheWindow) {
    std::ofstream(dir_ / "file") << "x";
    DeviceRecorder recorder("Speakers", dir_ / "file" / "sub");
    EXPECT_THAT(recorder.error(), ::testing::HasSubstr("Speakers.wav"));
    EXPECT_TRUE(recorder.filePath().empty());
    play(recorder, 0, 100, 100);
    recorder.flush();
    EXPECT_EQ(recorder.recent(5000), signal(0, 100)); // fewer than asked: what there is
}

} // namespace
