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

PersistedConfig exampleRecords() {
    return {{{"speakers-1", "Desk Speakers", "Desk", true, 0, 1.0f},
             {"phones-2", "USB Headset", std::nullopt, false, 1, 0.5f}},
            {{"app.player", "speakers-1", 0.8f}}};
}

PersistedDevice onlyDevice(std::string_view text) {
    const PersistedConfig config = parseSimpleYAMLConfig(text);
    EXPECT_EQ(config.devices.size(), 1u) << text;
    return config.devices.empty() ? PersistedDevice{} : config.devices.front();
}

float routeVolume(std::string_view value) {
    const PersistedConfig config = parseSimpleYAMLConfig(
        "app_routes:\n- bundle_id: a\n  device_uid: b\n  volume: " + std::string(value));
    EXPECT_EQ(config.appRoutes.size(), 1u) << value;
    return config.appRoutes.empty() ? -1.0f : config.appRoutes.front().volume;
}

struct TextCase {
    std::string input;
    std::string expected;
};

} // namespace

TEST(ConfigWriter, ExampleIsWrittenByteForByteAndReadsBack) {
    EXPECT_EQ(makeConfigYAML(exampleRecords()), kExample);
    EXPECT_EQ(parseSimpleYAMLConfig(kExample), exampleRecords());
    EXPECT_EQ(makeConfigYAML({}), "devices:\napp_routes:\n");
    EXPECT_EQ(parseSimpleYAMLConfig("devices:\napp_routes:\n"), PersistedConfig{});
}

TEST(ConfigWriter, CustomNameIsWrittenTrimmedAndOnlyWhenItSaysSomethingNew) {
    PersistedConfig config{{{"u", "Name", "  Den \n", true, -3, 2.0f}}, {}};
    EXPECT_EQ(makeConfigYAML(config), "devices:\n- uid: \"u\"\n  name: \"Name\"\n"
                                      "  custom_name: \"Den\"\n  enabled: true\n"
                                      "  sort_order: -3\n  master_volume: 1.000000\n"
                                      "app_routes:\n");
    for (const char* custom : {"Name", " Name ", "", " \t "}) {
        config.devices[0].customName = custom;
        EXPECT_EQ(makeConfigYAML(config).find("custom_name"), std::string::npos) << custom;
    }
}

TEST(ConfigWriter, VolumesAreClampedAndUseAPointUnderAnyLocale) {
    ASSERT_TRUE(std::setlocale(LC_ALL, "de_DE.UTF-8"))
        << "the de_DE.UTF-8 locale is missing: run scripts/setup";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5"); // the locale really has a decimal comma
    EXPECT_EQ(formatVolume(0.8f), "0.800000");
    EXPECT_EQ(formatVolume(1.0f), "1.000000");
    EXPECT_EQ(formatVolume(1.7f), "1.000000");
    EXPECT_EQ(formatVolume(-2.0f), "0.000000");
    EXPECT_EQ(formatVolume(-0.0f), "0.000000");
    EXPECT_EQ(formatVolume(NAN), "0.000000");
    EXPECT_EQ(formatVolume(0.1234567f), "0.123457");
    EXPECT_EQ(routeVolume("0.25"), 0.25f);
    EXPECT_EQ(routeVolume("2.5e-1"), 0.25f);
    // Not a number under the C rules, whatever the process locale says: the default.
    EXPECT_EQ(routeVolume("0,25"), 1.0f);
    std::setlocale(LC_ALL, "C");
}

TEST(ConfigWriter, VolumesRoundAsPrintfDoes) {
    std::vector<float> volumes{0.9999995f, 1e-7f, 4e-7f, 5e-7f,
                               6e-7f,      0.0f,  1.0f,  std::nextafter(1.0f, 0.0f)};
    // Multiples of 1/128 lie exactly halfway between two six-decimal texts.
    for (int k = 0; k <= 128; ++k)
        volumes.push_back(static_cast<float>(k) / 128.0f);
    std::mt19937 random(7);
    for (int i = 0; i < 100'000; ++i)
        volumes.push_back(std::uniform_real_distribution<float>(0.0f, 1.0f)(random));
    for (const float volume : volumes) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.6f", static_cast<double>(volume));
        ASSERT_EQ(formatVolume(volume), expected) << volume;
    }
}

