// The forwarder against the simulated audio system on the manual clock, as the tables in
// tests/scenarios/forwarder say: what each device plays, the log lines, the clean-up of every
// failed start, and the buffer frame sizes given back.

#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "sim/Control.h"
#include "sim/ToneQuality.h"
#include "support/DataRows.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>

// The units that exist: the executable links with GNU ld's --wrap for both calls, so every unit
// the forwarder makes and disposes of is counted. The nth creation from a call of
// failUnitCreation fails, once: the simulation's faults cannot tell one creation from the next.
namespace {
std::atomic<int> gLiveUnits{0}, gCreationsBeforeFailure{0};
} // namespace

extern "C" {
OSStatus __real_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out);
OSStatus __real_AudioComponentInstanceDispose(AudioComponentInstance unit);
OSStatus __wrap_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out) {
    if (gCreationsBeforeFailure.load() > 0 && --gCreationsBeforeFailure == 0)
        return kAudio_ParamError;
    const OSStatus status = __real_AudioComponentInstanceNew(component, out);
    gLiveUnits += status == noErr;
    return status;
}
OSStatus __wrap_AudioComponentInstanceDispose(AudioComponentInstance unit) {
    const OSStatus status = __real_AudioComponentInstanceDispose(unit);
    gLiveUnits -= status == noErr; // a handle that is no unit counts nothing
    return status;
}
}

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using nlohmann::json;

const auto* const home = addScratchHome();

// [uid, bus, volume], the volume a number or "nan".
forwarder::OutputRoute routeOf(const json& route) {
    if (route.size() != 3)
        throw std::runtime_error("a route is [uid, bus, volume], not " + route.dump());
    const json& volume = route[2];
    return {route[0].get<std::string>(), route[1].get<int64_t>(),
            volume == "nan" ? std::numeric_limits<float>::quiet_NaN() : volume.get<float>()};
}

// At the first HAL call that `during` names (call, device, selector): unplugs that device, or
// runs the clock 0.1 s, in which the device must play. `happened` says it came and went so.
void hookOnce(const json& during, std::optional<bool>& happened) {
    knownKeysOnly(during, {"call", "uid", "selector", "then"});
    const auto call = sim::audioCallFromName(during.at("call").get<std::string>());
    const auto selector = sim::fourCharCodeFromText(during.at("selector").get<std::string>());
    const std::string uid = during.at("uid"), then = during.at("then");
    if (!call || !selector || (then != "unplug" && then != "plays"))
        throw std::runtime_error("no such call, selector or action in " + during.dump());
    sim::setCallHook([=, &happened, object = deviceID(uid)](const sim::CallInfo& info) {
        if (happened || info.call != *call || info.object != object ||
            info.address.mSelector != *selector)
            return;
        if (then == "unplug") {
            happened = bool(sim::removeDeviceByUID(uid));
            return;
        }
        const UInt64 before = sim::framesPlayed(uid);
        sim::advanceTimeline(0.1);
        happened = sim::framesPlayed(uid) > before;
    });
}

// The driver plays an application without a route on bus 0, so only the two whose buses the
// tables listen to run: Music (440 Hz) on bus 0, Podcasts (550 Hz) on bus 1.
sim::World musicAndPodcasts() {
    sim::World world = worldWithDriver();
    std::erase_if(world.apps, [](const sim::App& app) {
        return app.bundleId != "com.apple.Music" && app.bundleId != "com.apple.podcasts";
    });
    return world;
}

class ForwarderTable : public ::testing::TestWithParam<DataRow> {
protected:
    void runStep(const json& step);
    void checkDrift(const std::string& uid, const json& expected);

    ScopedSimWorld world{musicAndPodcasts(), sim::TimelineClock::manual};
    json told = json::array(); // the frame size records, as the observer hears them
    std::map<std::string, uint32_t> kept;
    const int unitsBefore = gLiveUnits.load(); // a unit another test left is not this one's
    forwarder::AudioForwarder forwarder; // stopped, telling the observer, before the rest goes
};

