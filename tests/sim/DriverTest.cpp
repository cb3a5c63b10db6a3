// The simulated driver: its reading of the pushed routing text and its mix of the running
// applications onto the virtual device's input buses.

#include "sim/Driver.h"
#include "AllocationCounter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <thread>

namespace {

using namespace sonarill::sim;
using ::testing::ElementsAre;
using ::testing::FieldsAre;

// One device record as the program writes it.
std::string deviceText(const std::string& uid, bool enabled, int sortOrder,
                       const char* masterVolume = "1.000000") {
    return "- uid: \"" + uid +
           "\"\n  name: \"Device\"\n  enabled: " + (enabled ? "true" : "false") +
           "\n  sort_order: " + std::to_string(sortOrder) + "\n  master_volume: " + masterVolume +
           "\n";
}

std::string routeText(const std::string& bundleId, const std::string& uid, const char* volume) {
    return "- bundle_id: \"" + bundleId + "\"\n  device_uid: \"" + uid + "\"\n  volume: " + volume +
           "\n";
}

App app(std::string bundleId, double hz, double level) {
    return App{.bundleId = std::move(bundleId), .name = "App", .toneHz = hz, .level = level};
}

std::vector<float> render(DriverMix& mix, UInt32 frames, double at = 0.0) {
    std::vector<float> out(size_t(frames) * kVirtualInputChannels, -1.0f);
    mix.render(at, frames, out.data());
    return out;
}

// The amplitude of the tone at `hz` on one channel: one bin of a DFT, exact when the buffer
// holds whole cycles of it.
double amplitudeAt(const std::vector<float>& mixed, UInt32 channel, double hz) {
    const size_t frames = mixed.size() / kVirtualInputChannels;
    double re = 0, im = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double angle = 2 * std::numbers::pi * hz * double(i) / kSampleRate;
        re += mixed[i * kVirtualInputChannels + channel] * std::cos(angle);
        im += mixed[i * kVirtualInputChannels + channel] * std::sin(angle);
    }
    return 2 * std::hypot(re, im) / double(frames);
}

// The channels that carry anything at all.
std::vector<UInt32> soundingChannels(const std::vector<float>& mixed) {
    std::vector<UInt32> channels;
    for (UInt32 c = 0; c < kVirtualInputChannels; ++c)
        for (size_t i = c; i < mixed.size(); i += kVirtualInputChannels)
            if (mixed[i] != 0.0f) {
                channels.push_back(c);
                break;
            }
    return channels;
}

// 4800 frames hold whole cycles of every tone used here.
constexpr UInt32 kFrames = 4800;

TEST(DriverMix, ToneReachesOnlyItsDevicesPairAtLevelTimesRouteVolume) {
    DriverMix mix;
    mix.setRouteText("devices:\n" + deviceText("spk", true, 0) + deviceText("phones", true, 1) +
                     "app_routes:\n" + routeText("app.player", "phones", "0.500000"));
    mix.setApps({app("app.player", 1000, 0.8)});
    const auto mixed = render(mix, kFrames);
    EXPECT_THAT(soundingChannels(mixed), ElementsAre(2, 3));
    EXPECT_NEAR(amplitudeAt(mixed, 2, 1000), 0.4, 1e-4);
    EXPECT_NEAR(amplitudeAt(mixed, 2, 1100), 0.0, 1e-4); // a tone, not noise
    for (size_t i = 0; i < kFrames; ++i)
        ASSERT_EQ(mixed[i * kVirtualInputChannels + 2], mixed[i * kVirtualInputChannels + 3]);
    // Unrouted: silence, written over whatever the buffer held.
    mix.setApps({});
    EXPECT_THAT(render(mix, 64), ::testing::Each(0.0f));
}

TEST(DriverMix, SilentWithoutARouteToAnActiveDevice) {
    const std::string devices =
        "devices:\n" + deviceText("spk", true, 0) + deviceText("off", false, 1);
    const std::pair<const char*, std::string> cases[] = {
        {"no route", devices + "app_routes:\n" + routeText("other.app", "spk", "1.0")},
        {"disabled device", devices + "app_routes:\n" + routeText("app.player", "off", "1.0")},
        {"unknown device", devices + "app_routes:\n" + routeText("app.player", "gone", "1.0")},
        {"bundle id differs in case",
         devices + "app_routes:\n" + routeText("App.Player", "spk", "1.0")},
        {"volume 0", devices + "app_routes:\n" + routeText("app.player", "spk", "0.000000")},
        {"no text", ""},
    };
    for (const auto& [name, text] : cases) {
        DriverMix mix;
        mix.setRouteText(text);
        mix.setApps({app("app.player", 1000, 0.8)});
        EXPECT_THAT(soundingChannels(render(mix, kFrames)), ElementsAre()) << name;
    }
    // Routed, but the application plays nothing.
    DriverMix mix;
    mix.setRouteText(devices + "app_routes:\n" + routeText("app.player", "spk", "1.0"));
    mix.setApps({app("app.player", 0, 0.8)});
    EXPECT_THAT(soundingChannels(render(mix, kFrames)), ElementsAre());
}

