#include "routing/Records.h"

#include <gtest/gtest.h>

using namespace sonarill::routing;

namespace {

AudioDevice device(std::string name, std::optional<std::string> customName = std::nullopt) {
    AudioDevice d;
    d.uid = "uid-1";
    d.name = std::move(name);
    d.customName = std::move(customName);
    return d;
}

} // namespace

TEST(AudioDeviceDisplayName, TrimmedCustomNameWinsUnlessItIsEmpty) {
    EXPECT_EQ(device("USB Headset").displayName(), "USB Headset");
    EXPECT_EQ(device("USB Headset", "").displayName(), "USB Headset");
    EXPECT_EQ(device("USB Headset", " \t\u00A0\n").displayName(), "USB Headset");
    EXPECT_EQ(device("USB Headset", "  Desk \u2028").displayName(), "Desk");
    EXPECT_EQ(device("USB Headset", "My  Desk").displayName(), "My  Desk");
}

TEST(AudioDeviceIconName, FirstMatchingRuleOnTheLowercasedOwnNameDecides) {
    EXPECT_EQ(device("External Headphones").iconName(), "headphones");
    EXPECT_EQ(device("AirPods Pro").iconName(), "airpodspro");
    EXPECT_EQ(device("LG HDMI").iconName(), "tv");
    EXPECT_EQ(device("Studio Display").iconName(), "tv");
    EXPECT_EQ(device("MacBook Pro Speakers").iconName(), "speaker.wave.2");
    EXPECT_EQ(device("JBL Bluetooth").iconName(), "wave.3.right");
    // A plain substring test: "bt" inside "Subtle".
    EXPECT_EQ(device("Subtle Speaker").iconName(), "wave.3.right");
    // Headphones before bluetooth, whatever the order in the name.
    EXPECT_EQ(device("Bluetooth Headphones").iconName(), "headphones");
    // The custom name never decides.
    EXPECT_EQ(device("AirPods", "Desk").iconName(), "airpodspro");
    EXPECT_EQ(device("Speakers", "My Headphones").iconName(), "speaker.wave.2");
}

TEST(PersistedConfigJSON, ReadsRecordsWithOptionalKeysDefaulted) {
    const auto config = decodePersistedConfigJSON(R"({
        "devices": [
            {"uid": "a", "name": "A", "enabled": true, "sort_order": 4},
            {"uid": "b", "name": "B", "custom_name": " Bee ", "enabled": false,
             "sort_order": -2, "master_volume": 1.5, "unknown": [1, 2]},
            {"uid": "c", "name": "C", "custom_name": null, "enabled": true, "sort_order": 0,
             "master_volume": 0}
        ],
        "app_routes": [{"bundle_id": "app.x", "device_uid": "a", "volume": 0.25}]
    })");
    ASSERT_TRUE(config);
    ASSERT_EQ(config->devices.size(), 3u);
    EXPECT_EQ(config->devices[0], (PersistedDevice{"a", "A", std::nullopt, true, 4, 1.0f}));
    // Taken as they are: clamping and trimming happen when the model applies them.
    EXPECT_EQ(config->devices[1], (PersistedDevice{"b", "B", " Bee ", false, -2, 1.5f}));
    EXPECT_EQ(config->devices[2].customName, std::nullopt);
    EXPECT_EQ(config->devices[2].masterVolume, 0.0f);
    ASSERT_EQ(config->appRoutes.size(), 1u);
    EXPECT_EQ(config->appRoutes[0], (PersistedAppRoute{"app.x", "a", 0.25f}));
}

