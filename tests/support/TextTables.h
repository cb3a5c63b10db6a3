#pragma once

#include "support/DataRows.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Tables of cases whose inputs and results are texts: a folder of "<Table>.json" files, each a
// list of rows {"name": "...", "why": "...", "<check>": input, "gives": expected} ("why"
// optional), each table one test named "<Table>" whose failures name their row. A table is read
// only by its own test: a test process does not parse every table to run one. The folders'
// README.md files tell the checks and how texts are written.
namespace sonarill::testing {

// The tables of `folder`, in name order; none gives a path that fails as "holds no tables".
inline std::vector<std::filesystem::path> tableFiles(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(folder))
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".json")
                files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.empty())
        files.push_back(folder / "Missing.json");
    return files;
}
inline std::string tableName(const ::testing::TestParamInfo<std::filesystem::path>& info) {
    return info.param.stem().string();
}

// The bytes a text stands for: a string (its UTF-8), a list of texts (joined), {"bytes":
// "a\\xFF"} (where \xNN is one byte, for bytes that are not UTF-8), {"repeat": text, "times": n}
// or {"json": value} (the value written compactly).
inline std::string textOf(const nlohmann::json& text) {
    if (text.is_string())
        return text;
    std::string bytes;
    if (text.is_array()) {
        for (const nlohmann::json& part : text)
            bytes += textOf(part);
        return bytes;
    }
    knownKeysOnly(text, {"bytes", "repeat", "times", "json"});
    if (text.size() != (text.contains("repeat") ? 2u : 1u))
        throw std::runtime_error("not a text: " + text.dump());
    if (text.contains("json"))
        return text["json"].dump();
    if (text.contains("repeat")) {
        for (int i = text.at("times"); i > 0; --i)
            bytes += textOf(text["repeat"]);
        return bytes;
    }
    const std::string written = text["bytes"];
    for (size_t i = 0; i < written.size(); ++i) {
        const bool escape = written.compare(i, 2, "\\x") == 0;
        bytes += escape ? static_cast<char>(std::stoi(written.substr(i + 2, 2), nullptr, 16))
                        : written[i];
        i += escape ? 3 : 0;
    }
    return bytes;
}

using TextCheck = std::function<void(const nlohmann::json& input, const nlohmann::json& gives)>;

// Runs the one check the row names on its input, or on each of {"each": [inputs]}. A row that
// names no check, or has a key no check has, fails.
inline void runTextCheck(const DataRow& row, const std::map<std::string, TextCheck>& checks) {
    if (!row.problem.empty())
        FAIL() << row.problem;
    std::string check;
    for (const auto& [key, value] : row.value.items())
        if (key != "name" && key != "why" && key != "gives")
            check += (check.empty() ? "" : ", ") + key;
    if (!checks.contains(check) || !row.value.contains("gives"))
        FAIL() << "expected one check of the README's and \"gives\", not: " << check;
    try {
        const nlohmann::json& input = row.value[check];
        const bool each = input.is_object() && input.contains("each");
        if (each && (input.size() != 1 || !input["each"].is_array() || input["each"].empty()))
            throw std::runtime_error(R"(expected {"each": [inputs]})");
        for (const nlohmann::json& one : each ? input["each"] : nlohmann::json::array({input})) {
            SCOPED_TRACE(check + " of " + one.dump());
            checks.at(check)(one, row.value["gives"]);
        }
    } catch (const std::exception& error) {
        FAIL() << "malformed row: " << error.what();
    }
}

// Every row of the table `file`, each on its own: a failing row does not stop the others.
inline void runTextTable(const std::filesystem::path& file,
                         const std::map<std::string, TextCheck>& checks) {
    if (!std::filesystem::is_regular_file(file))
        FAIL() << file.parent_path() << " holds no tables";
    for (const DataRow& row : readRows(file)) {
        SCOPED_TRACE("row " + row.name);
        runTextCheck(row, checks);
    }
}

} // namespace sonarill::testing