TEST(DriverMix, MasterVolumeIsTheForwardersNotTheDrivers) {
    DriverMix mix;
    mix.setRouteText("devices:\n" + deviceText("spk", true, 0, "0.100000") + "app_routes:\n" +
                     routeText("app.player", "spk", "1.000000"));
    mix.setApps({app("app.player", 500, 0.6)});
    EXPECT_NEAR(amplitudeAt(render(mix, kFrames), 0, 500), 0.6, 1e-4);
}

TEST(DriverMix, BusesBeyondTheEighthAreSilent) {
    std::string text = "devices:\n";
    for (int i = 0; i < 9; ++i)
        text += deviceText("dev" + std::to_string(i), true, i);
    text += "app_routes:\n" + routeText("app.eighth", "dev7", "1.0") +
            routeText("app.ninth", "dev8", "1.0");
    DriverMix mix;
    mix.setRouteText(text);
    mix.setApps({app("app.eighth", 1000, 0.5), app("app.ninth", 2000, 0.5)});
    const auto mixed = render(mix, kFrames);
    EXPECT_THAT(soundingChannels(mixed), ElementsAre(14, 15));
    EXPECT_NEAR(amplitudeAt(mixed, 14, 2000), 0.0, 1e-4);
}

TEST(DriverMix, TwoAppsOnOneBusAdd) {
    const std::string text = "devices:\n" + deviceText("spk", true, 0) + "app_routes:\n" +
                             routeText("a.app", "spk", "1.0") + routeText("b.app", "spk", "0.5");
    DriverMix both, onlyA, onlyB;
    for (DriverMix* mix : {&both, &onlyA, &onlyB})
        mix->setRouteText(text);
    both.setApps({app("a.app", 1000, 0.3), app("b.app", 1500, 0.4)});
    onlyA.setApps({app("a.app", 1000, 0.3)});
    onlyB.setApps({app("b.app", 1500, 0.4)});
    const auto mixed = render(both, kFrames), a = render(onlyA, kFrames),
               b = render(onlyB, kFrames);
    EXPECT_NEAR(amplitudeAt(mixed, 1, 1000), 0.3, 1e-4);
    EXPECT_NEAR(amplitudeAt(mixed, 1, 1500), 0.2, 1e-4);
    for (size_t i = 0; i < mixed.size(); ++i)
        ASSERT_FLOAT_EQ(mixed[i], a[i] + b[i]) << i;
}

TEST(DriverMix, ToneIsAFunctionOfTheSampleTime) {
    DriverMix mix;
    mix.setRouteText("devices:\n" + deviceText("spk", true, 0) + "app_routes:\n" +
                     routeText("app.player", "spk", "1.0"));
    mix.setApps({app("app.player", 441, 1.0)});
    // Split into periods of any size, the tone goes on without a seam.
    const auto whole = render(mix, 3000, 1000);
    std::vector<float> pieces;
    for (const auto& [at, frames] : {std::pair{1000, 511}, {1511, 1}, {1512, 2488}}) {
        const auto piece = render(mix, UInt32(frames), at);
        pieces.insert(pieces.end(), piece.begin(), piece.end());
    }
    ASSERT_EQ(pieces.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i)
        ASSERT_NEAR(pieces[i], whole[i], 1e-6) << i;
    // Hours in, the phase is still exact.
    const double hour = 3600 * kSampleRate;
    const auto late = render(mix, 2048, hour);
    for (UInt32 i = 0; i < 2048; ++i) {
        const long double cycles = 441.0L * (hour + i) / 48000.0L;
        const auto expected =
            double(std::sin(2 * std::numbers::pi_v<long double> * (cycles - std::floor(cycles))));
        ASSERT_NEAR(late[i * kVirtualInputChannels], expected, 1e-6) << i;
    }
}

TEST(DriverMix, RenderDoesNotAllocate) {
    DriverMix mix;
    mix.setRouteText("devices:\n" + deviceText("spk", true, 0) + deviceText("hp", true, 1) +
                     "app_routes:\n" + routeText("a.app", "spk", "1.0") +
                     routeText("b.app", "hp", "1.0"));
    mix.setApps({app("a.app", 1000, 0.3), app("b.app", 1500, 0.4)});
    std::vector<float> out(4096 * kVirtualInputChannels);
    sonarill::testing::AllocationCounter counter;
    for (int i = 0; i < 10; ++i)
        mix.render(i * 4096.0, 4096, out.data());
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_THAT(soundingChannels(out), ElementsAre(0, 1, 2, 3));
}

