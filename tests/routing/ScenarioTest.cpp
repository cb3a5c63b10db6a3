// The routing scenarios of tests/scenarios: each table file a test suite ("Startup.json":
// Startup), each row a test, run on the model with its forwarder and the simulated driver on the
// manual clock. tests/scenarios/README.md describes a row; this file only carries rows out.

#include "routing/Records.h"
#include "sim/DriverBundle.h"
#include "support/ModelOnManualClock.h"
#include "support/TextTables.h"

#include <nlohmann/json.hpp>

#include <set>
#include <stdexcept>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using json = nlohmann::ordered_json; // a step's word is its first key

const std::filesystem::path kScenarios = SONARILL_SCENARIOS_DIR;

// Ends a row that cannot go on: it is written otherwise than rows are read, or a step could not
// be done.
struct Abort : std::runtime_error {
    using runtime_error::runtime_error;
};

template <typename T> void need(const base::Expected<T>& done) {
    if (!done)
        throw Abort(done.error());
}

// A misspelt key fails its row instead of leaving out what it says.
const json& knownKeys(const json& object, std::initializer_list<std::string_view> known) {
    if (!object.is_object())
        throw Abort("expected an object, not " + object.dump());
    for (const auto& item : object.items())
        if (std::find(known.begin(), known.end(), item.key()) == known.end())
            throw Abort("unknown key \"" + item.key() + "\" in " + object.dump());
    return object;
}

std::optional<std::string> optionalText(const json& value) {
    return value.is_null() ? std::nullopt : std::optional(value.get<std::string>());
}

// The configuration file as a row writes it: a text as the other tables write texts, or the
// records in their JSON form, written out by the program's own writer.
std::string fileOf(const json& value) {
    if (!value.is_object() || !value.contains("devices"))
        return textOf(nlohmann::json(value));
    for (const json& device : knownKeys(value, {"devices", "app_routes"}).at("devices"))
        knownKeys(device, {"uid", "name", "custom_name", "enabled", "sort_order", "master_volume"});
    for (const json& route : value.at("app_routes"))
        knownKeys(route, {"bundle_id", "device_uid", "volume"});
    const auto config = routing::decodePersistedConfigJSON(value.dump());
    need(config);
    return routing::makeConfigYAML(*config);
}

// A device, app or fault as world files write it, read by the simulation's own reader.
sim::World worldPart(const std::string& key, const json& value) {
    auto world = sim::parseWorld(json{{key, json::array({value})}}.dump());
    need(world);
    return std::move(world).value();
}

// A file of worlds/, or {"file": ..., "patch": {...}}: the patch merged over the file as JSON
// merge patches are (a null removes a key, a list replaces the file's list).
sim::World worldOf(const json& value) {
    const std::string file =
        value.is_string() ? value : knownKeys(value, {"file", "patch"}).at("file");
    json world = json::parse(readBytes(kScenarios / "worlds" / file), nullptr, false);
    if (!world.is_object())
        throw Abort("worlds/" + file + " is missing or not a JSON object");
    if (value.contains("patch"))
        world.merge_patch(value["patch"]);
    auto parsed = sim::parseWorld(world.dump());
    need(parsed);
    return std::move(parsed).value();
}

class Scenario : public ModelTest {
public:
    Scenario(std::string label, json row, sim::World world, std::string problem)
        : ModelTest(std::move(world)), label_(std::move(label)), row_(std::move(row)),
          where_(std::move(problem)) {}
    void TearDown() override {
        sim::setCallHook({});
        ModelTest::TearDown();
    }
    void TestBody() override {
        try {
            if (where_.empty()) // else why the row could not be made
                run();
            else
                ADD_FAILURE() << label_ << ", " << where_;
        } catch (const std::exception& error) {
            ADD_FAILURE() << label_ << ", " << where_ << ": " << error.what();
        }
    }

private:
    void run() {
        where_ = "row";
        knownKeys(row_, {"name", "why", "world", "file", "before", "steps", "expect"});
        where_ = "file";
        if (row_.contains("file"))
            writeConfig(*(file_ = fileOf(row_["file"])));
        runSteps("before");
        start();
        runSteps("steps");
        where_ = "expect";
        expect(row_.at("expect"));
    }
    void runSteps(const std::string& which) {
        const json steps = row_.value(which, json::array());
        for (size_t i = 0; i < steps.size(); ++i) {
            where_ = which + "[" + std::to_string(i) + "]";
            step(steps.at(i));
        }
    }
    routing::AudioRoutingViewModel& running() const {
        if (!model)
            throw Abort("only after start-up");
        return *model;
    }
    std::filesystem::path beside(const std::string& name) const {
        return configPath().parent_path() / name;
    }

