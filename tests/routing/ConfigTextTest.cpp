// The configuration file's text: what the writer puts in it, and what the reader takes from text
// users and YAML tools wrote, JSON included.

#include "routing/ConfigText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace sonarill::routing;

namespace {

const char* const kExample = "devices:\n"
                             "- uid: \"speakers-1\"\n"
                             "  name: \"Desk Speakers\"\n"
                             "  custom_name: \"Desk\"\n"
                             "  enabled: true\n"
                             "  sort_order: 0\n"
                             "  master_volume: 1.000000\n"
                             "- uid: \"phones-2\"\n"
                             "  name: \"USB Headset\"\n"
                             "  enabled: false\n"
                             "  sort_order: 1\n"
                             "  master_volume: 0.500000\n"
                             "app_routes:\n"
                             "- bundle_id: \"app.player\"\n"
                             "  device_uid: \"speakers-1\"\n"
                             "  volume: 0.800000\n";
const PersistedConfig kExampleRecords{{{"speakers-1", "Desk Speakers", "Desk", true, 0, 1.0f},
                                       {"phones-2", "USB Headset", std::nullopt, false, 1, 0.5f}},
                                      {{"app.player", "speakers-1", 0.8f}}};

// The one device of a text that sets `key` to `value`.
PersistedDevice deviceWith(const std::string& key, std::string_view value, std::string name = "n") {
    const PersistedConfig config = parseSimpleYAMLConfig("devices:\n- uid: u\n  name: " + name +
                                                         "\n  " + key + ": " + std::string(value));
    EXPECT_EQ(config.devices.size(), 1u) << value;
    return config.devices.empty() ? PersistedDevice{} : config.devices.front();
}
float routeVolume(std::string_view value) {
    const PersistedConfig config = parseSimpleYAMLConfig(
        "app_routes:\n- bundle_id: a\n  device_uid: b\n  volume: " + std::string(value));
    EXPECT_EQ(config.appRoutes.size(), 1u) << value;
    return config.appRoutes.empty() ? -1.0f : config.appRoutes.front().volume;
}

struct TextCase {
    std::string input, expected;
};

} // namespace

TEST(ConfigWriter, ExampleIsWrittenByteForByte) {
    EXPECT_EQ(makeConfigYAML(kExampleRecords), kExample);
    EXPECT_EQ(makeConfigYAML({}), "devices:\napp_routes:\n");
    // Trimmed, a custom name equal to the name says nothing (the round trips cover the rest).
    EXPECT_EQ(makeConfigYAML({{{"u", "Name", " Name ", true, 0, 1}}, {}}).find("custom_name"),
              std::string::npos);
}

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
    for (const auto& [volume, text] : cases)
        EXPECT_EQ(formatVolume(volume), text) << volume;
    // Read under the C rules too: a comma makes it no number, and the default.
    EXPECT_EQ(routeVolume("2.5e-1"), 0.25f);
    EXPECT_EQ(routeVolume("0,25"), 1.0f);
    std::setlocale(LC_ALL, "C");
}

