#include "sim/World.h"

#include "base/Files.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <type_traits>

namespace sonarill::sim {

namespace {

using nlohmann::json;

constexpr std::pair<AudioCall, std::string_view> kCallNames[] = {
    {AudioCall::hasProperty, "AudioObjectHasProperty"},
    {AudioCall::isPropertySettable, "AudioObjectIsPropertySettable"},
    {AudioCall::getPropertyDataSize, "AudioObjectGetPropertyDataSize"},
    {AudioCall::getPropertyData, "AudioObjectGetPropertyData"},
    {AudioCall::setPropertyData, "AudioObjectSetPropertyData"},
    {AudioCall::addPropertyListener, "AudioObjectAddPropertyListener"},
    {AudioCall::removePropertyListener, "AudioObjectRemovePropertyListener"},
    {AudioCall::audioComponentInstanceNew, "AudioComponentInstanceNew"},
    {AudioCall::audioUnitInitialize, "AudioUnitInitialize"},
    {AudioCall::audioUnitGetProperty, "AudioUnitGetProperty"},
    {AudioCall::audioUnitSetProperty, "AudioUnitSetProperty"},
    {AudioCall::audioUnitRender, "AudioUnitRender"},
    {AudioCall::audioOutputUnitStart, "AudioOutputUnitStart"},
    {AudioCall::audioOutputUnitStop, "AudioOutputUnitStop"},
};

// The length of the well-formed UTF-8 sequence that `text` starts with; 0 when it starts with a
// byte that begins none.
size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range: no overlong forms,
    if (lead >= 0xC2 && lead <= 0xDF) {    // surrogates or code points past U+10FFFF
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    }
    return length;
}

// JSON's own short escapes.
constexpr std::pair<char32_t, std::string_view> kShortEscapes[] = {
    {U'"', "\\\""}, {U'\\', "\\\\"}, {U'\b', "\\b"}, {U'\f', "\\f"},
    {U'\n', "\\n"}, {U'\r', "\\r"},  {U'\t', "\\t"},
};

// Text from the file (or its path) as it may appear in a one-line message: escaped as in a JSON
// string, and further every control character (C0, DEL, C1), the Unicode line and paragraph
// separators as \uXXXX and bytes that are not UTF-8 as \xXX. A line feed cannot split the
// line, nor an escape sequence reach the terminal.
std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char code[16];
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0) {
            std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += code;
            ++i;
            continue;
        }
        const std::string_view sequence = text.substr(i, length);
        i += length;
        char32_t point =
            static_cast<unsigned char>(sequence[0]) & (length == 1 ? 0x7F : 0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k)
            point = (point << 6) | (static_cast<unsigned char>(sequence[k]) & 0x3F);
        const auto shortEscape =
            std::find_if(std::begin(kShortEscapes), std::end(kShortEscapes),
                         [&](const auto& escape) { return escape.first == point; });
        if (shortEscape != std::end(kShortEscapes)) {
            out += shortEscape->second;
            continue;
        }
        if (point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 ||
            point == 0x2029) {
            std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(point));
            out += code;
            continue;
        }
        out += sequence;
    }
    return out;
}

// Collects the first problem found, with the place in the file where it is ("devices[2].uid").
class Problems {
public:
    bool ok() const { return message_.empty(); }
    const std::string& message() const { return message_; }
    void add(const std::string& where, const std::string& what) {
        if (message_.empty())
            message_ = where.empty() ? what : where + ": " + what;
    }

private:
    std::string message_;
};

std::string at(const std::string& where, std::string_view key) {
    return where.empty() ? escaped(key) : where + "." + escaped(key);
}

std::string at(const std::string& where, size_t index) {
    return where + "[" + std::to_string(index) + "]";
}

