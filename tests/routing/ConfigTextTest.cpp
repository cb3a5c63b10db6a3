// The configuration file's text: what the writer puts in it, and what the reader takes from text
// users and YAML tools wrote, JSON included; and the names devices are shown with. The cases are
// tables in tests/scenarios/config; the checks that compute their cases stay here.

#include "routing/ConfigText.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace sonarill::routing;
using nlohmann::json;
using sonarill::testing::TextCheck;
using sonarill::testing::textOf;

namespace {

// Records as the configuration's JSON form writes them.
json asJSON(const PersistedConfig& config) {
    json records = {{"devices", json::array()}, {"app_routes", json::array()}};
    for (const PersistedDevice& d : config.devices) {
        records["devices"].push_back({{"uid", d.uid},
                                      {"name", d.name},
                                      {"enabled", d.enabled},
                                      {"sort_order", d.sortOrder},
                                      {"master_volume", d.masterVolume}});
        if (d.customName)
            records["devices"].back()["custom_name"] = *d.customName;
    }
    for (const PersistedAppRoute& r : config.appRoutes)
        records["app_routes"].push_back(
            {{"bundle_id", r.bundleId}, {"device_uid", r.deviceUid}, {"volume", r.volume}});
    return records;
}
json asJSON(const sonarill::base::Expected<PersistedConfig>& config) {
    return config ? asJSON(*config) : json{{"error", config.error()}};
}

// Numbers as the records hold them, in 32 bits.
json asFloats(json value) {
    if (value.is_number_float())
        return value.get<float>();
    if (value.is_structured())
        for (json& item : value)
            item = asFloats(item);
    return value;
}

// The field `key` of the one device of a text that sets it to `value`.
json deviceField(const std::string& key, const std::string& value) {
    const json records =
        asJSON(parseSimpleYAMLConfig("devices:\n- uid: u\n  name: Desk\n  " + key + ": " + value));
    EXPECT_EQ(records["devices"].size(), 1u);
    return records["devices"].empty() ? json() : records["devices"][0].value(key, json());
}
float routeVolume(std::string_view value) {
    const PersistedConfig config = parseSimpleYAMLConfig(
        "app_routes:\n- bundle_id: a\n  device_uid: b\n  volume: " + std::string(value));
    EXPECT_EQ(config.appRoutes.size(), 1u) << value;
    return config.appRoutes.empty() ? -1.0f : config.appRoutes.front().volume;
}

// A device of that own name and custom name.
AudioDevice deviceNamed(const json& names) {
    sonarill::testing::knownKeysOnly(names, {"name", "custom_name"});
    std::optional<std::string> custom;
    if (names.contains("custom_name"))
        custom = names["custom_name"];
    return {.uid = "u", .name = names.at("name"), .customName = custom};
}

TextCheck givesText(std::string (*function)(std::string_view)) {
    return [function](const json& in, const json& gives) {
        EXPECT_EQ(function(textOf(in)), textOf(gives));
    };
}
TextCheck givesJSON(std::function<json(const std::string&)> read) {
    return
        [read](const json& in, const json& gives) { EXPECT_EQ(read(textOf(in)), asFloats(gives)); };
}

// The checks a row can name, as the folder's README.md describes them.
const std::map<std::string, TextCheck> kChecks = {
    {"makeConfigYAML",
     [](const json& records, const json& gives) {
         const auto config = decodePersistedConfigJSON(records.dump());
         ASSERT_TRUE(config) << config.error();
         EXPECT_EQ(makeConfigYAML(*config), textOf(gives));
     }},
    {"quoted",
     [](const json& in, const json& gives) {
         EXPECT_EQ(quoteYAML(textOf(in)), textOf(gives));
         EXPECT_EQ(unquote(textOf(gives)), textOf(in));
     }},
    {"quoteYAML", givesText(quoteYAML)},
    {"escapeUnprintable", givesText(escapeUnprintable)},
    {"unquote", givesText(unquote)},
    {"unescapeDoubleQuotedYAML", givesText(unescapeDoubleQuotedYAML)},
    {"parseYAMLKeyValue", givesJSON([](const std::string& line) {
         const auto keyValue = parseYAMLKeyValue(line);
         return keyValue ? json{keyValue->first, keyValue->second} : json();
     })},
    {"parseBool", givesJSON([](const std::string& text) {
         const auto value = parseBool(text);
         return value ? json(*value) : json();
     })},
    {"parseSimpleYAMLConfig",
     givesJSON([](const std::string& text) { return asJSON(parseSimpleYAMLConfig(text)); })},
    {"decodePersistedConfig",
     givesJSON([](const std::string& bytes) { return asJSON(decodePersistedConfig(bytes)); })},
    {"decodePersistedConfigJSON",
     givesJSON([](const std::string& bytes) { return asJSON(decodePersistedConfigJSON(bytes)); })},
    {"device.sort_order",
     givesJSON([](const std::string& value) { return deviceField("sort_order", value); })},
    {"device.enabled",
     givesJSON([](const std::string& value) { return deviceField("enabled", value); })},
    {"device.custom_name",
     givesJSON([](const std::string& value) { return deviceField("custom_name", value); })},
    {"displayName",
     [](const json& names, const json& gives) {
         EXPECT_EQ(deviceNamed(names).displayName(), textOf(gives));
     }},
    {"iconName",
     [](const json& names, const json& gives) {
         EXPECT_EQ(deviceNamed(names).iconName(), textOf(gives));
     }},
    {"route.volume", givesJSON([](const std::string& value) { return json(routeVolume(value)); })},
};

class TextTable : public ::testing::TestWithParam<std::filesystem::path> {};

} // namespace

TEST_P(TextTable, Holds) {
    sonarill::testing::runTextTable(GetParam(), kChecks);
}
INSTANTIATE_TEST_SUITE_P(Config, TextTable,
                         ::testing::ValuesIn(sonarill::testing::tableFiles(SONARILL_CONFIG_CASES)),
                         sonarill::testing::tableName);

// As printf's "%.6f" in the C locale, clamped to 0...1, whatever the process locale says.
TEST(ConfigWriter, VolumesAreWrittenAsPrintfDoesClampedAndWithAPoint) {
    std::vector<float> volumes{0.9999995f, 1e-7f, 4e-7f, 5e-7f,
                               6e-7f,      0.0f,  1.0f,  std::nextafter(1.0f, 0.0f)};
    for (int k = 0; k <= 128; ++k) // exactly halfway between two six-decimal texts
        volumes.push_back(static_cast<float>(k) / 128.0f);
    std::mt19937 random(7);
    for (int i = 0; i < 100'000; ++i)
        volumes.push_back(std::uniform_real_distribution<float>(0.0f, 1.0f)(random));
    for (const float volume : volumes) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.6f", static_cast<double>(volume));
        ASSERT_EQ(formatVolume(volume), expected) << volume;
    }
    ASSERT_TRUE(std::setlocale(LC_ALL, "de_DE.UTF-8")) << "de_DE.UTF-8 is missing: scripts/setup";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5"); // the locale really has a decimal comma
    const std::pair<float, const char*> cases[] = {
        {0.8f, "0.800000"}, {1.7f, "1.000000"}, {-2.0f, "0.000000"}, {NAN, "0.000000"}};
    for (const auto& [volume, written] : cases)
        EXPECT_EQ(formatVolume(volume), written) << volume;
    // Read under the C rules too: a comma makes it no number, and the default.
    EXPECT_EQ(routeVolume("2.5e-1"), 0.25f);
    EXPECT_EQ(routeVolume("0,25"), 1.0f);
    std::setlocale(LC_ALL, "C");
}
