#include "routing/Records.h"

#include <gtest/gtest.h>

using sonarill::routing::AudioDevice;

namespace {

AudioDevice device(std::string name, std::optional<std::string> customName = std::nullopt) {
    return AudioDevice{
        .uid = "uid-1", .name = std::move(name), .customName = std::move(customName)};
}

TEST(AudioDeviceDisplayName, TrimmedCustomNameWinsUnlessItIsEmpty) {
    // Blanks and line breaks beyond ASCII count too; inner blanks stay.
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "USB Headset"},
        {" \t\u00A0\n", "USB Headset"},
        {"  My  Desk \u2028", "My  Desk"}};
    for (const auto& [custom, shown] : cases)
        EXPECT_EQ(device("USB Headset", custom).displayName(), shown) << shown;
}

// The first matching rule on the lowercased own name decides, by a plain substring test ("bt"
// inside "Subtle"), headphones before bluetooth; the custom name never decides.
TEST(AudioDeviceIconName, FirstMatchingRuleOnTheLowercasedOwnNameDecides) {
    const struct {
        const char *name, *custom, *icon;
    } cases[] = {{"LG HDMI", nullptr, "tv"},
                 {"Studio Display", nullptr, "tv"},
                 {"MacBook Pro Speakers", nullptr, "speaker.wave.2"},
                 {"JBL Bluetooth", nullptr, "wave.3.right"},
                 {"Subtle Speaker", nullptr, "wave.3.right"},
                 {"Bluetooth Headphones", nullptr, "headphones"},
                 {"AirPods", "Desk", "airpodspro"},
                 {"Speakers", "My Headphones", "speaker.wave.2"}};
    for (const auto& c : cases) {
        const auto custom = c.custom ? std::optional<std::string>(c.custom) : std::nullopt;
        EXPECT_EQ(device(c.name, custom).iconName(), c.icon) << c.name;
    }
}

} // namespace
