// The simulated HAL as Core Audio clients see it: statuses, sizes and layouts of properties,
// blocking calls and hangs seen from the callers' threads, and what processes on the simulated
// machine share: a second program's (sonarill-sim's) change of the default heard here, a joining
// process that leaves the system as it finds it, and a world that keeps the shared state or starts
// from its own, and the driver in the plug-in folder.

#include "platform/Process.h"
#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/DefaultWorld.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Listening.h"
#include "support/SimWorld.h"
#include "support/TextTables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>

namespace {

using namespace sonarill::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace sim = sonarill::sim;

constexpr auto kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr auto kDevices = kAudioHardwarePropertyDevices;
constexpr auto kDefaultOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kSystemOutput = kAudioHardwarePropertyDefaultSystemOutputDevice;
constexpr auto kFrames = kAudioDevicePropertyBufferFrameSize;
constexpr auto kTransport = kAudioDevicePropertyTransportType;
constexpr auto kUID = kAudioDevicePropertyDeviceUID;
constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kIllegal = kAudioHardwareIllegalOperationError;

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector,
                              AudioObjectPropertyScope scope = kGlobal, UInt32 element = 0) {
    return {selector, scope, element};
}

OSStatus get(AudioObjectID object, AudioObjectPropertySelector selector, UInt32& value,
             UInt32 size = 4) {
    const auto where = at(selector);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

OSStatus set(AudioObjectID object, AudioObjectPropertySelector selector, UInt32 value,
             UInt32 size = 4) {
    const auto where = at(selector);
    const UInt64 data = value; // room for a larger size
    return AudioObjectSetPropertyData(object, &where, 0, nullptr, size, &data);
}

OSStatus readTransport(AudioObjectID device) {
    UInt32 value = 0;
    return get(device, kTransport, value);
}

// Counts its calls in the std::atomic<int> it is given.
OSStatus countCall(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* counter) {
    ++*static_cast<std::atomic<int>*>(counter);
    return noErr;
}

// A property's size and status, and whether the object has it, as the rows of
// tests/scenarios/sim/property-sizes.json say: [object, selector, scope, element] gives [status,
// size], each written as a number or four characters ("who?").
TEST(HalProperties, SizesAndStatusesFollowObjectScopeAndElement) {
    ScopedSimWorld world;
    const auto code = [](const nlohmann::json& value) {
        return value.is_string() ? sim::fourCharCodeFromText(value.get<std::string>()).value()
                                 : UInt32(value.get<int64_t>());
    };
    const auto sizeOf = [&code](const nlohmann::json& in, const nlohmann::json& gives) {
        const auto where = at(code(in.at(1)), code(in.at(2)), in.at(3));
        UInt32 size = 0;
        const OSStatus status = AudioObjectGetPropertyDataSize(in.at(0), &where, 0, nullptr, &size);
        EXPECT_EQ(std::pair(status, size),
                  std::pair(OSStatus(code(gives.at(0))), UInt32(gives.at(1))));
        EXPECT_EQ(AudioObjectHasProperty(in.at(0), &where), status == noErr);
    };
    runTextTable(SONARILL_TABLES "/property-sizes.json", {{"sizeOf", sizeOf}});
    // A buffer too small for the list is filled as far as it goes, never past its end.
    const auto devices = at(kDevices);
    AudioObjectID ids[3] = {};
    UInt32 size = 2 * sizeof(AudioObjectID) + 3;
    EXPECT_EQ(AudioObjectGetPropertyData(1, &devices, 0, nullptr, &size, ids), noErr);
    EXPECT_EQ(size, 2 * sizeof(AudioObjectID));
    EXPECT_THAT(ids, ::testing::ElementsAre(40, 41, 0));
}

// Writes that take effect are the product's tests' to prove; here, the ones a Mac refuses.
TEST(HalProperties, WritesOutOfRangeAreRefusedAndBadArgumentsAreParameterErrors) {
    ScopedSimWorld world;
    const auto frames = at(kFrames), devices = at(kDevices);
    UInt32 value = 0, four = 4;
    const std::pair<OSStatus, OSStatus> cases[] = {
        {set(kSpeakers, kFrames, 512, 2), kBadSize},
        {set(kSpeakers, kFrames, 0), kIllegal},
        {set(kSpeakers, kFrames, 4097), kIllegal},
        {set(kSpeakers, kTransport, 0), kIllegal},
        // A microphone cannot become the default output; an unknown device is no device.
        {set(1, kDefaultOutput, kMicrophone), kIllegal},
        {set(1, kDefaultOutput, 999), kAudioHardwareBadDeviceError},
        {get(kSpeakers, kFrames, value, 2), kBadSize},
        {get(kSpeakers, kUID, value, 4), kBadSize},
        {AudioObjectGetPropertyData(kSpeakers, nullptr, 0, nullptr, &four, &value),
         kAudio_ParamError},
        {AudioObjectGetPropertyData(kSpeakers, &frames, 4, nullptr, &four, &value),
         kAudio_ParamError},
        {AudioObjectAddPropertyListener(1, &devices, nullptr, nullptr), kAudio_ParamError},
        {AudioObjectRemovePropertyListener(1, &devices, &countCall, nullptr), kIllegal},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    UInt32 output = 0;
    EXPECT_EQ(get(kSpeakers, kFrames, value) + get(1, kDefaultOutput, output), noErr);
    EXPECT_EQ(std::pair(value, output), std::pair(512u, kSpeakers)) << "a refusal changes nothing";
}

AudioObjectID virtualDevice() {
    return deviceID(std::string(sim::kVirtualDeviceUID));
}

OSStatus setRouteConfig(const char* text, UInt32 size = 8) {
    const auto where = at(sim::detail::fourCharCode("snrc"));
    CFStringRef string =
        text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
    const OSStatus status =
        AudioObjectSetPropertyData(virtualDevice(), &where, 0, nullptr, size, &string);
    if (string != nullptr)
        CFRelease(string);
    return status;
}

// An install restarts the server, which numbers its devices anew and loads the driver again; the
// driver starts without a route configuration in a new world and, from what the server stores for
// it, with the last one after a reinstall. A world installs exactly the bundle the build carries.
// That the driver loads a while after the folder changes, that only one that says so has the route
// configuration and that a world without the driver removes it, the installer's and forwarder's
// rows show.
TEST(PluginFolder, AReinstallRestartsTheServerWhichNumbersItsDevicesAnew) {
    sim::World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, sim::TimelineClock::manual);
    const AudioObjectID before = virtualDevice();
    ASSERT_NE(before, kAudioObjectUnknown); // installed at start: loaded with the audio server
    const auto reinstall = [&] {
        ASSERT_TRUE(
            writeDriverBundle(world.halFolder() / "Sonarill.driver", sim::carriedDriverBundle()));
        sim::advanceTimeline(2.0);
    };
    reinstall();
    ASSERT_NE(virtualDevice(), kAudioObjectUnknown);
    EXPECT_NE(virtualDevice(), before);
    EXPECT_FALSE(sim::routeConfigText());
    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # \u00e9\n";
    EXPECT_EQ(setRouteConfig(text.c_str()), noErr);
    EXPECT_EQ(setRouteConfig(nullptr), kIllegal);
    EXPECT_EQ(setRouteConfig("short", 4), kBadSize);
    EXPECT_EQ(sim::routeConfigText(), text);
    reinstall();
    EXPECT_EQ(sim::routeConfigText(), text);

    ASSERT_TRUE(sim::resetWorld(worldWithDriver(), sim::TimelineClock::manual));
    EXPECT_EQ(treeOf(world.halFolder() / "Sonarill.driver"), treeOf(SONARILL_CARRIED_DRIVER_DIR));
    EXPECT_FALSE(sim::routeConfigText());
}

// The audio server loads the bundle's executable and asks the factory its Info.plist names for
// the driver; a bundle where that fails gives no virtual device, until a loadable one replaces it.
// The rows of tests/scenarios/sim/driver-bundles.json are written over the folder's in order.
TEST(PluginFolder, ABundleWhoseDriverCannotBeLoadedGivesNoDevice) {
    sim::World initial = worldWithDriver();
    initial.plugin.installed = false;
    initial.plugin.loadDelay = 0.5;
    ScopedSimWorld world(initial, sim::TimelineClock::manual);
    for (const DataRow& row : readRows(SONARILL_TABLES "/driver-bundles.json")) {
        SCOPED_TRACE("row " + row.name);
        ASSERT_EQ(row.problem, "");
        knownKeysOnly(row.value, {"name", "why", "executable", "factory", "loads"});
        sim::DriverBundle bundle = sim::carriedDriverBundle();
        bundle.executable = row.value.value("executable", bundle.executable);
        bundle.factoryFunction = row.value.value("factory", bundle.factoryFunction);
        ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", bundle));
        sim::checkPluginFolder();
        sim::advanceTimeline(1.0);
        EXPECT_EQ(virtualDevice() != kAudioObjectUnknown, row.value.at("loads").get<bool>());
    }
}

// The virtual device is its driver's: the driver answers what it has, in the HAL's object IDs,
// the HAL its own buffer frame size; the property the driver says changed reaches listeners.
TEST(PluginFolder, TheDriverAnswersTheVirtualDevicesProperties) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    const AudioObjectID device = virtualDevice();
    ASSERT_NE(device, kAudioObjectUnknown);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const auto nominalRate = at(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &nominalRate, 0, nullptr, &size, &rate), noErr);
    EXPECT_EQ(rate, 48000.0);
    AudioObjectID streams[2] = {};
    size = sizeof streams;
    const auto input = at(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &input, 0, nullptr, &size, streams), noErr);
    EXPECT_EQ(size, sizeof(AudioObjectID));
    EXPECT_GT(streams[0], device) << "the HAL's ID, not the driver's";
    UInt32 frames = 0;
    EXPECT_EQ(set(device, kFrames, 1024) + get(device, kFrames, frames), noErr);
    EXPECT_EQ(frames, 1024u);
    Boolean settable = false;
    const auto routeConfig = at(sim::detail::fourCharCode("snrc"));
    EXPECT_EQ(AudioObjectIsPropertySettable(device, &routeConfig, &settable), noErr);
    EXPECT_TRUE(settable);

    std::atomic<int> heard = 0;
    ASSERT_EQ(AudioObjectAddPropertyListener(device, &routeConfig, countCall, &heard), noErr);
    EXPECT_EQ(setRouteConfig("devices:\n  - uid: \"A\"\n"), noErr);
    sim::waitForNotifications();
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &routeConfig, countCall, &heard), noErr);
}