TEST(PersistedConfigJSON, AnyMissingOrMistypedRequiredKeyFailsTheWholeReading) {
    const char* broken[] = {
        R"({"devices": []})",
        R"({"app_routes": []})",
        R"({"devices": {}, "app_routes": []})",
        R"({"devices": [{"uid": "a", "name": "A", "enabled": true}], "app_routes": []})",
        R"({"devices": [{"uid": "a", "name": "A", "enabled": "yes", "sort_order": 1}],
            "app_routes": []})",
        R"({"devices": [{"uid": "a", "name": "A", "enabled": true, "sort_order": 1.5}],
            "app_routes": []})",
        R"({"devices": [{"uid": 7, "name": "A", "enabled": true, "sort_order": 1}],
            "app_routes": []})",
        R"({"devices": [{"uid": "a", "name": "A", "enabled": true, "sort_order": 1,
            "master_volume": "loud"}], "app_routes": []})",
        R"({"devices": [{"uid": "a", "name": "A", "enabled": true,
            "sort_order": 9223372036854775808}], "app_routes": []})",
        R"({"devices": [], "app_routes": [{"bundle_id": "x", "device_uid": "a"}]})",
        R"({"devices": [], "app_routes": [{"bundle_id": "x", "device_uid": "a", "volume": 1e300}]})",
        R"({"devices": [], "app_routes": []} trailing)",
        R"([])",
        "",
    };
    for (const char* text : broken)
        EXPECT_FALSE(decodePersistedConfigJSON(text)) << text;
    EXPECT_TRUE(decodePersistedConfigJSON(R"({"devices": [], "app_routes": []})"));
}

TEST(PersistedConfigJSON, AFailureSaysWhereAndWhy) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"{\"devices\": [],\n \"app_routes\": [}",
         "JSON parse error at line 2, column 17: syntax error while parsing value - unexpected "
         "'}'; expected '[', '{', or a literal"},
        {"", "JSON parse error at line 1, column 1: syntax error while parsing value - unexpected "
             "end of input; expected '[', '{', or a literal"},
        {"[]", "JSON is not an object"},
        {"7", "JSON is not an object"},
        {R"({"app_routes": []})", R"(JSON has no "devices" list)"},
        {R"({"devices": []})", R"(JSON has no "app_routes" list)"},
        {R"({"devices": {}, "app_routes": []})", R"(JSON "devices" is not a list)"},
        {R"({"devices": [], "app_routes": 1})", R"(JSON "app_routes" is not a list)"},
        {R"({"devices": [{"uid": "a", "name": "A", "enabled": true, "sort_order": 1}, 3],
            "app_routes": []})",
         "JSON device 2: not an object"},
        {R"({"devices": [{"uid": "a", "name": "A", "enabled": true, "sort_order": [1]}],
            "app_routes": []})",
         R"(JSON device 1: "sort_order" is missing or not a 64-bit integer)"},
        {R"({"devices": [], "app_routes": [{"bundle_id": "x", "device_uid": "a", "volume": 1},
            {"bundle_id": "x", "device_uid": {"a": 1}, "volume": 1}]})",
         R"(JSON route 2: "device_uid" is missing or not a text)"},
    };
    for (const auto& c : cases) {
        const auto config = decodePersistedConfigJSON(c.text);
        EXPECT_FALSE(config) << c.text;
        EXPECT_EQ(config.error(), c.reason) << c.text;
    }
}

// The document streams past: values nested however deep under keys the configuration does not
// know are skipped, a repeated list replaces the earlier one, and a deep nesting where a record
// should be fails at once instead of being built.
TEST(PersistedConfigJSON, NestingAndRepeatsAreReadAsADocumentReadsThem) {
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    const auto config = decodePersistedConfigJSON(R"({"note": {"x": )" + deep +
                                                  R"(}, "devices": [{"uid": "old", "name": "O",
        "enabled": true, "sort_order": 0}], "devices": [{"uid": "a", "name": "A",
        "enabled": true, "sort_order": 0, "extra": )" +
                                                  deep + R"(}], "app_routes": []})");
    ASSERT_TRUE(config) << config.error();
    ASSERT_EQ(config->devices.size(), 1u);
    EXPECT_EQ(config->devices[0].uid, "a");
    EXPECT_EQ(decodePersistedConfigJSON(R"({"devices": )" + deep + "}").error(),
              "JSON device 1: not an object");
}