// Rejects keys the reader does not know, so a misspelt key is reported instead of ignored.
bool knownKeysOnly(const json& object, std::initializer_list<std::string_view> keys,
                   const std::string& where, Problems& problems) {
    for (const auto& item : object.items()) {
        if (std::find(keys.begin(), keys.end(), item.key()) == keys.end()) {
            problems.add(at(where, item.key()), "unknown key");
            return false;
        }
    }
    return true;
}

bool isObject(const json& value, const std::string& where, Problems& problems) {
    if (value.is_object())
        return true;
    problems.add(where, "expected an object");
    return false;
}

const json* member(const json& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

void readText(const json& object, std::string_view key, const std::string& where,
              Problems& problems, std::string& out, bool required) {
    const json* value = member(object, key);
    if (value == nullptr) {
        if (required)
            problems.add(at(where, key), "missing");
        return;
    }
    if (!value->is_string()) {
        problems.add(at(where, key), "expected a text");
        return;
    }
    out = value->get<std::string>();
    if (required && out.empty())
        problems.add(at(where, key), "must not be empty");
}

void readOptionalText(const json& object, std::string_view key, const std::string& where,
                      Problems& problems, std::optional<std::string>& out) {
    if (member(object, key) == nullptr)
        return;
    std::string text;
    readText(object, key, where, problems, text, true);
    out = text;
}

void readBool(const json& object, std::string_view key, const std::string& where,
              Problems& problems, bool& out) {
    const json* value = member(object, key);
    if (value == nullptr)
        return;
    if (!value->is_boolean()) {
        problems.add(at(where, key), "expected true or false");
        return;
    }
    out = value->get<bool>();
}

void readNumber(const json& object, std::string_view key, const std::string& where,
                Problems& problems, double& out, double low, double high) {
    const json* value = member(object, key);
    if (value == nullptr)
        return;
    if (!value->is_number()) {
        problems.add(at(where, key), "expected a number");
        return;
    }
    const double number = value->get<double>();
    if (!(number >= low && number <= high)) {
        std::ostringstream range;
        range << "must be between " << low << " and " << high;
        problems.add(at(where, key), range.str());
        return;
    }
    out = number;
}

void readUnsigned(const json& object, std::string_view key, const std::string& where,
                  Problems& problems, UInt32& out, UInt32 low, UInt32 high) {
    const json* value = member(object, key);
    if (value == nullptr)
        return;
    const bool inRange = value->is_number_unsigned()
                             ? value->get<uint64_t>() >= low && value->get<uint64_t>() <= high
                             : value->is_number_integer() && value->get<int64_t>() >= low &&
                                   value->get<int64_t>() <= int64_t(high);
    if (!inRange) {
        problems.add(at(where, key), "expected a whole number from " + std::to_string(low) +
                                         " to " + std::to_string(high));
        return;
    }
    out = static_cast<UInt32>(value->get<uint64_t>());
}

void readFourChar(const json& object, std::string_view key, const std::string& where,
                  Problems& problems, std::optional<UInt32>& out) {
    const json* value = member(object, key);
    if (value == nullptr)
        return;
    const auto code =
        value->is_string() ? fourCharCodeFromText(value->get<std::string>()) : std::nullopt;
    if (!code) {
        problems.add(at(where, key), "expected four printable ASCII characters, e.g. \"usb \"");
        return;
    }
    out = code;
}

// Object IDs 0 and 1 are taken by "unknown" and the system object.
constexpr UInt32 kFirstDeviceID = 2;
constexpr UInt32 kMaxChannels = 256;

Device readDevice(const json& value, const std::string& where, Problems& problems) {
    Device device;
    if (!isObject(value, where, problems) ||
        !knownKeysOnly(value,
                       {"id", "uid", "name", "transport", "inputChannels", "outputChannels",
                        "bufferFrameSize", "ppm"},
                       where, problems))
        return device;
    readUnsigned(value, "id", where, problems, device.id, kFirstDeviceID,
                 std::numeric_limits<UInt32>::max());
    readText(value, "uid", where, problems, device.uid, true);
    readText(value, "name", where, problems, device.name, true);
    std::optional<UInt32> transport;
    readFourChar(value, "transport", where, problems, transport);
    device.transport = transport.value_or(kAudioDeviceTransportTypeUnknown);
    readUnsigned(value, "inputChannels", where, problems, device.inputChannels, 0, kMaxChannels);
    readUnsigned(value, "outputChannels", where, problems, device.outputChannels, 0, kMaxChannels);
    readUnsigned(value, "bufferFrameSize", where, problems, device.bufferFrameSize,
                 kMinBufferFrameSize, kMaxBufferFrameSize);
    readNumber(value, "ppm", where, problems, device.ppm, -1000.0, 1000.0);
    return device;
}

std::optional<AppPolicy> policyFromText(std::string_view text) {
    if (text == "regular")
        return AppPolicy::regular;
    if (text == "accessory")
        return AppPolicy::accessory;
    if (text == "prohibited")
        return AppPolicy::prohibited;
    return std::nullopt;
}

App readApp(const json& value, const std::string& where, Problems& problems) {
    App app;
    if (!isObject(value, where, problems) ||
        !knownKeysOnly(value, {"bundleId", "name", "policy", "toneHz", "level", "icon"}, where,
                       problems))
        return app;
    readText(value, "bundleId", where, problems, app.bundleId, true);
    app.name = app.bundleId;
    readText(value, "name", where, problems, app.name, false);
    std::string policy = "regular";
    readText(value, "policy", where, problems, policy, false);
    if (const auto parsed = policyFromText(policy))
        app.policy = *parsed;
    else
        problems.add(at(where, "policy"), "expected \"regular\", \"accessory\" or \"prohibited\"");
    readNumber(value, "toneHz", where, problems, app.toneHz, 0.0, 20000.0);
    readNumber(value, "level", where, problems, app.level, 0.0, 1.0);
    readText(value, "icon", where, problems, app.icon, false);
    return app;
}

PluginSettings readPlugin(const json& value, const std::string& where, Problems& problems) {
    PluginSettings plugin;
    if (!isObject(value, where, problems) ||
        !knownKeysOnly(value, {"installed", "routeConfig", "loadDelay"}, where, problems))
        return plugin;
    if (member(value, "installed") != nullptr) {
        bool installed = false;
        readBool(value, "installed", where, problems, installed);
        plugin.installed = installed;
    }
    readBool(value, "routeConfig", where, problems, plugin.routeConfig);
    readNumber(value, "loadDelay", where, problems, plugin.loadDelay, 0.0, 3600.0);
    return plugin;
}

constexpr std::pair<EventKind, std::string_view> kEventNames[] = {
    {EventKind::unplug, "unplug"},
    {EventKind::plug, "plug"},
    {EventKind::launch, "launch"},
    {EventKind::quit, "quit"},
    {EventKind::setDefaultOutput, "setDefaultOutput"},
    {EventKind::hang, "hang"},
    {EventKind::restart, "restart"},
};

Event readEvent(const json& value, const std::string& where, Problems& problems) {
    Event event;
    if (!isObject(value, where, problems) ||
        !knownKeysOnly(
            value,
            {"at", "unplug", "plug", "launch", "quit", "setDefaultOutput", "hang", "restart"},
            where, problems))
        return event;
    if (member(value, "at") == nullptr)
        problems.add(at(where, "at"), "missing");
    readNumber(value, "at", where, problems, event.at, 0.0, 1e9);
    int kinds = 0;
    for (const auto& [kind, name] : kEventNames) {
        if (member(value, name) == nullptr)
            continue;
        ++kinds;
        event.kind = kind;
    }
    if (kinds != 1) {
        problems.add(where, "expected exactly one of unplug, plug, launch, quit, "
                            "setDefaultOutput, hang, restart");
        return event;
    }
    switch (event.kind) {
    case EventKind::unplug:
        readText(value, "unplug", where, problems, event.text, true);
        break;
    case EventKind::quit:
        readText(value, "quit", where, problems, event.text, true);
        break;
    case EventKind::setDefaultOutput:
        readText(value, "setDefaultOutput", where, problems, event.text, true);
        break;
    case EventKind::plug:
        event.device = readDevice(value["plug"], at(where, "plug"), problems);
        break;
    case EventKind::launch:
        event.app = readApp(value["launch"], at(where, "launch"), problems);
        break;
    case EventKind::hang:
    case EventKind::restart: {
        const std::string_view key = event.kind == EventKind::hang ? "hang" : "restart";
        event.seconds = -1.0;
        readNumber(value, key, where, problems, event.seconds, 0.0, 3600.0);
        break;
    }
    }
    return event;
}

void readStatus(const json& object, const std::string& where, Problems& problems,
                std::optional<OSStatus>& out) {
    const json* value = member(object, "status");
    if (value == nullptr)
        return;
    // A status is 32 bits, written signed (-50) or unsigned (4294967246, the same bits).
    if (value->is_string()) {
        if (const auto code = fourCharCodeFromText(value->get<std::string>())) {
            out = static_cast<OSStatus>(*code);
            return;
        }
    } else if (value->is_number_unsigned()) {
        if (value->get<uint64_t>() <= std::numeric_limits<UInt32>::max()) {
            out = static_cast<OSStatus>(static_cast<UInt32>(value->get<uint64_t>()));
            return;
        }
    } else if (value->is_number_integer() &&
               value->get<int64_t>() >= std::numeric_limits<OSStatus>::min()) {
        out = static_cast<OSStatus>(value->get<int64_t>());
        return;
    }
    problems.add(at(where, "status"),
                 "expected a whole number from -2147483648 to 4294967295 or four characters");
}

Fault readFault(const json& value, const std::string& where, Problems& problems) {
    Fault fault;
    if (!isObject(value, where, problems) ||
        !knownKeysOnly(value, {"call", "uid", "selector", "property", "scope", "status", "blockMs"},
                       where, problems))
        return fault;
    std::string call;
    readText(value, "call", where, problems, call, true);
    if (const auto parsed = audioCallFromName(call))
        fault.call = *parsed;
    else if (!call.empty())
        problems.add(at(where, "call"), "unknown call \"" + escaped(call) + "\"");
    readOptionalText(value, "uid", where, problems, fault.uid);
    readFourChar(value, "selector", where, problems, fault.selector);
    if (member(value, "property") != nullptr) {
        UInt32 property = 0;
        readUnsigned(value, "property", where, problems, property, 0,
                     std::numeric_limits<UInt32>::max());
        fault.property = property;
    }
    if (member(value, "scope") != nullptr) {
        UInt32 scope = 0;
        readUnsigned(value, "scope", where, problems, scope, 0, std::numeric_limits<UInt32>::max());
        fault.scope = scope;
    }
    readStatus(value, where, problems, fault.status);
    double blockMs = 0.0;
    readNumber(value, "blockMs", where, problems, blockMs, 0.0, 3600.0 * 1000.0);
    fault.block = std::chrono::milliseconds(static_cast<int64_t>(blockMs));
    if (problems.ok() && !fault.status && member(value, "blockMs") == nullptr)
        problems.add(where, "needs a status, a blockMs, or both");
    return fault;
}

template <typename Record, typename Reader>
std::vector<Record> readList(const json& top, std::string_view key, Problems& problems,
                             Reader reader) {
    std::vector<Record> records;
    const json* list = member(top, key);
    if (list == nullptr)
        return records;
    if (!list->is_array()) {
        problems.add(std::string(key), "expected a list");
        return records;
    }
    for (size_t i = 0; i < list->size() && problems.ok(); ++i)
        records.push_back(reader((*list)[i], at(std::string(key), i), problems));
    return records;
}

bool hasOutputDevice(const World& world, const std::string& uid) {
    return std::any_of(world.devices.begin(), world.devices.end(), [&](const Device& device) {
        return device.uid == uid && device.outputChannels > 0;
    });
}

void checkConsistency(const World& world, Problems& problems) {
    std::set<AudioObjectID> ids;
    for (size_t i = 0; i < world.devices.size(); ++i) {
        const AudioObjectID id = world.devices[i].id;
        if (id != kAudioObjectUnknown && !ids.insert(id).second)
            problems.add(at(at("devices", i), "id"), "another device has id " + std::to_string(id));
    }
    for (const auto& [key, uid] : {std::pair{"defaultOutput", world.defaultOutput},
                                   std::pair{"defaultSystemOutput", world.defaultSystemOutput}}) {
        if (uid && !hasOutputDevice(world, *uid))
            problems.add(key, "no device with output has UID \"" + escaped(*uid) + "\"");
    }
}

// The library's message without its "[json.exception.parse_error.101] " prefix: the rest says
// what and where. It quotes what it read, so it is escaped too.
std::string libraryText(const json::exception& error) {
    const std::string_view text = error.what();
    const auto bracket = text.find("] ");
    return escaped(bracket == std::string_view::npos ? text : text.substr(bracket + 2));
}

// "line 3, column 12" for the byte at `offset`, counted as the library counts them.
std::string placeIn(std::string_view text, size_t offset) {
    const std::string_view before = text.substr(0, offset);
    const size_t lineStart = before.rfind('\n') + 1; // npos + 1 == 0
    return "line " + std::to_string(std::count(before.begin(), before.end(), '\n') + 1) +
           ", column " + std::to_string(offset - lineStart + 1);
}

// Builds the document as the library's own reader does, keeping the first problem as text: the
// library's exception for a number too large for a double does not say where the number is.
class DocumentReader : public nlohmann::detail::json_sax_dom_parser<json> {
public:
    DocumentReader(json& document, std::string_view text)
        : json_sax_dom_parser(document, false), text_(text) {}

    template <typename Exception>
    bool parse_error(std::size_t end, const std::string& token, const Exception& error) {
        if constexpr (std::is_same_v<Exception, json::out_of_range>)
            problem = placeIn(text_, end - std::min(end, token.size())) + ": number " +
                      escaped(token) + " is out of range";
        else
            problem = "not valid JSON: " + libraryText(error);
        return false;
    }

    std::string problem;

private:
    std::string_view text_;
};

base::Expected<World> readWorld(std::string_view text) {
    json top;
    DocumentReader reader(top, text);
    if (!json::sax_parse(text, &reader))
        return base::Failure{reader.problem.empty() ? "not valid JSON" : reader.problem};
    if (!top.is_object())
        return base::Failure{"expected a JSON object at the top"};
    Problems problems;
    knownKeysOnly(top,
                  {"devices", "defaultOutput", "defaultSystemOutput", "apps", "plugin", "recordDir",
                   "events", "faults", "keepSystemState"},
                  "", problems);
    World world;
    world.devices = readList<Device>(top, "devices", problems, readDevice);
    readOptionalText(top, "defaultOutput", "", problems, world.defaultOutput);
    readOptionalText(top, "defaultSystemOutput", "", problems, world.defaultSystemOutput);
    world.apps = readList<App>(top, "apps", problems, readApp);
    if (const json* plugin = member(top, "plugin"))
        world.plugin = readPlugin(*plugin, "plugin", problems);
    readText(top, "recordDir", "", problems, world.recordDir, false);
    world.events = readList<Event>(top, "events", problems, readEvent);
    world.faults = readList<Fault>(top, "faults", problems, readFault);
    readBool(top, "keepSystemState", "", problems, world.keepSystemState);
    if (problems.ok())
        checkConsistency(world, problems);
    if (!problems.ok())
        return base::Failure{problems.message()};
    return world;
}

} // namespace