// Resolves once the simulation has seen a call on `object`, so a test knows that a call made on
// another thread is in progress before it checks that the call has not returned.
std::future<void> nextCallOn(AudioObjectID object) {
    auto seen = std::make_shared<std::pair<std::promise<void>, std::once_flag>>();
    auto future = seen->first.get_future();
    sim::setCallHook([seen, object](const sim::CallInfo& call) {
        if (call.object == object)
            std::call_once(seen->second, [&] { seen->first.set_value(); });
    });
    return future;
}

// A blocked call holds only its caller until faults are cleared; a hang holds every caller until
// it ends by itself or faults are cleared. A fault may block first and then fail. Which calls a
// fault hits, the product's tests show with the faults they inject.
TEST(Faults, BlocksHoldOnlyTheirCallerAndHangsHoldEveryCaller) {
    sim::World hanging = sim::defaultWorld();
    hanging.events = {{.at = 1, .kind = sim::EventKind::hang, .seconds = 0.05},
                      {.at = 2, .kind = sim::EventKind::hang, .seconds = 3600}};
    ScopedSimWorld world(hanging, sim::TimelineClock::manual);
    sim::injectFault({.call = sim::AudioCall::getPropertyData, .uid = kHDMIUID, .block = 3600s});
    auto entered = nextCallOn(kHDMI);
    auto blocked = std::async(std::launch::async, [] { return readTransport(kHDMI); });
    entered.wait();
    EXPECT_EQ(readTransport(kSpeakers), noErr); // other calls go through while the first is held
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    sim::clearFaults(); // ends the block early
    EXPECT_EQ(blocked.get(), noErr);
    sim::injectFault({.call = sim::AudioCall::getPropertyData, .status = -1, .block = 1ms});
    EXPECT_EQ(readTransport(kSpeakers), -1);
    sim::clearFaults();

    sim::advanceTimeline(1.0);
    EXPECT_EQ(readTransport(kSpeakers), noErr); // a short hang passes by itself
    sim::advanceTimeline(1.0);
    entered = nextCallOn(kSpeakers);
    auto first = std::async(std::launch::async, [] { return readTransport(kSpeakers); });
    entered.wait();
    auto second = std::async(std::launch::async, [] { return readTransport(kHDMI); });
    EXPECT_EQ(first.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    sim::clearFaults(); // also ends a hang
    EXPECT_EQ(first.get(), noErr);
    EXPECT_EQ(second.get(), noErr);
}

// MARK: What processes share

// The device's buffer frame size; null when there is no such device.
nlohmann::json framesOf(AudioObjectID device) {
    UInt32 frames = 0;
    return get(device, kFrames, frames) == noErr ? nlohmann::json(frames) : nlohmann::json();
}

// What sonarill-sim reported; fails the test when it did not run to its end.
std::string runPeer(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), SONARILL_SIM_TOOL);
    const sonarill::platform::ProgramResult result = sonarill::platform::runProgram(arguments);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    return result.standardError;
}