TEST(DriverMix, RendersWhileTheRoutingChanges) {
    // Two routings that put the tone on bus 0 or bus 1; every render sees one or the other.
    const std::string devices = "devices:\n" + deviceText("a", true, 0) + deviceText("b", true, 1);
    const std::string routings[] = {devices + "app_routes:\n" + routeText("app", "a", "1.0"),
                                    devices + "app_routes:\n" + routeText("app", "b", "1.0")};
    DriverMix mix;
    mix.setRouteText(routings[0]);
    mix.setApps({app("app", 1000, 0.5)});
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; i < 200; ++i) {
            mix.setRouteText(routings[i % 2]);
            mix.setApps({app("app", 1000, 0.5), app("other", 700, 0.1)});
        }
        done = true;
    });
    std::vector<float> out(256 * kVirtualInputChannels);
    for (int i = 0; !done; ++i) {
        mix.render(i * 256.0, 256, out.data());
        const auto channels = soundingChannels(out);
        ASSERT_TRUE(channels == std::vector<UInt32>({0, 1}) ||
                    channels == std::vector<UInt32>({2, 3}));
    }
    changer.join();
}

TEST(DriverRouting, ReadsTheProgramsText) {
    // CR LF line ends, comments and other keys change nothing.
    const std::string text = "devices:\r\n"
                             "- uid: \"speakers-1\"\r\n"
                             "  name: \"Desk Speakers\"\r\n"
                             "  custom_name: \"Desk\"\r\n"
                             "  enabled: true\r\n"
                             "  sort_order: 0\r\n"
                             "  master_volume: 1.000000\r\n"
                             "# a comment\r\n"
                             "- uid: \"phones-2\"\r\n"
                             "  name: \"USB Headset\"\r\n"
                             "  enabled: false\r\n"
                             "  sort_order: 1\r\n"
                             "  master_volume: 0.500000\r\n"
                             "app_routes:\r\n"
                             "- bundle_id: \"app.player\"\r\n"
                             "  device_uid: \"speakers-1\"\r\n"
                             "  volume: 0.800000\r\n";
    const DriverRouting routing = readDriverRouting(text);
    EXPECT_THAT(routing.buses, ElementsAre("speakers-1"));
    EXPECT_THAT(routing.routes, ElementsAre(FieldsAre("app.player", "speakers-1", 0.8f)));
}

TEST(DriverRouting, ActiveDevicesInSortOrderTiesInTextOrder) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {deviceText("c", true, 2) + deviceText("a", true, 0) + deviceText("b", true, 1),
         {"a", "b", "c"}},
        {deviceText("x", true, 1) + deviceText("y", true, 1) + deviceText("z", true, 0),
         {"z", "x", "y"}},
        {deviceText("neg", true, -5) + deviceText("big", true, 2000000000), {"neg", "big"}},
        // Without a usable sort_order a record sorts by its position among the device records
        // read; a record without a uid is not read.
        {"- name: \"no uid\"\n  sort_order: 0\n- uid: \"first\"\n- uid: \"second\"\n"
         "  sort_order: x\n" +
             deviceText("zero", true, 0),
         {"first", "zero", "second"}},
        // A record without "enabled" (or with a value that is not a boolean) is active.
        {"- uid: \"p\"\n  enabled: maybe\n- uid: \"q\"\n  enabled: OFF\n- uid: \"r\"\n"
         "  enabled: No\n- uid: \"s\"\n  enabled: 0\n- uid: \"t\"\n",
         {"p", "t"}},
        {"- uid: \"plus\"\n  sort_order: +3\n- uid: \"space\"\n  sort_order: 1 2\n",
         {"space", "plus"}},
    };
    for (const auto& [devices, buses] : cases)
        EXPECT_EQ(readDriverRouting("devices:\n" + devices).buses, buses) << devices;
}

