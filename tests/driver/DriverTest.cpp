// Sonarill.driver called through the plug-in interface, as the audio server calls it.
#include "driver/DriverHost.h"
#include "routing/ConfigText.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

constexpr AudioObjectPropertyScope G = kAudioObjectPropertyScopeGlobal,
                                   I = kAudioObjectPropertyScopeInput,
                                   O = kAudioObjectPropertyScopeOutput;

struct Dev {
    const char* uid;
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

TEST(DriverProperties, AnswerSizeSettabilityAndStatusAsTheHALExpects) {
    const DriverHost host;
    CFStringRef ourUID =
        CFStringCreateWithCString(nullptr, "Sonarill_OutputDevice", kCFStringEncodingUTF8);
    CFStringRef otherUID =
        CFStringCreateWithCString(nullptr, "BuiltInSpeakers", kCFStringEncodingUTF8);
    struct Row {
        AudioObjectID object;
        const char* selector;
        AudioObjectPropertyScope scope;
        OSStatus status;
        UInt32 size = 0;
        double number = NAN; // the (first) number; a stream format's channel count
        const char* text = nullptr;
        bool settable = false;
        CFStringRef qualifier = nullptr;
    };
    const OSStatus unknown = kAudioHardwareUnknownPropertyError;
    // clang-format off
    const Row rows[] = {
        {1, "clas", G, noErr, 4, fourCC("aplg")},  {1, "stdv", G, noErr, 4, 0},
        {1, "ownd", G, noErr, 4, kDevice},         {1, "dev#", G, noErr, 4, kDevice},
        {1, "lnam", G, noErr, 8, NAN, "Sonarill"}, {1, "uidd", G, noErr, 4, kDevice, {}, {}, ourUID},
        {1, "uidd", G, noErr, 4, 0, {}, {}, otherUID}, {1, "uid ", G, unknown},
        {2, "bcls", G, noErr, 4, fourCC("aobj")},  {2, "clas", G, noErr, 4, fourCC("adev")},
        {2, "stdv", G, noErr, 4, 1},               {2, "ownd", G, noErr, 8, kOutputStream},
        {2, "lnam", G, noErr, 8, NAN, "Sonarill"}, {2, "uid ", G, noErr, 8, NAN, "Sonarill_OutputDevice"},
        {2, "tran", G, noErr, 4, fourCC("virt")},  {2, "livn", G, noErr, 4, 1},
        {2, "goin", G, noErr, 4, 0},               {2, "dflt", O, noErr, 4, 1},
        {2, "sflt", O, noErr, 4, 1},               {2, "dflt", I, noErr, 4, 0}, // not a microphone
        {2, "ltnc", O, noErr, 4, 0},               {2, "saft", O, noErr, 4, 0},
        {2, "stm#", G, noErr, 8, kOutputStream},   {2, "stm#", I, noErr, 4, kInputStream},
        {2, "stm#", O, noErr, 4, kOutputStream},   {2, "nsrt", G, noErr, 8, 48000},
        {2, "nsr#", G, noErr, 16, 48000},          {2, "ring", G, noErr, 4},
        {2, "cust", G, noErr, 12, kRouteConfig},   {2, "snrc", G, noErr, 8, NAN, "", true},
        {2, "snrc", O, unknown},                   {2, "zzzz", G, unknown},
        {3, "sdir", G, noErr, 4, 0},               {4, "sdir", G, noErr, 4, 1},
        {3, "sact", G, noErr, 4, 1},               {4, "schn", G, noErr, 4, 1},
        {3, "stdv", G, noErr, 4, kDevice},         {3, "ltnc", G, noErr, 4, 0},
        {3, "sfmt", G, noErr, 40, 2},              {4, "pft ", G, noErr, 40, 16},
        {3, "sfma", G, noErr, 56, 2},              {4, "pfta", G, noErr, 56, 16},
        {99, "clas", G, kAudioHardwareBadObjectError},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.object) + " '" + row.selector + "' scope " +
                     std::to_string(row.scope));
        const AudioObjectPropertyAddress address{fourCC(row.selector), row.scope, 0};
        const UInt32 qualifierSize = row.qualifier != nullptr ? sizeof(CFStringRef) : 0;
        const auto get = [&](UInt32 capacity, UInt32& size, void* data) {
            return host->GetPropertyData(host.ref(), row.object, 0, &address, qualifierSize,
                                         &row.qualifier, capacity, &size, data);
        };
        EXPECT_EQ(host->HasProperty(host.ref(), row.object, 0, &address), row.status == noErr);
        Boolean settable = 7;
        EXPECT_EQ(host->IsPropertySettable(host.ref(), row.object, 0, &address, &settable),
                  row.status);
        UInt32 size = 0, written = 0;
        EXPECT_EQ(host->GetPropertyDataSize(host.ref(), row.object, 0, &address, qualifierSize,
                                            &row.qualifier, &size),
                  row.status);
        if (row.status != noErr)
            continue;
        EXPECT_EQ(settable, row.settable);
        EXPECT_EQ(size, row.size);
        alignas(8) std::array<unsigned char, 64> data{};
        ASSERT_EQ(get(size, written, data.data()), noErr);
        EXPECT_EQ(written, size);
        if (row.text != nullptr) {
            CFStringRef text = nullptr;
            std::memcpy(&text, data.data(), sizeof text);
            EXPECT_EQ(utf8(text), row.text);
            CFRelease(text);
        } else if (!std::isnan(row.number)) { // a rate is a Float64; a format's channels at 28
            UInt32 number = 0;
            std::memcpy(&number, data.data() + (size >= 40 ? 28 : 0), 4);
            EXPECT_EQ(row.number == 48000 ? *reinterpret_cast<Float64*>(data.data()) : number,
                      row.number);
        }
        // One byte short: a list gives the items that fit, any other value is refused.
        const bool isList = std::string("ownd dev# stm# nsr# cust sfma pfta").find(row.selector) !=
                            std::string::npos;
        EXPECT_EQ(get(size - 1, written, data.data()),
                  isList ? OSStatus(noErr) : kAudioHardwareBadPropertySizeError);
        EXPECT_TRUE(!isList || written < size);
    }
    CFRelease(ourUID);
    CFRelease(otherUID);
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

