// The state file of the original outputs, the launch decision that reads it, and the messages of
// the guard's pipe; their cases are the tables of tests/scenarios/guard.

#include "guard/OutputStateFile.h"
#include "guard/Messages.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace sonarill::guard;
using namespace sonarill::testing;
using nlohmann::json;

std::optional<std::string> uidOf(const json& uid) {
    return uid.is_null() ? std::nullopt : std::optional(uid.get<std::string>());
}
json readBack(const fs::path& path) {
    const auto read = readOutputState(path);
    return read ? json{read->defaultOutputUID, read->defaultSystemOutputUID} : json();
}

// The checks the tables name, as tests/scenarios/guard/README.md describes them.
const std::map<std::string, TextCheck> kChecks = {
    {"writeOutputState",
     [](const json& outputs, const json& gives) {
         const ScratchFolder scratch;
         const fs::path path = scratch.path() / "Library/Application Support/Sonarill/x.state";
         ASSERT_TRUE(writeOutputState(path, {outputs.at(0), outputs.at(1)})) << "folder made";
         EXPECT_EQ(readBack(path), gives);
     }},
    {"readOutputState",
     [](const json& bytes, const json& gives) {
         const ScratchFolder scratch;
         writeBytes(scratch.path() / "x.state", textOf(bytes));
         EXPECT_EQ(readBack(scratch.path() / "x.state"), gives);
     }},
    {"chooseOriginalOutput",
     [](const json& in, const json& gives) {
         int asked = 0;
         const OriginalOutput chosen = chooseOriginalOutput(
             uidOf(in.at("current")), uidOf(in.at("kept")), [&](const std::string& uid) {
                 EXPECT_EQ(++asked, 1);
                 EXPECT_EQ(uid, in["kept"]);
                 return in.at("present").get<bool>();
             });
         EXPECT_EQ((json{chosen.uid ? json(*chosen.uid) : json(), chosen.keptFromEarlierRun}),
                   gives);
     }},
    {"decodeMessage",
     [](const json& line, const json& gives) {
         const std::optional<Message> message = decodeMessage(textOf(line));
         ASSERT_EQ(message.has_value(), !gives.is_null());
         if (!message)
             return;
         // What it encodes to is one line, which reads back as the same message.
         const std::string encoded = encodeMessage(*message);
         EXPECT_EQ(encoded.find('\n'), encoded.size() - 1) << encoded;
         EXPECT_EQ(decodeMessage(encoded), message) << encoded;
         EXPECT_EQ(json::parse(encoded), gives);
     }},
};

class GuardTables : public ::testing::TestWithParam<fs::path> {};

TEST_P(GuardTables, Hold) {
    runTextTable(GetParam(), kChecks);
}
INSTANTIATE_TEST_SUITE_P(Guard, GuardTables, ::testing::ValuesIn(tableFiles(SONARILL_TABLES)),
                         tableName);

TEST(StateFile, RemovingLeavesNoFileAndAFolderIsNoFile) {
    const ScratchFolder scratch;
    const fs::path path = scratch.path() / std::string(kOutputStateFileName);
    ASSERT_TRUE(writeOutputState(path, {"A", "B"}));
    EXPECT_TRUE(removeOutputState(path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(readOutputState(path));
    EXPECT_TRUE(removeOutputState(path)) << "nothing there is no failure";
    fs::create_directory(path);
    EXPECT_FALSE(readOutputState(path)) << "a folder";
    EXPECT_FALSE(removeOutputState(path)) << "a folder is not removed as if it were the file";
}

} // namespace