TEST_P(ForwarderTable, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "plugin", "steps"});
    if (row.contains("plugin")) {
        sim::World changed = musicAndPodcasts();
        changed.plugin = worldFromJSON(json{{"plugin", row["plugin"]}}.dump()).plugin;
        ASSERT_TRUE(sim::resetWorld(changed, sim::TimelineClock::manual));
    }
    // The applications play into the virtual device, the default output once the application
    // has taken it.
    if (deviceID(std::string(sim::kVirtualDeviceUID)) != kAudioObjectUnknown) {
        pushRouteText(routeText({kSpeakersUID, kHDMIUID}, {{"com.apple.Music", kSpeakersUID},
                                                           {"com.apple.podcasts", kHDMIUID}}));
        ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice,
                                          sim::kVirtualDeviceUID));
    }
    forwarder.setFrameSizeRecordObserver([&](const std::string& uid, std::optional<uint32_t> size) {
        told.push_back(json::array({uid, size ? json(*size) : json()}));
        size ? void(kept[uid] = *size) : void(kept.erase(uid));
    });
    for (size_t i = 0; i < row.at("steps").size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        runStep(row["steps"][i]);
    }
}

void ForwarderTable::runStep(const json& step) {
    knownKeysOnly(step, {"why",        "setFrameSizes", "faults",   "failUnitCreation",
                         "during",     "routes",        "ok",       "stop",
                         "log",        "logHas",        "told",     "units",
                         "frameSizes", "pipelines",     "outputs",  "volumes",
                         "clocks",     "stall",         "advance",  "heard",
                         "silent",     "drift",         "toneNoise"});
    for (const auto& [uid, size] : memberOrNull(step, "setFrameSizes").items())
        EXPECT_EQ(audio::writeUInt32Property(deviceID(uid), kAudioDevicePropertyBufferFrameSize,
                                             size.get<UInt32>()),
                  noErr);
    for (const sim::Fault& fault :
         worldFromJSON(json{{"faults", step.value("faults", json::array())}}.dump()).faults)
        sim::injectFault(fault);
    gCreationsBeforeFailure = step.value("failUnitCreation", 0);
    std::optional<bool> happened;
    if (step.contains("during"))
        hookOnce(step["during"], happened);

    told = json::array();
    const LogCapture log;
    if (step.contains("routes")) {
        std::vector<forwarder::OutputRoute> routes;
        for (const json& route : step["routes"])
            routes.push_back(routeOf(route));
        EXPECT_EQ(forwarder.setOutputRoutes(routes), step.at("ok").get<bool>());
    } else if (step.value("stop", false)) {
        forwarder.stop();
    }
    // What the call did is what counts: a fault or hook left in place would fail the checks.
    sim::clearFaults();
    sim::setCallHook({});
    gCreationsBeforeFailure = 0;

    if (step.contains("during")) {
        EXPECT_EQ(happened, true) << "the call came, and the device played or went meanwhile";
    }
    EXPECT_EQ(kept, forwarder.originalOutputBufferFrameSizes()) << "the observer heard each record";
    if (step.contains("log")) {
        EXPECT_TRUE(linesAre(log.messages(), step["log"]));
    }
    for (const json& line : memberOrNull(step, "logHas"))
        EXPECT_TRUE(log.contains(line.get<std::string>())) << line;
    if (step.contains("told")) {
        EXPECT_EQ(told.dump(), step["told"].dump());
    }
    if (step.contains("units")) {
        EXPECT_EQ(gLiveUnits.load() - unitsBefore, step["units"].get<int>())
            << "units made and not disposed of";
    }
    for (const auto& [uid, size] : memberOrNull(step, "frameSizes").items()) {
        if (size.is_null()) {
            EXPECT_EQ(deviceID(uid), kAudioObjectUnknown) << uid << " is gone";
        } else {
            EXPECT_EQ(bufferFrameSize(uid), size.get<UInt32>()) << uid;
        }
    }
    if (step.contains("pipelines")) {
        json buses = json::object();
        for (const sim::Device& device : sim::devices())
            if (const auto bus = forwarder.pipelineBus(device.uid))
                buses[device.uid] = *bus;
        EXPECT_EQ(buses.dump(), step["pipelines"].dump());
    }
    if (step.contains("outputs")) {
        EXPECT_EQ(json(forwarder.currentOutputUIDs()).dump(), step["outputs"].dump());
    }
    for (const auto& [uid, volume] : memberOrNull(step, "volumes").items())
        EXPECT_EQ(forwarder.pipelineVolume(uid), volume.get<float>()) << uid;

    std::map<std::string, UInt64> playedBefore;
    for (const json& uid : memberOrNull(step, "silent"))
        playedBefore[uid.get<std::string>()] = sim::framesPlayed(uid.get<std::string>());
    for (const auto& [uid, ppm] : memberOrNull(step, "clocks").items())
        EXPECT_TRUE(sim::setDeviceClock(uid, ppm.get<double>())) << uid;
    for (const auto& [uid, seconds] : memberOrNull(step, "stall").items())
        EXPECT_TRUE(sim::stallDevice(uid, seconds.get<double>())) << uid;
    if (step.contains("advance"))
        sim::advanceTimeline(step["advance"].get<double>());
    else if (step.contains("heard") || step.contains("silent"))
        throw std::runtime_error("\"heard\" and \"silent\" need time to \"advance\"");
    for (const auto& [uid, frames] : playedBefore)
        EXPECT_EQ(sim::framesPlayed(uid), frames) << uid << " plays nothing";
    // The amplitude of each tone in what the device played in the last 0.1 s, on both channels.
    for (const auto& [uid, tones] : memberOrNull(step, "heard").items()) {
        for (const auto& [hz, amplitude] : tones.items()) {
            const double expected = amplitude.get<double>();
            for (int channel : {0, 1}) {
                const double heard =
                    amplitudeAt(sim::recentlyPlayed(uid, 4800), channel, std::stod(hz));
                if (expected == 0.0) {
                    EXPECT_LT(heard, 0.001) << uid << " " << hz << " Hz";
                } else {
                    EXPECT_NEAR(heard, expected, 0.01 * expected) << uid << " " << hz << " Hz";
                }
            }
        }
    }
    for (const auto& [uid, expected] : memberOrNull(step, "drift").items())
        checkDrift(uid, expected);
    // THD+N of a tone in the last half second, on both channels: at most the given dB.
    for (const auto& [uid, tones] : memberOrNull(step, "toneNoise").items()) {
        const std::vector<float> played = sim::recentlyPlayed(uid, 24000);
        ASSERT_EQ(played.size(), 48000u) << uid << " played half a second";
        for (const auto& [hz, most] : tones.items()) {
            for (size_t channel : {0, 1})
                EXPECT_LE(sim::toneNoiseDecibels(played.data(), 24000, 2, channel, std::stod(hz)),
                          most.get<double>())
                    << uid << " " << hz << " Hz";
        }
    }
}