std::string_view audioCallName(AudioCall call) {
    for (const auto& [value, name] : kCallNames) {
        if (value == call)
            return name;
    }
    return {};
}

std::optional<AudioCall> audioCallFromName(std::string_view name) {
    for (const auto& [value, text] : kCallNames) {
        if (text == name)
            return value;
    }
    return std::nullopt;
}

std::string fourCharText(UInt32 code) {
    return {char(code >> 24), char((code >> 16) & 0xFF), char((code >> 8) & 0xFF),
            char(code & 0xFF)};
}

std::optional<UInt32> fourCharCodeFromText(std::string_view text) {
    if (text.size() != 4)
        return std::nullopt;
    UInt32 code = 0;
    for (char c : text) {
        if (c < 0x20 || c > 0x7E)
            return std::nullopt;
        code = (code << 8) | static_cast<UInt8>(c);
    }
    return code;
}

base::Expected<World> parseWorld(std::string_view text) {
    try {
        return readWorld(text);
    } catch (const json::exception& error) {
        // Every value's type is checked before it is taken; this keeps a slip from ending the
        // process.
        return base::Failure{libraryText(error)};
    }
}

base::Expected<World> readWorldFile(const std::filesystem::path& path) {
    const auto text = base::readFileBounded(path);
    if (!text)
        return base::Failure{text.error()};
    return parseWorld(*text);
}