    void step(const json& written) {
        const json step = written.is_string() ? json{{written, nullptr}} : written;
        if (!step.is_object() || step.empty())
            throw Abort("expected a step, not " + step.dump());
        const std::string word = step.begin().key();
        const json& value = step.begin().value();
        using T = Scenario&;
        using J = const json&;
        static const std::map<std::string, void (*)(T, J, J)> kSteps = {
            {"move", [](T t, J v, J s) { t.running().moveApp(v, s.at("to")); }},
            {"volume", [](T t, J v, J s) { t.running().setVolume(v, s.at("to")); }},
            {"masterVolume", [](T t, J v, J s) { t.running().setMasterVolume(v, s.at("to")); }},
            {"enable", [](T t, J v, J) { t.running().setDeviceEnabled(v, true); }},
            {"disable", [](T t, J v, J) { t.running().setDeviceEnabled(v, false); }},
            {"rename",
             [](T t, J v, J s) { t.running().setCustomName(v, optionalText(s.at("to"))); }},
            {"remove", [](T t, J v, J) { t.running().removeOutputDevice(v); }},
            {"onlyDevice", [](T t, J v, J) { t.running().switchToOnlyDevice(v); }},
            {"reset", [](T t, J, J) { t.reset(); }},
            {"plug", [](T, J v, J) { need(sim::addDevice(worldPart("devices", v).devices[0])); }},
            {"unplug", [](T, J v, J) { need(sim::removeDeviceByUID(v.get<std::string>())); }},
            {"replug", [](T t, J v, J) { t.replug(v); }},
            {"launch", [](T, J v, J) { need(sim::launchApp(worldPart("apps", v).apps[0])); }},
            {"quit", [](T, J v, J) { need(sim::quitApp(v.get<std::string>())); }},
            {"tick", [](T t, J, J) { t.tick(); }},
            {"settle", [](T t, J, J) { t.settle(); }},
            {"advance", [](T t, J v, J s) { t.advance(v, s.value("every", v.get<double>())); }},
            {"fault", [](T, J v, J) { sim::injectFault(worldPart("faults", v).faults[0]); }},
            {"clearFaults", [](T, J, J) { sim::clearFaults(); }},
            {"setDefaultOutput",
             [](T, J v, J) {
                 need(sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice,
                                            v.get<std::string>()));
             }},
            {"setDefaultSystemOutput",
             [](T, J v, J) {
                 need(sim::setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice,
                                            v.get<std::string>()));
             }},
            {"deleteFile", [](T t, J v, J) { std::filesystem::remove(t.beside(v)); }},
            {"makeFolder", [](T t, J v, J) { std::filesystem::create_directories(t.beside(v)); }},
            {"onCall", [](T t, J v, J s) { t.onCall(v, s.at("then")); }},
            {"driver", [](T t, J v, J) { t.driver(v); }},
            {"mark", [](T t, J, J) { t.mark_ = t.log_.messages().size(); }},
            {"expect", [](T t, J v, J) { t.expect(v); }},
        };
        // Steps without a value are written as their word alone: "tick".
        static const std::set<std::string> kBare = {"reset", "tick", "settle", "clearFaults",
                                                    "mark"};
        if (!kSteps.count(word))
            throw Abort("no step named \"" + word + "\"");
        if (kBare.count(word) != value.is_null())
            throw Abort(word + (value.is_null() ? " needs a value" : " takes no value"));
        static const std::map<std::string, std::string> kMore = {
            {"move", "to"},   {"volume", "to"},     {"masterVolume", "to"},
            {"rename", "to"}, {"advance", "every"}, {"onCall", "then"}};
        knownKeys(step, {word, kMore.count(word) ? kMore.at(word) : word});
        kSteps.at(word)(*this, value, step);
    }
    void reset() {
        notifications.post(platform::kResetConfigNotification);
        settle();
    }
    // Gone and back under a new ID, listed last.
    void replug(const std::string& uid) {
        const auto all = sim::devices();
        auto found =
            std::find_if(all.begin(), all.end(), [&](const auto& d) { return d.uid == uid; });
        if (found == all.end())
            throw Abort("no device " + uid);
        need(sim::removeDeviceByUID(uid));
        sim::Device device = *found;
        device.id = kAudioObjectUnknown;
        need(sim::addDevice(device));
    }
    // In slices, settling after each.
    void advance(double seconds, double slice) {
        if (!(slice > 0))
            throw Abort("advance needs a time");
        for (double done = 0; done + slice / 2 < seconds; done += slice) {
            sim::advanceTimeline(slice);
            settle();
        }
    }
    // The plug-in put into the HAL folder or taken out; the audio server notices it now.
    void driver(const std::string& what) {
        const auto bundle = sim::halPluginFolder() / sim::kDriverBundleName;
        if (what == "install")
            need(sim::writeDriverBundle(bundle, sim::carriedDriverBundle()));
        else if (what != "remove" || !std::filesystem::remove_all(bundle))
            throw Abort("driver: \"install\", or \"remove\" an installed one");
        sim::checkPluginFolder();
    }
    // The step runs inside the first call of that name, once.
    void onCall(const std::string& name, const json& then) {
        const auto call = sim::audioCallFromName(name);
        if (!call)
            throw Abort("no call named " + name);
        sim::setCallHook(
            [this, call, then, done = std::make_shared<bool>()](const sim::CallInfo& info) {
                if (*done || info.call != *call)
                    return;
                *done = true;
                try {
                    step(then);
                } catch (const std::exception& error) {
                    ADD_FAILURE() << label_ << ", " << where_ << ".then: " << error.what();
                }
            });
    }

    // In the order written: "heard" plays on for half a second.
    void expect(const json& value) {
        if (!value.is_object())
            throw Abort("expected an object, not " + value.dump());
        for (const auto& [key, expected] : value.items())
            match(expected, observed(key, expected), where_ + "." + key);
    }
    // An object's keys must all be seen (a misspelt one fails the row); numbers compare as the
    // model's 32-bit floats; lists item by item.
    void match(const json& expected, const json& seen, const std::string& where) {
        if (expected.is_object() && seen.is_object()) {
            for (const auto& [key, value] : expected.items()) {
                if (!seen.contains(key))
                    throw Abort("unknown key \"" + key + "\" in " + where);
                match(value, seen[key], where + "." + key);
            }
        } else if (expected.is_array() && seen.is_array() && expected.size() == seen.size()) {
            for (size_t i = 0; i < expected.size(); ++i)
                match(expected[i], seen[i], where + "[" + std::to_string(i) + "]");
        } else if (expected.is_number() && seen.is_number()) {
            EXPECT_EQ(seen.get<float>(), expected.get<float>()) << where;
        } else if (expected.is_string() && seen.is_string()) {
            EXPECT_EQ(seen.get<std::string>(), expected.get<std::string>()) << where;
        } else {
            EXPECT_EQ(seen.dump(), expected.dump()) << where;
        }
    }

    // What a row expects, as seen now, in the shape the row wrote it: of keyed things only the
    // keys the row names (null: none there); of lists of checks each item, or what was found
    // instead.
    json observed(const std::string& key, const json& expected) {
        const auto orNull = [](const auto& value) { return value ? json(*value) : json(); };
        json seen = expected.is_array() ? json::array() : json::object();
        if (key == "listed" || key == "active")
            return uids(key == "listed" ? running().allDevices() : running().activeDevices());
        if (key == "routed") {
            for (const auto& app : running().routedApps())
                seen.push_back(app.name + "@" + app.deviceUid);
        } else if (key == "startupOutput") {
            seen = orNull(running().startupOutputUID());
        } else if (key == "defaults") {
            seen = {{"output",
                     orNull(sim::defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice))},
                    {"systemOutput", orNull(sim::defaultDeviceUID(
                                         kAudioHardwarePropertyDefaultSystemOutputDevice))}};
        } else if (key == "forwarding") {
            seen = {{"running", forwarder.isRunning()},
                    {"outputs", forwarder.currentOutputUIDs()},
                    {"buses", json::object()}};
            const json buses = expected.value("buses", json::object());
            for (const auto& [uid, bus] : buses.items())
                seen["buses"][uid] = orNull(forwarder.pipelineBus(uid));
        } else if (key == "devices" || key == "apps" || key == "remembered" || key == "canRemove") {
            for (const auto& [id, ignored] : expected.items())
                seen[id] = keyed(key, id);
        } else if (key == "texts") {
            for (const auto& [name, checks] : expected.items())
                seen[name] = texts(name, checks);
        } else if (key == "heard") {
            for (const json& tone : expected) {
                const double level = knownKeys(tone, {"on", "hz", "level"}).at("level");
                const double found = heard(tone.at("on"), tone.at("hz"));
                seen.push_back(tone);
                if (std::abs(found - level) > std::max(0.01 * level, 0.001))
                    seen.back()["level"] = found;
            }
        } else {
            seen = logged(key, expected);
        }
        return seen;
    }
    json keyed(const std::string& key, const std::string& id) const {
        const routing::AudioDevice* d = device(id);
        const routing::RoutedApp* a = app(id);
        const auto& routes = running().persistedAppRoutes();
        const auto route = routes.find(id);
        if (key == "devices" && d)
            return {{"displayName", d->displayName()},
                    {"customName", d->customName ? json(*d->customName) : json()},
                    {"enabled", d->enabled},
                    {"sortOrder", d->sortOrder},
                    {"masterVolume", d->masterVolume}};
        if (key == "apps" && a)
            return {{"device", a->deviceUid}, {"volume", a->volume}};
        if (key == "remembered" && route != routes.end())
            return {{"device", route->second.deviceUid}, {"volume", route->second.volume}};
        return key == "canRemove" ? json(running().canRemoveOutputDevice(id)) : json();
    }
    // "driver": what the driver received; "model": the model's own text; "file": the row's file;
    // else a file beside the configuration file. Nothing when there is none.
    std::optional<std::string> textNamed(const std::string& name) const {
        const auto path = beside(name);
        return name == "driver"                         ? sim::routeConfigText()
               : name == "model"                        ? running().makeConfigYAML()
               : name == "file"                         ? file_
               : std::filesystem::is_regular_file(path) ? std::optional(readBytes(path))
                                                        : std::nullopt;
    }
    json texts(const std::string& name, const json& checks) const {
        const std::optional<std::string> text = textNamed(name);
        json seen = json::object();
        for (const auto& [check, value] :
             knownKeys(checks, {"exists", "sameAs", "contains", "lacks"}).items()) {
            seen[check] = check == "exists" ? json(text.has_value()) : json::array();
            const json items = check == "exists"  ? json::array()
                               : value.is_array() ? value
                                                  : json::array({value});
            for (const json& item : items) {
                const std::string part = item;
                const bool holds =
                    check == "sameAs"
                        ? text && text == textNamed(part)
                        : (text && text->find(part) != std::string::npos) == (check == "contains");
                seen[check].push_back(
                    holds ? item
                          : json("not " + check + " " + part + " in " + text.value_or("no text")));
            }
            if (!value.is_array() && check != "exists") // one item without a list
                seen[check] = seen[check][0];
        }
        return seen;
    }
    // Log lines with "{config}" for the configuration file's path, as rows write them.
    json logged(const std::string& key, const json& expected) const {
        std::vector<std::string> lines = log_.messages();
        for (std::string& line : lines)
            if (const size_t at = line.find(configPath().string()); at != std::string::npos)
                line.replace(at, configPath().string().size(), "{config}");
        const std::vector<std::string> since(lines.begin() + std::min(mark_, lines.size()),
                                             lines.end());
        if (key == "loggedSinceMark")
            return since;
        json seen = expected.is_object() ? json::object() : json::array();
        auto next = lines.begin();
        for (const auto& [item, count] : expected.items()) {
            const std::string line = expected.is_object() ? item : count.get<std::string>();
            const auto found = std::find(next, lines.end(), line);
            if (key == "countsSinceMark")
                seen[line] = std::count_if(since.begin(), since.end(), [&](const auto& logged) {
                    return logged.rfind(line, 0) == 0;
                });
            else if (key == "notLogged")
                seen.push_back(std::count(lines.begin(), lines.end(), line) ? "logged: " + line
                                                                            : line);
            else if (key == "logged") // in this order, others between
                seen.push_back(found == lines.end() ? "missing or out of order: " + line : line);
            else
                throw Abort("unknown key \"" + key + "\"");
            next = found == lines.end() ? next : found + 1;
        }
        return seen;
    }

    std::string label_;
    json row_;
    std::string where_; // in the row, for what goes wrong; before it runs, why it cannot
    LogCapture log_;
    size_t mark_ = 0;
    std::optional<std::string> file_;
};