// Tabs, blanks, "#", single quotes and the non-ASCII characters YAML prints stay raw; the rest
// is escaped, and reads back.
TEST(ConfigWriter, QuotingEscapesWhatYAMLDoesNotAllowRaw) {
    const TextCase cases[] = {
        {"", R"("")"},
        {R"(a\b"c)", R"("a\\b\"c")"},
        {"tab\there 'é' # \u00A0\u3000🎧\uFFFD\uFDD0\U0010FFFF",
         "\"tab\there 'é' # \u00A0\u3000🎧\uFFFD\uFDD0\U0010FFFF\""},
        {"1\n2\r3\u00854\u20285\u20296", R"("1\n2\r3\N4\L5\P6")"},
        {std::string("a\0b", 3), R"("a\0b")"},
        {"\a\b\v\f\x1B", R"("\a\b\v\f\e")"},
        {"\x01"
         "A\x1F\x7F",
         R"("\x01A\x1F\x7F")"},
        {"\u0080\u009F", R"("\x80\x9F")"},
        {"\uFEFF\uFFFE\uFFFF", R"("\uFEFF\uFFFE\uFFFF")"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(quoteYAML(c.input), c.expected) << c.input;
        EXPECT_EQ(unquote(c.expected), c.input) << c.expected;
    }
    // Invalid UTF-8, possible through the API only, is written as U+FFFD: the file stays text.
    EXPECT_EQ(quoteYAML("a\xFF"
                        "b\xC3"),
              "\"a\uFFFDb\uFFFD\"");
    EXPECT_EQ(quoteYAML("\xED\xA0\x80"), "\"\uFFFD\uFFFD\uFFFD\"");
    // For messages: the same escapes, but quotes and backslashes as they are.
    EXPECT_EQ(escapeUnprintable("a\"b\\c\n\x01"
                                "d\u2028"),
              R"(a"b\c\n\x01d\L)");
}

// A record without uid or without bundle_id/device_uid is skipped and does not count.
TEST(ConfigReader, DefaultsForMissingOrUnreadableValues) {
    const PersistedConfig config = parseSimpleYAMLConfig(
        "devices:\n- uid: \"a\"\n  name: \"A\"\n- name: \"no uid\"\n  sort_order: 9\n"
        "- uid: \"b\"\n  name: \"\"\n  sort_order: 1.5\n- uid: \"c\"\n  name: \"C\"\n"
        "  sort_order: +7\n  enabled: maybe\n  master_volume: loud\n"
        "app_routes:\n- bundle_id: x\n  device_uid: d\n- bundle_id: lost\n- device_uid: lost\n"
        "- bundle_id: y\n  device_uid: \"\"\n  volume: -2\n- bundle_id: z\n  device_uid: d\n"
        "  volume: 1.7\n");
    EXPECT_EQ(config, (PersistedConfig{{{"a", "A", std::nullopt, true, 0, 1.0f},
                                        {"b", "", std::nullopt, true, 1, 1.0f},
                                        {"c", "C", std::nullopt, true, 7, 1.0f}},
                                       {{"x", "d", 1.0f}, {"y", "", 0.0f}, {"z", "d", 1.0f}}}));
    const std::pair<const char*, std::optional<std::string>> customNames[] = {
        {"\" Desk \"", std::nullopt}, {"\"  \"", std::nullopt}, {"\" Den\"", "Den"}};
    for (const auto& [text, expected] : customNames)
        EXPECT_EQ(deviceWith("custom_name", text, "Desk").customName, expected) << text;
}

TEST(ConfigReader, SortOrderIsAWholeSixtyFourBitIntegerAndBooleansTheUsualWords) {
    EXPECT_EQ(deviceWith("sort_order", "-9223372036854775808").sortOrder, INT64_MIN);
    EXPECT_EQ(deviceWith("sort_order", "9223372036854775807").sortOrder, INT64_MAX);
    for (const char* invalid :
         {"9223372036854775808", "-9223372036854775809", "+-1", "-+1", "1e3", "", "-", "١"})
        EXPECT_EQ(deviceWith("sort_order", invalid).sortOrder, 0) << invalid;
    for (const char* yes : {"Yes", "ON", "1", "true", "TRUE", "maybe"})
        EXPECT_TRUE(deviceWith("enabled", yes).enabled) << yes;
    for (const char* no : {"False", "OFF", "no", "0"})
        EXPECT_FALSE(deviceWith("enabled", no).enabled) << no;
    EXPECT_EQ(parseBool("2"), std::nullopt);
}

// Comments, stray lines, other indentation, CRLF, flow-style empty lists, keys in any order.
TEST(ConfigReader, LayoutVariationsReadLikeTheWrittenForm) {
    const std::string relaxed =
        "# my speakers\r\nstray: line before any section\r\n"
        "devices: []\r\n    -   uid: \"speakers-1\"\r\n\tcolour: blue\r\n"
        "\t\tcustom_name: \"Desk\"\r\nname: \"Desk Speakers\"\r\n"
        "  # enabled: false\r\n  master_volume: 1\r\n  enabled: true\r\n"
        "  sort_order: 0\r\n- # the second\r\nuid: phones-2\r\nname: 'USB Headset'\r\n"
        "sort_order: 1\r\nenabled: false\r\nmaster_volume: 0.5\r\n"
        "app_routes: # all\r\n- device_uid: \"speakers-1\"\r\n"
        "  bundle_id: \"app.player\"\r\n  volume: 0.8";
    EXPECT_EQ(parseSimpleYAMLConfig(relaxed), kExampleRecords);
    // A carriage return alone ends a line too. U+0085, U+2028, U+2029, VT and FF do not: for
    // YAML they are text, and YAML libraries write them raw.
    EXPECT_EQ(parseSimpleYAMLConfig("devices:\r- uid: a\r  name: b").devices.size(), 1u);
    EXPECT_EQ(parseSimpleYAMLConfig("devices:\n- uid: a\u2028b\u0085c\u2029d\ve\ff\n  name: n")
                  .devices.at(0)
                  .uid,
              "a\u2028b\u0085c\u2029d\ve\ff");
}

// A comment is a "#" after a blank or a tab, outside quotes; plain values lose YAML's blanks and
// tabs only; in single quotes a doubled quote is one. Not YAML: everything between the outer
// quotes, as before. A value that begins with a combining mark still loses its quotes. (The
// config tool's files show the everyday cases.)
TEST(ConfigReader, ValuesEndWhereYAMLEndsThem) {
    const TextCase cases[] = {{" 'desk'\t# mine", "desk"},
                              {R"( "a # b" # c)", "a # b"},
                              {" 'a # b'", "a # b"},
                              {" a#b", "a#b"},
                              {" # only a comment", ""},
                              {"#x", "#x"},
                              {R"( "q"# c)", "q"},
                              {" \u00A0x\u3000 \t", "\u00A0x\u3000"},
                              {" ''''", "'"},
                              {R"( 'a\n')", R"(a\n)"},
                              {R"( "a" b)", R"("a" b)"},
                              {R"( "a"b")", R"(a"b)"},
                              {R"("trailing\")", R"(trailing\)"},
                              {R"( "unclosed # c)", R"("unclosed # c)"},
                              {"\"", "\""},
                              {"\"'", "\"'"},
                              {"\"\u0301x\"", "\u0301x"}};
    for (const TextCase& c : cases)
        EXPECT_EQ(unquote(c.input), c.expected) << c.input;
    using KeyValue = std::pair<std::string, std::string>;
    EXPECT_EQ(parseYAMLKeyValue(R"(key: "v: w")"), (KeyValue{"key", "v: w"}));
    EXPECT_EQ(parseYAMLKeyValue("key:"), (KeyValue{"key", ""}));
    EXPECT_EQ(parseYAMLKeyValue(" : value"), std::nullopt);
    EXPECT_EQ(parseYAMLKeyValue("no colon"), std::nullopt);
}

// A surrogate pair, as JSON writes it, is one character; a lone surrogate or a number beyond
// Unicode is U+FFFD, never invalid UTF-8. A malformed or unknown escape keeps the character after
// the backslash, as before.
TEST(ConfigReader, DoubleQuotedEscapesAreYAMLs) {
    const TextCase cases[] = {
        {R"(\0\a\b\t\	\n\v\f\r\e\ \"\/\\)", std::string("\0\a\b\t\t\n\v\f\r\x1B \"/\\", 14)},
        {R"(\N\_\L\P)", "\u0085\u00A0\u2028\u2029"},
        {R"(D\xE9sk D\xe9sk)", "Désk Désk"},
        {R"(\u00e9\u00E9 \U0001F3A7 \x00)", std::string("éé 🎧 \0", 11)},
        {R"(\uD83C\uDFA7)", "🎧"},
        {R"(\uD800 \uDFA7\uD83C \uD83Cx \uD83C\u0041)", "\uFFFD \uFFFD\uFFFD \uFFFDx \uFFFDA"},
        {R"(\U00110000 \UFFFFFFFF \U0000D800)", "\uFFFD \uFFFD \uFFFD"},
        {R"(\x4 \xG1 \x-1 \x+1 \u12 \U0001F3A)", "x4 xG1 x-1 x+1 u12 U0001F3A"},
        {R"(C:\Users \q\é)", "C:Users qé"},
        {R"(end\)", R"(end\)"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(unescapeDoubleQuotedYAML(c.input), c.expected) << c.input;
    EXPECT_EQ(deviceWith("custom_name", "\"D\\xE9sk\"").customName, "Désk");
}

// The old writer escaped only backslash, double quote and line breaks and wrote every other
// character raw, controls and U+FEFF included.
TEST(ConfigReader, FilesWrittenBeforeReadAsTheyDid) {
    const std::string old = "devices:\n- uid: \"a\\\\b\\\"c\"\n"
                            "  name: \"1\\n2\\r3\\v4\\f5\\N6\\L7\\P8\"\n"
                            "  custom_name: \"\x01 \x7F \u0080 \uFEFF \t # ' '' \"\n"
                            "  enabled: true\n  sort_order: 0\n  master_volume: 0.250000\n"
                            "app_routes:\n";
    EXPECT_EQ(parseSimpleYAMLConfig(old).devices.at(0),
              (PersistedDevice{"a\\b\"c", "1\n2\r3\v4\f5\u00856\u20287\u20298",
                               "\x01 \x7F \u0080 \uFEFF \t # ' ''", true, 0, 0.25f}));
}

// Out of range clamps, only what is no number gives the default 1.
TEST(ConfigReader, VolumesOutOfRangeClampAndOnlyNonNumbersDefault) {
    const std::pair<float, std::vector<std::string>> cases[] = {
        {0.5f, {".5", "+0.5", "\"0.5\"", "0.5 # half"}},
        {0.25f, {"25E-2"}},
        {static_cast<float>(1e-40), {"1e-40"}},
        {0.0f, {"0.", "-2", "1e-400", "-.Inf", "0." + std::string(5000, '0') + "1"}},
        {1.0f, {"1.7", "1e400", "+INF", "Infinity", ".inf", "+.INF", std::string(5000, '9')}},
        // No number: the default, where a reader taking them for numbers would find less.
        {1.0f, {"nan", "", "0e", ".", "+-0.5", "0x1p-2", "-.infinity"}}};
    for (const auto& [volume, texts] : cases)
        for (const std::string& text : texts)
            EXPECT_EQ(routeVolume(text), volume) << text;
}

// Optional keys defaulted, unknown ones skipped however deep, a repeated list replacing the
// earlier one; clamping and trimming are the model's when it applies them.
TEST(ConfigDecode, JSONIsReadAsJSONAndEverythingElseAsText) {
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    const auto json = decodePersistedConfig("\xEF\xBB\xBF \n{\"note\": {\"x\": " + deep +
                                            R"(}, "devices": [{"uid": "old", "name": "O",
        "enabled": true, "sort_order": 0}], "devices": [
            {"uid": "a", "name": "A", "enabled": true, "sort_order": 4, "extra": )" +
                                            deep + R"(},
            {"uid": "b", "name": "B", "custom_name": " Bee ", "enabled": false,
             "sort_order": -2, "master_volume": 1.5, "unknown": [1, 2]},
            {"uid": "c", "name": "C", "custom_name": null, "enabled": true, "sort_order": 0,
             "master_volume": 0}],
        "app_routes": [{"bundle_id": "app.x", "device_uid": "a", "volume": 0.25}]})");
    ASSERT_TRUE(json) << json.error();
    EXPECT_EQ(*json, (PersistedConfig{{{"a", "A", std::nullopt, true, 4, 1.0f},
                                       {"b", "B", " Bee ", false, -2, 1.5f},
                                       {"c", "C", std::nullopt, true, 0, 0.0f}},
                                      {{"app.x", "a", 0.25f}}}));
    EXPECT_EQ(*decodePersistedConfig(kExample), kExampleRecords);
    EXPECT_EQ(parseSimpleYAMLConfig("\xEF\xBB\xBF" + std::string(kExample)), kExampleRecords);
    // Nothing to lose: empty, blank, only comments, or a section that lists nothing.
    for (const char* empty : {"", "\n \t\r\n", "# only\n  # comments\n", "\xEF\xBB\xBF",
                              "devices:\n", "app_routes: []\n", "devices:\n- name: no uid\n"}) {
        const auto config = decodePersistedConfig(empty);
        ASSERT_TRUE(config) << empty << ": " << config.error();
        EXPECT_EQ(*config, PersistedConfig{}) << empty;
    }
    EXPECT_EQ(parseSimpleYAMLConfig("Devices:\n- uid: a\n  name: b\n"), PersistedConfig{})
        << "the text reader itself never fails";
}

// Text that says something but holds no section, and JSON with any required key missing or
// mistyped, is refused as a whole, saying where and why.
TEST(ConfigDecode, AFailureSaysWhereAndWhy) {
    const auto devices = [](std::string d) {
        return R"({"devices": [{)" + d + R"(}], "app_routes": []})";
    };
    const auto routes = [](std::string r) {
        return R"({"devices": [], "app_routes": [{)" + r + "}]}";
    };
    const std::string kNoSortOrder =
        R"(JSON device 1: "sort_order" is missing or not a 64-bit integer)";
    const std::string kNoVolume =
        R"(JSON route 1: "volume" is missing or not a finite 32-bit number)";
    const TextCase undecodable[] = {
        {"\xed\xa0\x80", "neither UTF-8 configuration text nor a valid JSON configuration "
                         "(invalid UTF-8 on line 1)"},
        {"# a comment, then\nstray text", "no devices: or app_routes: section"},
        {"{\"devices\": [],\n \"app_routes\": [],\n}",
         "JSON parse error at line 3, column 1: syntax error while parsing object key - "
         "unexpected '}'; expected string literal"},
        {R"({"devices": [], "app_routes": []} trailing)",
         R"(JSON parse error at line 1, column 37: syntax error while parsing value - invalid literal; last read: '"app_routes": []} tra'; expected end of input)"},
        {"{}", R"(JSON has no "devices" list)"},
        {R"({"devices": []})", R"(JSON has no "app_routes" list)"},
        {R"({"devices": 3})", R"(JSON "devices" is not a list)"},
        {R"({"devices": [], "app_routes": 1})", R"(JSON "app_routes" is not a list)"},
        {R"({"devices": [{"uid": "a", "name": "A", "enabled": true, "sort_order": 1}, 3], "app_routes": []})",
         "JSON device 2: not an object"},
        {devices(R"("uid": "a", "name": "A", "enabled": true)"), kNoSortOrder},
        {devices(R"("uid": "a", "name": "A", "enabled": "yes", "sort_order": 1)"),
         R"(JSON device 1: "enabled" is missing or not true or false)"},
        {devices(R"("uid": "a", "name": "A", "enabled": true, "sort_order": 1.5)"), kNoSortOrder},
        {devices(R"("uid": "a", "name": "A", "enabled": true, "sort_order": 9223372036854775808)"),
         kNoSortOrder},
        {devices(R"("uid": 7, "name": "A", "enabled": true, "sort_order": 1)"),
         R"(JSON device 1: "uid" is missing or not a text)"},
        {devices(
             R"("uid": "a", "name": "A", "enabled": true, "sort_order": 1, "master_volume": "")"),
         R"(JSON device 1: "master_volume" is not a finite 32-bit number)"},
        {routes(R"("bundle_id": "x", "device_uid": "a")"), kNoVolume},
        {routes(R"("bundle_id": "x", "device_uid": "a", "volume": 1e300)"), kNoVolume},
        {routes(R"("bundle_id": "x", "device_uid": "a", "volume": 1},
                   {"bundle_id": "x", "device_uid": {"a": 1}, "volume": 1)"),
         R"(JSON route 2: "device_uid" is missing or not a text)"},
    };
    for (const TextCase& c : undecodable) {
        const auto config = decodePersistedConfig(c.input);
        ASSERT_FALSE(config) << c.input;
        EXPECT_EQ(config.error(), c.expected) << c.input;
    }
    // What the text decoder never hands the JSON reader.
    const TextCase notObjects[] = {
        {"", "JSON parse error at line 1, column 1: syntax error while parsing value - "
             "unexpected end of input; expected '[', '{', or a literal"},
        {"[]", "JSON is not an object"},
        {"7", "JSON is not an object"}};
    for (const TextCase& c : notObjects)
        EXPECT_EQ(decodePersistedConfigJSON(c.input).error(), c.expected) << c.input;
}