TEST(ConfigWriter, QuotingEscapesWhatYAMLDoesNotAllowRaw) {
    const TextCase cases[] = {
        {"", R"("")"},
        {R"(a\b"c)", R"("a\\b\"c")"},
        // Tabs, blanks, "#", single quotes and the non-ASCII characters YAML prints stay raw.
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

TEST(ConfigReader, DefaultsForMissingOrUnreadableValues) {
    const PersistedConfig config = parseSimpleYAMLConfig("devices:\n"
                                                         "- uid: \"a\"\n  name: \"A\"\n"
                                                         "- name: \"no uid\"\n  sort_order: 9\n"
                                                         "- uid: \"b\"\n  name: \"\"\n"
                                                         "  sort_order: 1.5\n"
                                                         "- uid: \"c\"\n  name: \"C\"\n"
                                                         "  sort_order: +7\n  enabled: maybe\n"
                                                         "  master_volume: loud\n");
    ASSERT_EQ(config.devices.size(), 3u);
    EXPECT_EQ(config.devices[0], (PersistedDevice{"a", "A", std::nullopt, true, 0, 1.0f}));
    // The record without uid is skipped and does not count as accepted.
    EXPECT_EQ(config.devices[1], (PersistedDevice{"b", "", std::nullopt, true, 1, 1.0f}));
    EXPECT_EQ(config.devices[2].sortOrder, 7);
    EXPECT_TRUE(config.devices[2].enabled);
    EXPECT_EQ(config.devices[2].masterVolume, 1.0f);

    const PersistedConfig routes = parseSimpleYAMLConfig("app_routes:\n"
                                                         "- bundle_id: x\n  device_uid: d\n"
                                                         "- bundle_id: lost\n"
                                                         "- device_uid: lost\n"
                                                         "- bundle_id: y\n  device_uid: \"\"\n"
                                                         "  volume: -2\n"
                                                         "- bundle_id: z\n  device_uid: d\n"
                                                         "  volume: 1.7\n");
    ASSERT_EQ(routes.appRoutes.size(), 3u);
    EXPECT_EQ(routes.appRoutes[0], (PersistedAppRoute{"x", "d", 1.0f}));
    EXPECT_EQ(routes.appRoutes[1], (PersistedAppRoute{"y", "", 0.0f}));
    EXPECT_EQ(routes.appRoutes[2], (PersistedAppRoute{"z", "d", 1.0f}));
}

TEST(ConfigReader, SortOrderMustBeAWholeSixtyFourBitInteger) {
    const auto order = [](std::string_view value) {
        return onlyDevice("devices:\n- uid: u\n  name: n\n  sort_order: " + std::string(value))
            .sortOrder;
    };
    EXPECT_EQ(order("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(order("9223372036854775807"), INT64_MAX);
    for (const char* invalid : {"9223372036854775808", "-9223372036854775809", "+-1", "-+1", "1e3",
                                "0x10", "1 2", "", "-", "+", "١"})
        EXPECT_EQ(order(invalid), 0) << invalid;
}

TEST(ConfigReader, BooleansAcceptTheUsualWordsInAnyCase) {
    const auto enabled = [](std::string_view value) {
        return onlyDevice("devices:\n- uid: u\n  name: n\n  enabled: " + std::string(value))
            .enabled;
    };
    for (const char* yes : {"Yes", "ON", "1", "true", "TRUE"})
        EXPECT_TRUE(enabled(yes)) << yes;
    for (const char* no : {"False", "OFF", "no", "0"})
        EXPECT_FALSE(enabled(no)) << no;
    EXPECT_TRUE(enabled("maybe"));
    EXPECT_EQ(parseBool(std::nullopt), std::nullopt);
    EXPECT_EQ(parseBool("2"), std::nullopt);
}

TEST(ConfigReader, CustomNameEqualToNameOrBlankIsDropped) {
    EXPECT_EQ(
        onlyDevice("devices:\n- uid: u\n  name: Desk\n  custom_name: \" Desk \"\n").customName,
        std::nullopt);
    EXPECT_EQ(onlyDevice("devices:\n- uid: u\n  name: Desk\n  custom_name: \"  \"\n").customName,
              std::nullopt);
    EXPECT_EQ(onlyDevice("devices:\n- uid: u\n  name: Desk\n  custom_name: \" Den\"\n").customName,
              "Den");
}

TEST(ConfigReader, LayoutVariationsReadLikeTheWrittenForm) {
    const std::string relaxed = "# my speakers\r\n"
                                "stray: line before any section\r\n"
                                "devices: []\r\n"
                                "    -   uid: \"speakers-1\"\r\n"
                                "\tcolour: blue\r\n"
                                "\t\tcustom_name: \"Desk\"\r\n"
                                "name: \"Desk Speakers\"\r\n"
                                "  # enabled: false\r\n"
                                "  master_volume: 1\r\n"
                                "  enabled: true\r\n"
                                "  sort_order: 0\r\n"
                                "-\r\n"
                                "uid: phones-2\r\n"
                                "name: 'USB Headset'\r\n"
                                "sort_order: 1\r\n"
                                "enabled: false\r\n"
                                "master_volume: 0.5\r\n"
                                "app_routes:\r\n"
                                "- device_uid: \"speakers-1\"\r\n"
                                "  bundle_id: \"app.player\"\r\n"
                                "  volume: 0.8";
    EXPECT_EQ(parseSimpleYAMLConfig(relaxed), exampleRecords());
    EXPECT_TRUE(parseSimpleYAMLConfig("devices: []\napp_routes: []\n").devices.empty());
    // A carriage return alone ends a line too. U+0085, U+2028, U+2029, VT and FF do not: for
    // YAML they are text, and YAML libraries write them raw.
    EXPECT_EQ(parseSimpleYAMLConfig("devices:\r- uid: a\r  name: b").devices.size(), 1u);
    EXPECT_EQ(onlyDevice("devices:\n- uid: a\u2028b\u0085c\u2029d\ve\ff\n  name: n").uid,
              "a\u2028b\u0085c\u2029d\ve\ff");
}

TEST(ConfigReader, ValuesEndWhereYAMLEndsThem) {
    const TextCase cases[] = {
        // A comment is a "#" after a blank or a tab, outside quotes.
        {R"( "desk" # mine)", "desk"},
        {" 'desk'\t# mine", "desk"},
        {" 0.2 # quiet", "0.2"},
        {" false\t# off", "false"},
        {R"( "a # b" # c)", "a # b"},
        {" 'a # b'", "a # b"},
        {" a#b", "a#b"},
        {" # only a comment", ""},
        {"#x", "#x"},
        {R"( "q"# c)", "q"},
        // Plain values lose YAML's blanks and tabs only, not other spaces.
        {" \u00A0x\u3000 \t", "\u00A0x\u3000"},
        // Single quotes: a doubled quote is one quote.
        {" 'it''s mine'", "it's mine"},
        {" ''''", "'"},
        {R"( 'a\n')", R"(a\n)"},
        // Not YAML: read as before, everything between the outer quotes.
        {R"( "a" b)", R"("a" b)"},
        {R"( "a"b")", R"(a"b)"},
        {R"("trailing\")", R"(trailing\)"},
        {R"( "unclosed # c)", R"("unclosed # c)"},
        {"\"", "\""},
        {"\"'", "\"'"},
        // A value that begins with a combining mark still loses its quotes.
        {"\"\u0301x\"", "\u0301x"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(unquote(c.input), c.expected) << c.input;

    EXPECT_EQ(parseYAMLKeyValue(R"(key: "v: w")"),
              (std::pair<std::string, std::string>{"key", "v: w"}));
    EXPECT_EQ(parseYAMLKeyValue("key:"), (std::pair<std::string, std::string>{"key", ""}));
    EXPECT_EQ(parseYAMLKeyValue(" : value"), std::nullopt);
    EXPECT_EQ(parseYAMLKeyValue("no colon"), std::nullopt);

    // The settings a trailing comment used to change.
    const PersistedConfig config = parseSimpleYAMLConfig("devices: # all of them\n"
                                                         "- uid: \"desk\" # mine\n"
                                                         "  name: 'it''s mine'\n"
                                                         "  enabled: false # off\n"
                                                         "  master_volume: 0.2\t# quiet\n"
                                                         "- # the second\n"
                                                         "  uid: phones\n"
                                                         "  name: Phones # USB\n");
    ASSERT_EQ(config.devices.size(), 2u);
    EXPECT_EQ(config.devices[0], (PersistedDevice{"desk", "it's mine", {}, false, 0, 0.2f}));
    EXPECT_EQ(config.devices[1], (PersistedDevice{"phones", "Phones", {}, true, 1, 1.0f}));
}

TEST(ConfigReader, DoubleQuotedEscapesAreYAMLs) {
    const TextCase cases[] = {
        {R"(\0\a\b\t\	\n\v\f\r\e\ \"\/\\)", std::string("\0\a\b\t\t\n\v\f\r\x1B \"/\\", 14)},
        {R"(\N\_\L\P)", "\u0085\u00A0\u2028\u2029"},
        {R"(D\xE9sk D\xe9sk)", "Désk Désk"},
        {R"(\u00e9\u00E9 \U0001F3A7 \x00)", std::string("éé 🎧 \0", 11)},
        // A surrogate pair, as JSON writes it, is one character; a lone surrogate or a number
        // beyond Unicode is U+FFFD, never invalid UTF-8.
        {R"(\uD83C\uDFA7)", "🎧"},
        {R"(\uD800 \uDFA7\uD83C \uD83Cx \uD83C\u0041)", "\uFFFD \uFFFD\uFFFD \uFFFDx \uFFFDA"},
        {R"(\U00110000 \UFFFFFFFF \U0000D800)", "\uFFFD \uFFFD \uFFFD"},
        // A malformed or unknown escape keeps the character after the backslash, as before.
        {R"(\x4 \xG1 \x-1 \x+1 \u12 \U0001F3A)", "x4 xG1 x-1 x+1 u12 U0001F3A"},
        {R"(C:\Users \q\é)", "C:Users qé"},
        {R"(end\)", R"(end\)"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(unescapeDoubleQuotedYAML(c.input), c.expected) << c.input;
    EXPECT_EQ(onlyDevice("devices:\n- uid: \"D\\xE9sk\"\n  name: n").uid, "Désk");
}

TEST(ConfigReader, FilesWrittenBeforeReadAsTheyDid) {
    // The old writer escaped only backslash, double quote and line breaks and wrote every other
    // character raw, controls and U+FEFF included.
    const std::string old = "devices:\n"
                            "- uid: \"a\\\\b\\\"c\"\n"
                            "  name: \"1\\n2\\r3\\v4\\f5\\N6\\L7\\P8\"\n"
                            "  custom_name: \"\x01 \x7F \u0080 \uFEFF \t # ' '' \"\n"
                            "  enabled: true\n"
                            "  sort_order: 0\n"
                            "  master_volume: 0.250000\n"
                            "app_routes:\n";
    EXPECT_EQ(onlyDevice(old),
              (PersistedDevice{"a\\b\"c", "1\n2\r3\v4\f5\u00856\u20287\u20298",
                               "\x01 \x7F \u0080 \uFEFF \t # ' ''", true, 0, 0.25f}));
}

TEST(ConfigReader, VolumesOutOfRangeClampAndOnlyNonNumbersDefault) {
    struct Case {
        const char* text;
        float volume;
    };
    const Case cases[] = {
        {"0.25", 0.25f},
        {".5", 0.5f},
        {"+0.5", 0.5f},
        {"25E-2", 0.25f},
        {"5.", 1.0f},
        {"1.7", 1.0f},
        {"-2", 0.0f},
        {"1e-400", 0.0f},
        {"-1e-400", 0.0f},
        {"1e400", 1.0f},
        {"-1e999", 0.0f},
        {"inf", 1.0f},
        {"+INF", 1.0f},
        {"Infinity", 1.0f},
        {"-inf", 0.0f},
        {".inf", 1.0f},
        {"-.Inf", 0.0f},
        {"+.INF", 1.0f},
        {"\"0.5\"", 0.5f},
        {"0.5 # half", 0.5f},
        {"1e-40", static_cast<float>(1e-40)},
        // Not numbers: the default.
        {"nan", 1.0f},
        {".nan", 1.0f},
        {"-.NaN", 1.0f},
        {"", 1.0f},
        {"1e", 1.0f},
        {"e5", 1.0f},
        {".", 1.0f},
        {"+-0.5", 1.0f},
        {"0x1p-2", 1.0f},
        {"0.5.0", 1.0f},
        {"1 2", 1.0f},
        {".infinity", 1.0f},
        {"０.5", 1.0f},
    };
    for (const Case& c : cases)
        EXPECT_EQ(routeVolume(c.text), c.volume) << c.text;
    EXPECT_EQ(routeVolume("0." + std::string(5000, '0') + "1"), 0.0f);
    EXPECT_EQ(routeVolume(std::string(5000, '9')), 1.0f);
    EXPECT_EQ(onlyDevice("devices:\n- uid: u\n  name: n\n  master_volume: 1e-400").masterVolume,
              0.0f);
}

TEST(ConfigDecode, JSONIsReadAsJSONAndEverythingElseAsText) {
    const auto json = decodePersistedConfig(
        " \n{\"devices\": [{\"uid\": \"a\", \"name\": \"A\", \"enabled\": false, "
        "\"sort_order\": 2}], \"app_routes\": []}");
    ASSERT_TRUE(json);
    ASSERT_EQ(json->devices.size(), 1u);
    EXPECT_EQ(json->devices[0].uid, "a");
    EXPECT_FALSE(json->devices[0].enabled);

    EXPECT_EQ(*decodePersistedConfig(kExample), exampleRecords());
    const auto notText = decodePersistedConfig("devices:\n- uid: \"\xff\"\n");
    EXPECT_EQ(notText.error(), "neither UTF-8 configuration text nor a valid JSON configuration "
                               "(invalid UTF-8 on line 2)");
    EXPECT_FALSE(decodePersistedConfig("\xed\xa0\x80")); // an encoded surrogate is not UTF-8
}

TEST(ConfigDecode, ALeadingByteOrderMarkIsSkipped) {
    const std::string mark = "\xEF\xBB\xBF";
    EXPECT_EQ(*decodePersistedConfig(mark + kExample), exampleRecords());
    EXPECT_EQ(parseSimpleYAMLConfig(mark + kExample), exampleRecords());
    const auto json = decodePersistedConfig(
        mark + "{\"devices\": [], \"app_routes\": [{\"bundle_id\": \"x\", \"device_uid\": \"a\", "
               "\"volume\": 0.5}]}");
    ASSERT_TRUE(json) << json.error();
    EXPECT_EQ(json->appRoutes, (std::vector<PersistedAppRoute>{{"x", "a", 0.5f}}));
}

TEST(ConfigDecode, TextThatSaysSomethingButNoSectionIsUndecodable) {
    const TextCase undecodable[] = {
        {R"({"devices": [)",
         "JSON parse error at line 1, column 14: syntax error while parsing value - unexpected "
         "end of input; expected '[', '{', or a literal"},
        {"{\"devices\": [],\n \"app_routes\": [],\n}",
         "JSON parse error at line 3, column 1: syntax error while parsing object key - "
         "unexpected '}'; expected string literal"},
        {R"({"devices": 3})", R"(JSON "devices" is not a list)"},
        {"{}", R"(JSON has no "devices" list)"},
        {"Devices:\n- uid: a\n  name: b\n", "no devices: or app_routes: section"},
        {"# a comment, then\nstray text", "no devices: or app_routes: section"},
    };
    for (const TextCase& c : undecodable) {
        const auto config = decodePersistedConfig(c.input);
        EXPECT_FALSE(config) << c.input;
        EXPECT_EQ(config.error(), c.expected) << c.input;
    }
    // Nothing to lose: empty, blank, only comments, or a section that lists nothing.
    for (const char* empty : {"", "\n \t\r\n", "# only\n  # comments\n", "\xEF\xBB\xBF",
                              "devices:\n", "app_routes: []\n", "devices:\n- name: no uid\n"}) {
        const auto config = decodePersistedConfig(empty);
        ASSERT_TRUE(config) << empty << ": " << config.error();
        EXPECT_EQ(*config, PersistedConfig{}) << empty;
    }
    // The text reader itself never fails.
    EXPECT_EQ(parseSimpleYAMLConfig("Devices:\n- uid: a\n  name: b\n"), PersistedConfig{});
}
