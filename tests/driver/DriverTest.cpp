// Sonarill.driver called through the plug-in interface, as the audio server calls it.
#include "driver/DriverHost.h"
#include "routing/ConfigText.h"
#include "support/DataRows.h"
#include "support/FileBytes.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using nlohmann::json;

constexpr AudioObjectPropertyScope G = kAudioObjectPropertyScopeGlobal,
                                   I = kAudioObjectPropertyScopeInput,
                                   O = kAudioObjectPropertyScopeOutput;

struct Dev {
    std::string uid;
    bool enabled;
    int64_t sortOrder;
};
std::string config(const std::vector<Dev>& devices,
                   const std::vector<routing::PersistedAppRoute>& routes) {
    routing::PersistedConfig records{{}, routes};
    for (const Dev& d : devices)
        records.devices.push_back({d.uid, d.uid, std::nullopt, d.enabled, d.sortOrder, 1.0f});
    return routing::makeConfigYAML(records);
}

// Each row of tests/scenarios/driver/properties.json: what the driver answers for one property of
// one of its objects, as the README there says.
TEST(DriverProperties, AnswerSizeSettabilityAndStatusAsTheHALExpects) {
    const DriverHost host;
    const std::map<std::string, AudioObjectPropertyScope> scopes = {
        {"global", G}, {"input", I}, {"output", O}};
    const std::map<std::string, OSStatus> statuses = {
        {"ok", noErr},
        {"unknown", kAudioHardwareUnknownPropertyError},
        {"badObject", kAudioHardwareBadObjectError}};
    for (const json& row : json::parse(readBytes(SONARILL_TABLES "/properties.json"))) {
        SCOPED_TRACE(row.dump());
        knownKeysOnly(row, {"on", "get", "scope", "status", "size", "number", "text", "settable",
                            "qualifier", "list", "why"});
        const AudioObjectID object = row.at("on");
        const AudioObjectPropertyAddress address{fourCC(row.at("get").get<std::string>().c_str()),
                                                 scopes.at(row.value("scope", "global")), 0};
        const OSStatus status = statuses.at(row.value("status", "ok"));
        CFStringRef qualifier =
            row.contains("qualifier")
                ? CFStringCreateWithCString(nullptr, row["qualifier"].get<std::string>().c_str(),
                                            kCFStringEncodingUTF8)
                : nullptr;
        const std::unique_ptr<const void, void (*)(CFTypeRef)> owner(qualifier, CFRelease);
        const UInt32 qualifierSize = qualifier != nullptr ? sizeof qualifier : 0;
        const auto get = [&](UInt32 capacity, UInt32& size, void* data) {
            return host->GetPropertyData(host.ref(), object, 0, &address, qualifierSize, &qualifier,
                                         capacity, &size, data);
        };
        EXPECT_EQ(host->HasProperty(host.ref(), object, 0, &address), status == noErr);
        Boolean settable = 7;
        EXPECT_EQ(host->IsPropertySettable(host.ref(), object, 0, &address, &settable), status);
        UInt32 size = 0, written = 0;
        EXPECT_EQ(host->GetPropertyDataSize(host.ref(), object, 0, &address, qualifierSize,
                                            &qualifier, &size),
                  status);
        if (status != noErr)
            continue;
        EXPECT_EQ(settable, row.value("settable", false));
        EXPECT_EQ(size, row.at("size").get<UInt32>());
        alignas(8) std::array<unsigned char, 64> data{};
        ASSERT_EQ(get(size, written, data.data()), noErr);
        EXPECT_EQ(written, size);
        if (row.contains("text")) {
            CFStringRef text = nullptr;
            std::memcpy(&text, data.data(), sizeof text);
            EXPECT_EQ(utf8(text), row["text"].get<std::string>());
            CFRelease(text);
        } else if (row.contains("number")) { // a rate is a Float64; a format's channels at 28
            const json& number = row["number"];
            const double expected = number.is_string() ? fourCC(number.get<std::string>().c_str())
                                                       : number.get<double>();
            UInt32 value = 0;
            std::memcpy(&value, data.data() + (size >= 40 ? 28 : 0), 4);
            EXPECT_EQ(expected == 48000 ? *reinterpret_cast<Float64*>(data.data()) : value,
                      expected);
        }
        // One byte short: a list gives the items that fit, any other value is refused.
        const bool isList = row.value("list", false);
        EXPECT_EQ(get(size - 1, written, data.data()),
                  isList ? OSStatus(noErr) : kAudioHardwareBadPropertySizeError);
        EXPECT_TRUE(!isList || written < size);
    }
}

