// The state file of the original outputs, the launch decision that reads it, and the messages of
// the guard's pipe.

#include "guard/OutputStateFile.h"
#include "guard/Messages.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace sonarill::guard;
using namespace sonarill::testing;
using namespace std::string_literals;

const std::string kVirtual = "Sonarill_OutputDevice";

TEST(StateFile, WhatWasWrittenReadsBackAndAnythingElseIsNoFile) {
    const ScratchFolder scratch;
    const fs::path folder = scratch.path() / "Library" / "Application Support" / "Sonarill";
    const fs::path path = folder / std::string(kOutputStateFileName);
    for (const RecordedOutputs& outputs :
         std::vector<RecordedOutputs>{{"BuiltInSpeakerDevice", "BuiltInSpeakerDevice"},
                                      {"AppleUSBAudioEngine:Generic:USB Headset:1410000:1", ""},
                                      {"", "LGHDMIDisplay:0"},
                                      {"line\nfeed \"quoted\" \\ tab\t", "ünï 🎧"}}) {
        ASSERT_TRUE(writeOutputState(path, outputs)) << "the folder is created";
        EXPECT_EQ(readOutputState(path), outputs);
    }
    for (const std::string& bytes : {
             ""s,
             "not json"s,
             "[\"BuiltInSpeakerDevice\"]"s,
             "{\"defaultOutput\": \"A\"}"s,
             "{\"defaultOutput\": 5, \"defaultSystemOutput\": \"B\"}"s,
             "{\"defaultOutput\": \"A\", \"defaultSystemOutput\": null}"s,
             "{\"defaultOutput\": \"\", \"defaultSystemOutput\": \"\"}"s,
             "{\"defaultOutput\": \"A\", \"defaultSystemOutput\": \"B\"}" + std::string(70000, ' '),
         }) {
        writeBytes(path, bytes);
        EXPECT_FALSE(readOutputState(path)) << bytes.substr(0, 80);
    }
    EXPECT_TRUE(removeOutputState(path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(readOutputState(path));
    EXPECT_TRUE(removeOutputState(path)) << "nothing there is no failure";
    fs::create_directory(path);
    EXPECT_FALSE(readOutputState(path)) << "a folder";
    EXPECT_FALSE(removeOutputState(path)) << "a folder is not removed as if it were the file";
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current.value_or("nil") + " / " + c.kept.value_or("nil"));
        int asked = 0;
        const OriginalOutput chosen =
            chooseOriginalOutput(c.current, c.kept, [&](const std::string& uid) {
                ++asked;
                EXPECT_EQ(uid, c.kept);
                return c.present;
            });
        EXPECT_EQ(std::pair(chosen.uid, chosen.keptFromEarlierRun),
                  std::pair(c.expected.uid, c.expected.keptFromEarlierRun));
        EXPECT_LE(asked, 1);
    }
}

TEST(GuardMessages, EveryMessageIsOneLineThatReadsBackAndNothingElseIsAMessage) {
    // Plain messages are the guard process's and the launch tests' own; these are the edges.
    for (const Message& message :
         std::vector<Message>{OutputsMessage{{"a\nb", ""}}, FrameSizeMessage{"x", std::nullopt},
                              FrameSizeMessage{"x", 4294967295u}}) {
        const std::string line = encodeMessage(message);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(decodeMessage(line), message) << line;
    }
    for (const std::string line :
         {"", "[]", "{\"type\": \"reboot\"}", "{\"type\": 1}",
          "{\"type\": \"outputs\", \"defaultOutput\": \"A\"}",
          "{\"type\": \"frameSize\", \"originalSize\": 512}",
          "{\"type\": \"frameSize\", \"uid\": \"\", \"originalSize\": 512}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": 0}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": -512}",
          "{\"type\": \"frameSize\", \"uid\": \"A\", \"originalSize\": 4294967296}"})
        EXPECT_FALSE(decodeMessage(line)) << line;
}

} // namespace