// That a joining process sees this one's defaults and sizes and sets them back for this one is
// the guard's tests' to prove; here, that this process hears such a change without a HAL call
// of its own (its poll of the shared state tells the listener), and only once.
TEST(SharedSystem, AnotherProcesssChangeOfTheDefaultIsHeardWithoutAHalCall) {
    unsetenv("SONARILL_SIM_WORLD"); // the peer's world: the default
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::realTime);
    ASSERT_TRUE(sim::setDefaultDevice(kDefaultOutput, kHDMIUID));
    sim::waitForNotifications(); // this process's own change is not to be heard below
    std::atomic<int> heard{0};
    const auto defaultOutput = at(kDefaultOutput);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &defaultOutput, countCall, &heard), noErr);
    (void)runPeer({"join", "output", kSpeakersUID});
    eventually([&] { return heard != 0; }, 2s);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), kSpeakersUID);
    EXPECT_EQ(AudioObjectRemovePropertyListener(1, &defaultOutput, countCall, &heard), noErr);
}

// A joining process's world (tests/scenarios/sim/peer-world.json) would remove the plug-in,
// unplug the speakers and move the default output at once; none of that reaches the shared
// system. A process that starts its own world does reset the shared defaults and sizes, as a
// world without keepSystemState says.
TEST(SharedSystem, AJoiningProcessLeavesTheSystemAsItFindsIt) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    ASSERT_TRUE(sim::setDefaultDevice(kDefaultOutput, "Sonarill_OutputDevice"));
    ASSERT_EQ(set(kHDMI, kFrames, 512), noErr);
    setenv("SONARILL_SIM_WORLD", SONARILL_TABLES "/peer-world.json", 1);

    EXPECT_THAT(runPeer({"join", "wait", "0.2", "print"}),
                HasSubstr("output=Sonarill_OutputDevice system=BuiltInSpeakerDevice\n"));
    EXPECT_TRUE(std::filesystem::exists(world.halFolder() / "Sonarill.driver"));
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), "Sonarill_OutputDevice");
    EXPECT_EQ(sim::defaultDeviceUID(kSystemOutput), kSpeakersUID);
    EXPECT_EQ(framesOf(kHDMI), 512);

    // The plug-in goes: the peer's virtual device goes with it and its default moves, but moving
    // the system's default is the running process's part.
    EXPECT_THAT(runPeer({"join", "remove-driver", "print"}),
                HasSubstr("output=BuiltInSpeakerDevice system=BuiltInSpeakerDevice\n"));
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), "Sonarill_OutputDevice");

    (void)runPeer({"start"});
    unsetenv("SONARILL_SIM_WORLD");
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), kSpeakersUID)
        << "the started world's own default";
    EXPECT_EQ(framesOf(kHDMI), 1024);
}