base::Expected<World> processWorld() {
    const char* named = std::getenv("SONARILL_SIM_WORLD");
    if (named == nullptr || *named == '\0')
        return defaultWorld();
    auto world = readWorldFile(named);
    if (world)
        return world;
    return base::Failure{"cannot use world file " + escaped(named) + ": " + world.error()};
}

World defaultWorld() {
    World world;
    world.devices = {
        {.id = 40,
         .uid = "BuiltInMicrophoneDevice",
         .name = "Built-in Microphone",
         .transport = kAudioDeviceTransportTypeBuiltIn,
         .inputChannels = 1},
        {.id = 41,
         .uid = "BuiltInSpeakerDevice",
         .name = "MacBook Pro Speakers",
         .transport = kAudioDeviceTransportTypeBuiltIn,
         .outputChannels = 2},
        {.id = 42,
         .uid = "AppleUSBAudioEngine:Generic:USB Headset:1410000:1",
         .name = "USB Headset",
         .transport = kAudioDeviceTransportTypeUSB,
         .inputChannels = 1,
         .outputChannels = 2,
         .bufferFrameSize = 256,
         .ppm = 42.0},
        {.id = 43,
         .uid = "LGHDMIDisplay:0",
         .name = "LG HDMI",
         .transport = kAudioDeviceTransportTypeHDMI,
         .outputChannels = 2,
         .bufferFrameSize = 1024,
         .ppm = -17.0},
        {.id = 44,
         .uid = "~:AMS2_StackedOutput:0",
         .name = "Multi-Output Device",
         .transport = kAudioDeviceTransportTypeAggregate,
         .outputChannels = 2},
    };
    world.defaultOutput = "BuiltInSpeakerDevice";
    world.defaultSystemOutput = "BuiltInSpeakerDevice";
    world.apps = {
        {.bundleId = "com.apple.Music", .name = "Music", .toneHz = 440.0},
        {.bundleId = "com.apple.podcasts", .name = "Podcasts", .toneHz = 550.0},
        {.bundleId = "com.google.Chrome", .name = "Google Chrome", .toneHz = 660.0},
        {.bundleId = "com.google.Chrome.helper",
         .name = "Google Chrome Helper",
         .policy = AppPolicy::accessory},
        {.bundleId = "com.google.Chrome.app.youtube", .name = "YouTube", .toneHz = 770.0},
        {.bundleId = "com.apple.controlcenter",
         .name = "Control Center",
         .policy = AppPolicy::accessory},
    };
    world.plugin.installed = false;
    world.plugin.routeConfig = true;
    world.plugin.loadDelay = 1.0;
    return world;
}

} // namespace sonarill::sim