TEST(DriverRouting, ReadsYamlScalars) {
    using namespace std::string_literals; // the expected texts may hold a NUL
    const std::pair<const char*, std::string> cases[] = {
        {R"("a\\b\"c")", "a\\b\"c"}, // the program's own escapes
        {R"("\x41\u00e9\U0001F600")", "A\u00e9\U0001F600"},
        {R"("t\tn\nr\r0\0/\/ \ ")", "t\tn\nr\r0\0//  "s},
        {R"("\N\_\L\P")", "\u0085\u00A0\u2028\u2029"},
        {R"("\q\x4")", "qx4"}, // unknown or short escapes keep their character
        {R"("quoted" # comment)", "quoted"},
        {R"("unterminated)", "unterminated"},
        {"'it''s \\n'", "it's \\n"},
        {"plain.id # comment", "plain.id"},
        {"plain#notacomment", "plain#notacomment"},
        {"\"\"", ""},
    };
    for (const auto& [value, expected] : cases) {
        const auto routing = readDriverRouting(std::string("app_routes:\n- bundle_id: ") + value +
                                               "\n  device_uid: d\n");
        ASSERT_EQ(routing.routes.size(), 1u) << value;
        EXPECT_EQ(routing.routes[0].bundleId, expected) << value;
    }
}

TEST(DriverRouting, RouteVolumesAndIncompleteRecords) {
    const DriverRouting routing = readDriverRouting("app_routes:\n"
                                                    "- bundle_id: \"a\"\n  device_uid: \"d\"\n"
                                                    "- bundle_id: \"b\"\n  device_uid: \"d\"\n"
                                                    "  volume: 1.7\n"
                                                    "- bundle_id: \"c\"\n  device_uid: \"d\"\n"
                                                    "  volume: -2\n"
                                                    "- bundle_id: \"e\"\n  device_uid: \"d\"\n"
                                                    "  volume: 0,5\n"
                                                    "- bundle_id: \"f\"\n  device_uid: \"d\"\n"
                                                    "  volume: 2.5e-1\n"
                                                    "- bundle_id: \"no device\"\n"
                                                    "  volume: 0.5\n"
                                                    "- device_uid: \"no bundle\"\n"
                                                    "-\n  bundle_id: \"g\"\n  device_uid: \"\"\n");
    EXPECT_THAT(routing.routes, ElementsAre(FieldsAre("a", "d", 1.0f), FieldsAre("b", "d", 1.0f),
                                            FieldsAre("c", "d", 0.0f), FieldsAre("e", "d", 1.0f),
                                            FieldsAre("f", "d", 0.25f), FieldsAre("g", "", 1.0f)));
}

TEST(DriverRouting, EscapedNamesMatchTheirApplicationsAndDevices) {
    // As the program quotes them: backslash and double quote escaped, nothing else.
    DriverMix mix;
    mix.setRouteText("devices:\n- uid: \"USB \\\"Pro\\\" \\\\ 2\"\n  enabled: true\n"
                     "app_routes:\n- bundle_id: \"com.odd\\\\\\\"app\"\n"
                     "  device_uid: \"USB \\\"Pro\\\" \\\\ 2\"\n  volume: 1.000000\n");
    mix.setApps({app("com.odd\\\"app", 1000, 0.5)});
    EXPECT_NEAR(amplitudeAt(render(mix, kFrames), 0, 1000), 0.5, 1e-4);
}

TEST(DriverRouting, SectionsAndRecordBoundaries) {
    // Any other key at the left margin ends a section; keys before any record are ignored.
    const DriverRouting routing = readDriverRouting("uid: \"stray\"\n"
                                                    "devices: []\n"
                                                    "  uid: \"before any dash\"\n"
                                                    "  - uid: \"indented\"\n"
                                                    "    enabled: true\n"
                                                    "other:\n"
                                                    "- uid: \"not a device\"\n"
                                                    "app_routes:\n"
                                                    "- bundle_id: \"a\"\n"
                                                    "  device_uid: \"indented\"\n"
                                                    "- bundle_id: \"a\"\n"
                                                    "  device_uid: \"x:y\"\n");
    EXPECT_THAT(routing.buses, ElementsAre("indented"));
    EXPECT_THAT(routing.routes,
                ElementsAre(FieldsAre("a", "indented", 1.0f), FieldsAre("a", "x:y", 1.0f)));
    // An application routed twice takes its last route.
    DriverMix mix;
    mix.setRouteText("devices:\n" + deviceText("x:y", true, 0) + deviceText("indented", true, 1) +
                     "app_routes:\n" + routeText("a", "indented", "1.0") +
                     routeText("a", "x:y", "1.0"));
    mix.setApps({app("a", 1000, 0.5)});
    EXPECT_THAT(soundingChannels(render(mix, kFrames)), ElementsAre(0, 1));
    // A device listed twice has two buses; its applications play on the first.
    mix.setRouteText("devices:\n" + deviceText("other", true, 1) + deviceText("twice", true, 0) +
                     deviceText("twice", true, 2) + "app_routes:\n" +
                     routeText("a", "twice", "1.0"));
    EXPECT_THAT(soundingChannels(render(mix, kFrames)), ElementsAre(0, 1));
}

} // namespace