// Each bus's level on the input side one period after the clients played constant levels (left L,
// right -L), the same on every frame; and the same place of the loopback, a long while later with
// nothing mixed, reads as silence rather than as the old period.
std::array<float, 8> busLevels(const DriverHost& host, const std::vector<ClientOutput>& plays,
                               UInt32 frames = kPeriod, Float64 start = 0) {
    (void)host.cycle(0, start, frames, plays);
    const std::vector<float> input = host.cycle(1, start + kPeriod, frames, plays);
    std::array<float, 8> levels{};
    for (UInt32 bus = 0; bus < 8; ++bus) {
        levels[bus] = input[2 * bus];
        int differing = 0;
        for (UInt32 i = 0; i < frames; ++i)
            differing += input[i * 16 + 2 * bus] != levels[bus] ||
                         input[i * 16 + 2 * bus + 1] != -levels[bus];
        EXPECT_EQ(differing, 0) << "frames of bus " << bus << " that differ from its first";
    }
    const std::vector<float> later = host.cycle(2, start + (1 << 20) + kPeriod, frames, {});
    EXPECT_EQ(later, std::vector<float>(later.size(), 0.0f)) << "a stale period came back";
    return levels;
}

const std::string kMusicOnB =
    config({{"A", true, 0}, {"B", true, 1}}, {{"com.apple.Music", "B", 0.5f}});

TEST(DriverRouteConfig, IsReadBackAsSetKeptAcrossARestartAndATextTheReaderRefusesChangesNothing) {
    struct Row {
        const char* name;
        std::optional<std::string> text; // none: a null reference
        OSStatus status;
        UInt32 size = sizeof(CFStringRef);
    };
    const OSStatus refused = kAudioHardwareIllegalOperationError;
    const Row rows[] = {
        {"another configuration", config({{"B", true, 0}}, {{"com.apple.Music", "B", 1.0f}}),
         noErr},
        {"an empty text: no devices, no routes", "", noErr},
        {"a text with neither section", "hello: world\n", refused},
        {"broken JSON", "{\"devices\": [", refused},
        {"a null reference", std::nullopt, refused},
        {"the wrong size", kMusicOnB, kAudioHardwareBadPropertySizeError, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<DriverHost> running(std::in_place);
        const DriverHost& host = *running;
        host.addClient(1, "com.apple.Music");
        ASSERT_EQ(host.pushRouteText(kMusicOnB), noErr);
        const auto before = busLevels(host, {{1, 0.5f, -0.5f}});
        ASSERT_EQ(before[1], 0.25f);
        EXPECT_EQ(host.pushRouteText(row.text, row.size), row.status);
        const bool accepted = row.status == noErr;
        EXPECT_EQ(host.routeText(), accepted ? *row.text : kMusicOnB);
        EXPECT_EQ(std::count(host.announced.begin(), host.announced.end(), kRouteConfig),
                  accepted ? 2 : 1);
        EXPECT_TRUE(accepted || busLevels(host, {{1, 0.5f, -0.5f}}, kPeriod, 1 << 22) == before);
        running.reset();
        const DriverHost restarted(true); // the audio server restarted: the last accepted text
        EXPECT_EQ(restarted.routeText(), accepted ? *row.text : kMusicOnB);
    }
}

// A row's list, where {"apps": [first, last], ...} stands for one item per application "app<N>".
json expanded(const json& items, const std::function<json(UInt32 id, const json& item)>& each) {
    json all = json::array();
    for (const json& item : items) {
        if (!item.is_object() || !item.contains("apps"))
            all.push_back(item);
        else
            for (UInt32 id = item["apps"].at(0); id <= item["apps"].at(1).get<UInt32>(); ++id)
                all.push_back(each(id, item));
    }
    return all;
}

// Each row of tests/scenarios/driver/client-mix.json: the configuration pushed, the clients added
// and removed in order, and what each bus carries one period after they played.
class DriverClientMix : public ::testing::TestWithParam<DataRow> {};

TEST_P(DriverClientMix, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row,
                  {"name", "why", "devices", "routes", "clients", "plays", "frames", "levels"});
    const auto app = [](UInt32 id) { return "app" + std::to_string(id); };
    std::vector<Dev> devices;
    for (const json& d : row.at("devices"))
        devices.push_back({d.at(0).get<std::string>(), d.at(1).get<bool>(), d.at(2).get<int>()});
    std::vector<routing::PersistedAppRoute> routes;
    for (const json& r : expanded(row.at("routes"), [&](UInt32 id, const json&item) {
             return json{app(id), item.at("device"), item.at("volume")};
         }))
        routes.push_back({r.at(0).get<std::string>(), r.at(1).get<std::string>(), r.at(2)});
    const DriverHost host;
    ASSERT_EQ(host.pushRouteText(config(devices, routes)), noErr);
    for (const json& c : expanded(row.at("clients"), [&](UInt32 id, const json&) {
             return json{id, app(id)};
         })) {
        if (c.is_object())
            host.removeClient(c.at("remove"));
        else
            host.addClient(c.at(0), c.at(1).is_null() ? nullptr : c[1].get<std::string>().c_str());
    }
    std::vector<ClientOutput> plays;
    for (const json& p : expanded(row.at("plays"), [](UInt32 id, const json&item) {
             return json{id, item.at("level")};
         }))
        plays.push_back({p.at(0), p.at(1), -p.at(1).get<float>()});
    const auto levels = busLevels(host, plays, row.value("frames", kPeriod));
    const std::vector<float> expected = row.at("levels");
    for (size_t bus = 0; bus < levels.size(); ++bus)
        EXPECT_NEAR(levels[bus], bus < expected.size() ? expected[bus] : 0.0f, 1e-5)
            << "bus " << bus;
}