// A figure against a row's number (exactly) or [lowest, highest].
void expectWithin(double value, const json& expected, const std::string& what) {
    if (expected.is_array()) {
        EXPECT_GE(value, expected.at(0).get<double>()) << what;
        EXPECT_LE(value, expected.at(1).get<double>()) << what;
    } else {
        EXPECT_EQ(value, expected.get<double>()) << what;
    }
}

void ForwarderTable::checkDrift(const std::string& uid, const json& expected) {
    knownKeysOnly(expected, {"fill", "ppm", "underruns", "overflows", "skips"});
    const std::optional<forwarder::PipelineFigures> figures = forwarder.pipelineFigures(uid);
    ASSERT_TRUE(figures) << uid << " has a pipeline";
    const std::map<std::string, double> values{{"fill", figures->fillFrames},
                                               {"ppm", figures->correctionPpm},
                                               {"underruns", double(figures->underruns)},
                                               {"overflows", double(figures->overflows)},
                                               {"skips", double(figures->skips)}};
    for (const auto& [key, value] : expected.items())
        expectWithin(values.at(key), value, uid + " " + key);
}

INSTANTIATE_TEST_SUITE_P(ForwarderStartFaults, ForwarderTable,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/start-faults.json")),
                         rowName);
INSTANTIATE_TEST_SUITE_P(ForwarderScenarios, ForwarderTable,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/scenarios.json")), rowName);
INSTANTIATE_TEST_SUITE_P(ForwarderDrift, ForwarderTable,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/drift.json")), rowName);

} // namespace