// A world that keeps the system's state takes the defaults and sizes it finds, but not a default
// naming a device it lacks, nor anything from a damaged file: then its own stand. Each row of
// tests/scenarios/sim/kept-state.json starts such a world after this process left the HDMI display
// the default output at 2048 frames, and the row's `file` was written over that.
class AWorldKeepsTheSystemsStateOrStartsFromItsOwn : public ::testing::TestWithParam<DataRow> {};

TEST_P(AWorldKeepsTheSystemsStateOrStartsFromItsOwn, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const nlohmann::json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "lacksHDMI", "file", "output", "hdmiFrames"});
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    ASSERT_TRUE(sim::setDefaultDevice(kDefaultOutput, kHDMIUID));
    ASSERT_EQ(set(kHDMI, kFrames, 2048), noErr);
    if (row.contains("file"))
        writeBytes(world.dataHome() / "sonarill-sim" / "system.json", textOf(row["file"]));
    sim::World keeping = worldWithDriver();
    keeping.keepSystemState = true;
    if (row.value("lacksHDMI", false))
        std::erase_if(keeping.devices, [](const sim::Device& d) { return d.uid == kHDMIUID; });
    ASSERT_TRUE(sim::resetWorld(keeping, sim::TimelineClock::manual));
    const auto output = sim::defaultDeviceUID(kDefaultOutput);
    EXPECT_EQ(output ? nlohmann::json(*output) : nlohmann::json(), row.at("output"));
    EXPECT_EQ(framesOf(kHDMI), row.at("hdmiFrames"));
}
INSTANTIATE_TEST_SUITE_P(SharedSystem, AWorldKeepsTheSystemsStateOrStartsFromItsOwn,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/kept-state.json")),
                         rowName);

} // namespace