INSTANTIATE_TEST_SUITE_P(DriverClientMix, DriverClientMix,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/client-mix.json")),
                         rowName);

// Pushes, and clients coming and going, on this thread while another runs IO cycles: every period
// the input side reads is wholly one table's mix, never some clients moved and others not.
TEST(DriverConcurrency, APushWhileIORunsSwitchesTheMixAtAPeriodBoundary) {
    const DriverHost host;
    const auto bothOn = [](const char* uid) {
        return config({{"A", true, 0}, {"B", true, 1}},
                      {{"com.apple.Music", uid, 1.0f}, {"com.apple.podcasts", uid, 1.0f}});
    };
    ASSERT_EQ(host.pushRouteText(bothOn("A")), noErr);
    host.addClient(1, "com.apple.Music");
    host.addClient(2, "com.apple.podcasts");
    ASSERT_EQ(host->StartIO(host.ref(), kDevice, 1), noErr);
    std::atomic<bool> stop{false};
    std::atomic<int> onA{0}, onB{0}, torn{0};
    std::thread io([&] {
        std::vector<float> input(kPeriod * 16), output(kPeriod * 2);
        for (UInt64 n = 0; !stop; ++n) {
            host.cycle(n, Float64(n * kPeriod), kPeriod, {{1, 0.25f, -0.25f}, {2, 0.5f, -0.5f}},
                       input, output);
            const float a = input[0], b = input[2];
            if (n > 0)
                (a == 0.75f && b == 0.0f ? onA : a == 0.0f && b == 0.75f ? onB : torn)++;
            for (UInt32 i = 1; n > 0 && i < kPeriod; ++i)
                torn += input[i * 16] != a || input[i * 16 + 2] != b;
        }
    });
    for (int push = 0; push < 300 || (push < 3000 && (onA == 0 || onB == 0)); ++push) {
        EXPECT_EQ(host.pushRouteText(bothOn(push % 2 ? "B" : "A")), noErr);
        host.addClient(3 + push % 4, "org.example.silent");
        host.removeClient(3 + (push + 2) % 4);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    io.join();
    EXPECT_EQ(host->StopIO(host.ref(), kDevice, 1), noErr);
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(onA > 0 && onB > 0) << "the mix was switched both ways";
}

TEST(DriverClock, StampsFollowTheHostClockAtTheNominalRateAndTheSeedMarksARestart) {
    const DriverHost host;
    const UInt32 period = host.number(fourCC("ring"));
    struct Stamp {
        Float64 sampleTime = -1;
        UInt64 hostTime = 0, seed = 0;
    };
    const auto stamp = [&] {
        Stamp s;
        EXPECT_EQ(
            host->GetZeroTimeStamp(host.ref(), kDevice, 0, &s.sampleTime, &s.hostTime, &s.seed),
            noErr);
        return s;
    };
    ASSERT_EQ(host->StartIO(host.ref(), kDevice, 1), noErr);
    const Stamp first = stamp();
    ASSERT_EQ(host->StartIO(host.ref(), kDevice, 2), noErr); // a second client: the same time line
    std::this_thread::sleep_for(std::chrono::duration<double>(3.5 * period / 48000.0));
    const Stamp later = stamp();
    EXPECT_EQ(later.seed, first.seed);
    EXPECT_EQ(std::fmod(later.sampleTime, period), 0.0);
    EXPECT_GE(later.sampleTime - first.sampleTime, 3.0 * period);
    EXPECT_NEAR(double(later.hostTime - first.hostTime) / (later.sampleTime - first.sampleTime),
                1e9 / 48000.0, 0.01);
    EXPECT_EQ(host->StopIO(host.ref(), kDevice, 1), noErr);
    EXPECT_EQ(host.number(fourCC("goin")), 1u);
    EXPECT_EQ(stamp().seed, first.seed);
    (void)host.cycle(0, 0, kPeriod, {{9, 0.5f, 0.5f}});
    EXPECT_EQ(host->StopIO(host.ref(), kDevice, 2), noErr);
    EXPECT_EQ(host.number(fourCC("goin")), 0u);
    ASSERT_EQ(host->StartIO(host.ref(), kDevice, 1), noErr);
    const Stamp restarted = stamp();
    EXPECT_NE(restarted.seed, first.seed);
    EXPECT_EQ(restarted.sampleTime, 0.0);
    EXPECT_GE(restarted.hostTime, later.hostTime);
    const std::vector<float> input = host.cycle(1, kPeriod, kPeriod, {});
    EXPECT_EQ(input, std::vector<float>(input.size(), 0.0f)) << "the old time line's mix came back";
    EXPECT_EQ(host->StopIO(host.ref(), kDevice, 1), noErr);
}

} // namespace