TEST(DriverClientMix, EachClientPlaysOnItsRoutesBusAtItsVolume) {
    struct Client {
        UInt32 id;
        std::optional<std::string> bundleId; // none: a client without a bundle identifier
        bool remove = false;
    };
    // Clients first to last, "appN", each routed to B at 0.5 and playing 0.01.
    const auto many = [](UInt32 first, UInt32 last, std::vector<Client> clients = {}) {
        for (UInt32 id = first; id <= last; ++id)
            clients.push_back({id, "app" + std::to_string(id)});
        return clients;
    };
    const auto playing = [](UInt32 first, UInt32 last, std::vector<ClientOutput> plays = {}) {
        for (UInt32 id = first; id <= last; ++id)
            plays.push_back({id, 0.01f, -0.01f});
        return plays;
    };
    std::vector<routing::PersistedAppRoute> manyRoutes;
    for (const Client& client : many(1, 66))
        manyRoutes.push_back({*client.bundleId, "B", 0.5f});
    const std::string manyOnB = config({{"A", true, 0}, {"B", true, 1}}, manyRoutes);
    auto reused = many(1, 64);
    reused.insert(reused.end(), {{1, {}, true}, {2, {}, true}});
    reused = many(65, 66, reused);
    const std::string two =
        config({{"A", true, 0}, {"B", true, 1}},
               {{"com.apple.Music", "A", 0.5f}, {"com.apple.podcasts", "B", 0.25f}});
    const std::vector<Client> musicAndPodcasts = {{1, "com.apple.Music"},
                                                  {2, "com.apple.podcasts"}};
    struct Row {
        const char* name;
        std::string text;
        std::vector<Client> clients;
        std::vector<ClientOutput> plays;
        std::array<float, 8> levels;
        UInt32 frames = kPeriod;
    };
    // clang-format off
    const Row rows[] = {
        {"two clients on two buses at their route volumes", two, musicAndPodcasts, {{1, 0.8f, -0.8f}, {2, 0.4f, -0.4f}}, {0.4f, 0.1f}},
        {"more frames than the nominal period", two, musicAndPodcasts, {{1, 0.8f, -0.8f}, {2, 0.4f, -0.4f}}, {0.4f, 0.1f}, 4 * kPeriod},
        {"buses in ascending sort order, ties in text order, disabled devices skipped",
         config({{"C", true, 5}, {"X", false, 0}, {"A", true, 1}, {"B", true, 1}}, {{"com.apple.Music", "C", 1.0f}, {"com.apple.podcasts", "B", 1.0f}}),
         musicAndPodcasts, {{1, 0.5f, -0.5f}, {2, 0.25f, -0.25f}}, {0.0f, 0.25f, 0.5f}},
        {"the browser's helper and hosted app play under the browser's route",
         config({{"A", true, 0}, {"B", true, 1}}, {{"com.google.Chrome", "B", 0.5f}}),
         {{1, "com.google.Chrome.helper.renderer"}, {2, "com.google.Chrome.app.mail"}}, {{1, 0.6f, -0.6f}, {2, 0.2f, -0.2f}}, {0.0f, 0.4f}},
        {"unrouted, nameless, or routed to a disabled device: bus 0 at full volume",
         config({{"A", true, 0}, {"B", false, 1}}, {{"com.apple.Music", "B", 0.3f}}),
         {{1, "com.apple.Music"}, {2, "org.unrouted"}, {3, std::nullopt}}, {{1, 0.2f, -0.2f}, {2, 0.1f, -0.1f}, {3, 0.05f, -0.05f}}, {0.35f}},
        {"a later route to a disabled device replaces an earlier one: bus 0",
         config({{"A", true, 0}, {"B", true, 1}, {"X", false, 2}}, {{"com.apple.Music", "B", 0.5f}, {"com.apple.Music", "X", 0.5f}}),
         {{1, "com.apple.Music"}}, {{1, 0.4f, -0.4f}}, {0.4f}},
        {"a client the driver never met plays on bus 0", kMusicOnB, {{1, "com.apple.Music"}}, {{1, 0.5f, -0.5f}, {77, 0.25f, -0.25f}}, {0.25f, 0.25f}},
        {"32 clients", manyOnB, many(1, 32), playing(1, 32), {0.0f, 0.16f}},
        {"more clients than slots: the extra ones on bus 0", manyOnB, many(1, 66), playing(1, 66), {0.02f, 0.32f}},
        {"slots of removed clients are taken again", manyOnB, reused, playing(3, 66), {0.0f, 0.32f}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DriverHost host;
        ASSERT_EQ(host.pushRouteText(row.text), noErr);
        for (const Client& client : row.clients) {
            if (client.remove)
                host.removeClient(client.id);
            else
                host.addClient(client.id, client.bundleId ? client.bundleId->c_str() : nullptr);
        }
        const auto levels = busLevels(host, row.plays, row.frames);
        for (size_t bus = 0; bus < 8; ++bus)
            EXPECT_NEAR(levels[bus], row.levels[bus], 1e-5) << "bus " << bus;
    }
}

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