bool isName(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c); });
}

Scenario* makeScenario(const std::string& label, const json& row, std::string problem) {
    sim::World world;
    try {
        if (problem.empty())
            world = worldOf(row.at("world"));
    } catch (const std::exception& error) {
        problem = std::string("world: ") + error.what();
    }
    return new Scenario(label, row, std::move(world), problem);
}

const bool kRegistered = [] {
    std::vector<std::filesystem::path> tables;
    for (const auto& entry : std::filesystem::directory_iterator(kScenarios))
        if (entry.path().extension() == ".json")
            tables.push_back(entry.path());
    std::sort(tables.begin(), tables.end());
    for (const auto& table : tables) {
        const auto add = [&](const std::string& name, const json& row, const std::string& problem) {
            ::testing::RegisterTest(table.stem().c_str(), name.c_str(), nullptr, nullptr,
                                    table.c_str(), 0,
                                    [label = table.filename().string() + " row " + name, row,
                                     problem] { return makeScenario(label, row, problem); });
        };
        const json rows = json::parse(readBytes(table), nullptr, false);
        if (!rows.is_array() || !isName(table.stem()))
            add("ReadsAsAListOfRows", {}, "a table is a list of rows in a file named Table.json");
        std::set<std::string> names;
        for (size_t i = 0; rows.is_array() && i < rows.size(); ++i) {
            const json name = rows[i].is_object() ? rows[i].value("name", json()) : json();
            const bool usable = name.is_string() && isName(name) && names.insert(name).second;
            add(usable ? name.get<std::string>() : "Row" + std::to_string(i), rows[i],
                usable ? "" : "needs a name of letters and digits that no other row has");
        }
    }
    return true;
}();

} // namespace
