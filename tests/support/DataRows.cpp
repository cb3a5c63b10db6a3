#include "support/DataRows.h"

#include "support/FileBytes.h"

#include <algorithm>
#include <cctype>
#include <fnmatch.h>
#include <set>
#include <stdexcept>

namespace sonarill::testing {

using nlohmann::json;

void PrintTo(const DataRow& row, std::ostream* out) {
    *out << row.name;
}

std::vector<DataRow> readRows(const std::filesystem::path& file) {
    const json rows = json::parse(readBytes(file), nullptr, false);
    if (!rows.is_array() || rows.empty())
        return {{"Unreadable", {}, file.string() + " is no JSON list of rows"}};
    std::vector<DataRow> read;
    std::set<std::string> names;
    for (const json& row : rows) {
        const json name = row.is_object() ? row.value("name", json()) : json();
        const bool named = name.is_string() && !name.empty() &&
                           std::ranges::all_of(name.get<std::string>(), [](unsigned char c) {
                               return std::isalnum(c) != 0;
                           });
        if (named && names.insert(name.get<std::string>()).second)
            read.push_back({name.get<std::string>(), row, ""});
        else
            read.push_back({"Row" + std::to_string(read.size()),
                            {},
                            "needs a name of letters and digits that no other row has: " +
                                (name.is_null() ? row.dump() : name.dump())});
    }
    return read;
}

std::string rowName(const ::testing::TestParamInfo<DataRow>& info) {
    return info.param.name;
}

void knownKeysOnly(const json& object, std::initializer_list<std::string_view> known) {
    if (!object.is_object())
        throw std::runtime_error("expected an object, not " + object.dump());
    for (const auto& item : object.items())
        if (std::ranges::find(known, item.key()) == known.end())
            throw std::runtime_error("unknown key \"" + item.key() + "\" in " + object.dump());
}

const json& memberOrNull(const json& object, const std::string& key) {
    static const json none;
    const auto found = object.find(key);
    return found == object.end() ? none : *found;
}

namespace {

std::string withNames(std::string text, const std::map<std::string, std::string>& names) {
    for (const auto& [key, value] : names)
        for (size_t at = 0; (at = text.find("{" + key + "}", at)) != std::string::npos;
             at += value.size())
            text.replace(at, key.size() + 2, value);
    return text;
}

} // namespace

bool lineMatches(const std::string& line, const json& expected,
                 const std::map<std::string, std::string>& names) {
    if (!expected.is_object())
        return line == withNames(expected.get<std::string>(), names);
    knownKeysOnly(expected, {"like"});
    return fnmatch(withNames(expected.at("like").get<std::string>(), names).c_str(), line.c_str(),
                   0) == 0;
}

::testing::AssertionResult linesAre(const std::vector<std::string>& lines, const json& expected,
                                    const std::map<std::string, std::string>& names) {
    std::vector<json> wanted;
    for (const json& item : expected) {
        if (item.is_array())
            wanted.insert(wanted.end(), item.at(1).get<size_t>(), item.at(0));
        else
            wanted.push_back(item);
    }
    bool same = lines.size() == wanted.size();
    for (size_t i = 0; same && i < lines.size(); ++i)
        same = lineMatches(lines[i], wanted[i], names);
    if (same)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "lines " << ::testing::PrintToString(lines) << "\nexpected " << json(wanted).dump();
}

} // namespace sonarill::testing
