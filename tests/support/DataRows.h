#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// Tables of cases kept as JSON files under tests/scenarios: a file holds a list of rows, each an
// object with a "name" of letters and digits, and a runner makes one parameterised test per row,
// named after it. What cannot be read fails a test of its own and an unknown key fails its row,
// so a typo never makes a check vanish.
namespace sonarill::testing {

struct DataRow {
    std::string name;
    nlohmann::json value;
    std::string problem; // why this row, or its whole file, cannot run
};
void PrintTo(const DataRow& row, std::ostream* out);

// The rows of `file`. A file that does not read gives one row "Unreadable"; a row without a name
// of letters and digits, or with a name taken before, gives "Row<index>"; each has its problem.
std::vector<DataRow> readRows(const std::filesystem::path& file);
std::string rowName(const ::testing::TestParamInfo<DataRow>& info);

// Throws, failing the test, when `object` is no object or has a key other than `known`.
void knownKeysOnly(const nlohmann::json& object, std::initializer_list<std::string_view> known);

// The member `key` of `object`, or null, which iterates as nothing.
const nlohmann::json& memberOrNull(const nlohmann::json& object, const std::string& key);

// Whether `line` is what `expected` says: a text, or {"like": "a glob"} (fnmatch); "{key}" in
// either is first replaced by the value of `key` in `names`.
bool lineMatches(const std::string& line, const nlohmann::json& expected,
                 const std::map<std::string, std::string>& names = {});
// Whether `lines` are `expected`, one by one; an item ["text", n] stands for n lines alike.
::testing::AssertionResult linesAre(const std::vector<std::string>& lines,
                                    const nlohmann::json& expected,
                                    const std::map<std::string, std::string>& names = {});

} // namespace sonarill::testing
