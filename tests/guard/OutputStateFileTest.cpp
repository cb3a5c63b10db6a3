// The state file of the original outputs, the launch decision that reads it, and the messages of
// the guard's pipe.

#include "guard/OutputStateFile.h"
#include "guard/Messages.h"
#include "support/Scratch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace sonarill::guard;
using namespace std::string_literals;

const std::string kVirtual = "Sonarill_OutputDevice";

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class StateFile : public ::testing::Test {
protected:
    sonarill::testing::ScratchFolder scratch;
    const fs::path folder = scratch.path() / "Library" / "Application Support" / "Sonarill";
    const fs::path path = folder / std::string(kOutputStateFileName);
};

TEST_F(StateFile, RoundTripsAnyUIDAndCreatesItsFolder) {
    for (const RecordedOutputs& outputs :
         std::vector<RecordedOutputs>{{"BuiltInSpeakerDevice", "BuiltInSpeakerDevice"},
                                      {"AppleUSBAudioEngine:Generic:USB Headset:1410000:1", ""},
                                      {"", "LGHDMIDisplay:0"},
                                      {"line\nfeed \"quoted\" \\ tab\t", "ünï 🎧"}}) {
        ASSERT_TRUE(writeOutputState(path, outputs));
        EXPECT_EQ(readOutputState(path), outputs);
    }
    EXPECT_TRUE(removeOutputState(path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(readOutputState(path));
    EXPECT_TRUE(removeOutputState(path)) << "nothing there is no failure";
}

TEST_F(StateFile, AnythingButWhatWasWrittenIsNoFile) {
    const std::vector<std::string> garbage = {
        "",
        "\n",
        "not json",
        "[\"BuiltInSpeakerDevice\"]",
        "{\"defaultOutput\": \"A\"}",
        "{\"defaultOutput\": 5, \"defaultSystemOutput\": \"B\"}",
        "{\"defaultOutput\": \"A\", \"defaultSystemOutput\": null}",
        "{\"defaultOutput\": \"\", \"defaultSystemOutput\": \"\"}",
        "{\"defaultOutput\": \"A\", \"defaultSystemOutput\": \"B\"",
        "{\"defaultOutput\": \"A\0\", \"defaultSystemOutput\": \"B\"}"s,
        "{\"defaultOutput\": \"A\", \"defaultSystemOutput\": \"B\"}" + std::string(70000, ' '),
    };
    fs::create_directories(folder);
    for (const std::string& bytes : garbage) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_FALSE(readOutputState(path)) << bytes.substr(0, 80);
    }
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(readOutputState(path)) << "a folder";
    EXPECT_FALSE(removeOutputState(path)) << "a folder is not removed as if it were the file";
}

TEST_F(StateFile, AWriteReplacesTheFileWholeAndLeavesNothingElse) {
    ASSERT_TRUE(writeOutputState(path, {"Old", "Old"}));
    const std::string before = contentOf(path);
    std::ifstream held(path, std::ios::binary); // a reader that opened the old file
    ASSERT_TRUE(writeOutputState(path, {"New", "NewSystem"}));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), before)
        << "replaced by a new file, not rewritten in place";
    EXPECT_EQ(readOutputState(path), (RecordedOutputs{"New", "NewSystem"}));
    std::set<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(folder))
        entries.insert(entry.path());
    EXPECT_EQ(entries, std::set<fs::path>{path});
}

TEST(LaunchDecision, KeepsTheEarlierRunsDeviceOnlyWhenTheVirtualDeviceHoldsTheOutput) {
    struct Case {
        std::optional<std::string> current;
        std::optional<std::string> kept;
        bool present;
        OriginalOutput expected;
    };
    const std::vector<Case> cases = {
        {kVirtual, "Speakers", true, {"Speakers", true}},
        {kVirtual, "Speakers", false, {kVirtual, false}}, // unplugged meanwhile
        {kVirtual, std::nullopt, true, {kVirtual, false}},
        {kVirtual, "", true, {kVirtual, false}},
        {kVirtual, kVirtual, true, {kVirtual, false}},
        {"Headset", "Speakers", true, {"Headset", false}}, // the user's own choice stands
        {std::nullopt, "Speakers", true, {std::nullopt, false}},
        {"sonarill_outputdevice", "Speakers", true, {"sonarill_outputdevice", false}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> asked;
        const OriginalOutput chosen =
            chooseOriginalOutput(c.current, c.kept, [&](const std::string& uid) {
                asked.push_back(uid);
                return c.present;
            });
        const std::string label = c.current.value_or("nil") + " / " + c.kept.value_or("nil");
        EXPECT_EQ(chosen.uid, c.expected.uid) << label;
        EXPECT_EQ(chosen.keptFromEarlierRun, c.expected.keptFromEarlierRun) << label;
        EXPECT_LE(asked.size(), 1u) << label;
    }
}

TEST(GuardMessages, EveryMessageIsOneLineThatReadsBack) {
    const std::vector<Message> messages = {
        OutputsMessage{{"BuiltInSpeakerDevice", "LGHDMIDisplay:0"}},
        OutputsMessage{{"a\nb", ""}},
        FrameSizeMessage{"LGHDMIDisplay:0", 1024u},
        FrameSizeMessage{"LGHDMIDisplay:0", std::nullopt},
        FrameSizeMessage{"x", 4294967295u},
        QuitMessage{},
    };
    for (const Message& message : messages) {
        const std::string line = encodeMessage(message);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(decodeMessage(line), message) << line;
    }
}

TEST(GuardMessages, ALineThatIsNotAMessageIsNothing) {
    for (const std::string line :
         {"", "quit", "{}", "[]", "{\"type\": \"reboot\"}", "{\"type\": 1}",
          "{\"type\": \"outputs\", \"defaultOutput\": \"A\"}",
          "{\"type\": \"frameSize\", \"originalSize\": 512}",
          "{\"type\": \"frameSize\", \"uid\": \"\", \"originalSize\": 512}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": 0}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": -512}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": 4294967296}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": 512.5}",
          "{\"type\": \"quit\""})
        EXPECT_FALSE(decodeMessage(line)) << line;
}

} // namespace
