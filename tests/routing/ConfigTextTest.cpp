#include "routing/ConfigText.h"

#include <gtest/gtest.h>

#include <clocale>

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
    EXPECT_EQ(formatVolume(0.1234567f), "0.123457");
    EXPECT_EQ(
        parseSimpleYAMLConfig("app_routes:\n- bundle_id: a\n  device_uid: b\n  volume: 0.25\n")
            .appRoutes.at(0)
            .volume,
        0.25f);
    std::setlocale(LC_ALL, "C");
}

TEST(ConfigWriter, QuotingEscapesBackslashQuoteAndLineBreaksOnly) {
    EXPECT_EQ(quoteYAML(""), "\"\"");
    EXPECT_EQ(quoteYAML("a\\b\"c"), "\"a\\\\b\\\"c\"");
    EXPECT_EQ(quoteYAML("tab\there 'é' #"), "\"tab\there 'é' #\"");
    EXPECT_EQ(quoteYAML("1\n2\r3\u00854\u20285\u20296"), "\"1\\n2\\r3\\N4\\L5\\P6\"");
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
    // U+2028 and U+0085 break lines too.
    EXPECT_EQ(parseSimpleYAMLConfig("devices:\u2028- uid: a\u0085  name: b").devices.size(), 1u);
}

TEST(ConfigReader, QuotesAndEscapes) {
    EXPECT_EQ(unquote("'it''s \\n'"), "it''s \\n");
    EXPECT_EQ(unquote("\"a\\\\b\\\"c\\xd\""), "a\\b\"cxd");
    EXPECT_EQ(unquote("\"trailing\\\""), "trailing\\");
    EXPECT_EQ(unquote("\""), "\"");
    EXPECT_EQ(unquote("\"'"), "\"'");
    EXPECT_EQ(unquote("plain # not a comment"), "plain # not a comment");
    // The written line-break escapes come back; other pairs keep the character alone.
    EXPECT_EQ(unescapeDoubleQuotedYAML("1\\n2\\r3\\N4\\L5\\P6\\t7\\08"),
              "1\n2\r3\u00854\u20285\u20296t708");
    // A value that begins with a combining mark still loses its quotes.
    EXPECT_EQ(unquote("\"\u0301x\""), "\u0301x");
    EXPECT_EQ(parseYAMLKeyValue("key: \"v: w\""),
              (std::pair<std::string, std::string>{"key", "v: w"}));
    EXPECT_EQ(parseYAMLKeyValue("key:"), (std::pair<std::string, std::string>{"key", ""}));
    EXPECT_EQ(parseYAMLKeyValue(" : value"), std::nullopt);
    EXPECT_EQ(parseYAMLKeyValue("no colon"), std::nullopt);
}

TEST(ConfigDecode, JSONIsReadAsJSONAndEverythingElseAsText) {
    const auto json = decodePersistedConfig(
        " \n{\"devices\": [{\"uid\": \"a\", \"name\": \"A\", \"enabled\": false, "
        "\"sort_order\": 2}], \"app_routes\": []}");
    ASSERT_TRUE(json);
    ASSERT_EQ(json->devices.size(), 1u);
    EXPECT_EQ(json->devices[0].uid, "a");
    EXPECT_FALSE(json->devices[0].enabled);

    // Looks like JSON but is not a configuration: the text reader takes it, as it always did.
    const auto notConfig = decodePersistedConfig("{\"devices\": 3}");
    ASSERT_TRUE(notConfig);
    EXPECT_EQ(*notConfig, PersistedConfig{});

    EXPECT_EQ(decodePersistedConfig(kExample), exampleRecords());
    EXPECT_EQ(decodePersistedConfig(""), PersistedConfig{});
    EXPECT_FALSE(decodePersistedConfig("devices:\n- uid: \"\xff\"\n"));
    EXPECT_FALSE(decodePersistedConfig("\xed\xa0\x80")); // an encoded surrogate is not UTF-8
}
