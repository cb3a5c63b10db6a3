// How the log writes four-character codes and statuses, row by row of
// tests/scenarios/audio/log-texts.json; pure text checks, so one test runs the whole table.

#include "audio/DeviceLookup.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>

namespace {

using namespace sonarill::audio;
using namespace sonarill::testing;

TEST(LogTexts, CodesAndStatusesAreWrittenAsTheTableSays) {
    for (const DataRow& row : readRows(SONARILL_TABLES "/log-texts.json")) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(row.problem, "");
        knownKeysOnly(row.value, {"name", "why", "value", "fourCC", "status"});
        // Written as in C: "0x..." or decimal, negative for a status.
        const auto value =
            uint32_t(std::stoll(row.value.at("value").get<std::string>(), nullptr, 0));
        ASSERT_TRUE(row.value.contains("fourCC") != row.value.contains("status"));
        if (row.value.contains("fourCC"))
            EXPECT_EQ(fourCCString(value), textOf(row.value["fourCC"]));
        else
            EXPECT_EQ(osStatusString(OSStatus(value)), textOf(row.value["status"]));
    }
}

} // namespace
