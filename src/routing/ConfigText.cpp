#include "routing/ConfigText.h"

#include "routing/UnicodeText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <map>

namespace sonarill::routing {

namespace {

// Line breaks inside a double-quoted value, as the YAML escapes; without them a value with a
// line break would be split across lines. The reader maps exactly these back.
struct LineBreakEscape {
    char32_t character;
    char letter;
};
constexpr LineBreakEscape kLineBreakEscapes[] = {
    {U'\n', 'n'},     {U'\r', 'r'},     {U'\v', 'v'},     {U'\f', 'f'},
    {U'\u0085', 'N'}, {U'\u2028', 'L'}, {U'\u2029', 'P'},
};

float clampVolume(float volume) {
    if (!(volume > 0.0f))
        return 0.0f;
    return volume > 1.0f ? 1.0f : volume;
}

// An optional sign, then one or more ASCII digits and nothing else, within 64 bits.
std::optional<int64_t> parseInteger(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    const bool negative = !digits.empty() && digits.front() == '-' && digits.data() == text.data();
    if (negative)
        digits.remove_prefix(1);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9')
        return std::nullopt;
    uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    constexpr uint64_t maxPositive = std::numeric_limits<int64_t>::max();
    if (negative) {
        if (magnitude > maxPositive + 1)
            return std::nullopt;
        return magnitude == maxPositive + 1 ? std::numeric_limits<int64_t>::min()
                                            : -static_cast<int64_t>(magnitude);
    }
    if (magnitude > maxPositive)
        return std::nullopt;
    return static_cast<int64_t>(magnitude);
}

// The whole text must be a finite number; "." is the decimal separator whatever the locale.
std::optional<float> parseNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || std::isnan(value))
        return std::nullopt;
    return static_cast<float>(value);
}

float readVolume(const std::map<std::string, std::string>& record, const std::string& key) {
    const auto it = record.find(key);
    const std::optional<float> value = it == record.end() ? std::nullopt : parseNumber(it->second);
    return clampVolume(value.value_or(1.0f));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

using Record = std::map<std::string, std::string>;

bool startsLikeJSONObject(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const char32_t c = decodeUTF8(text, at);
        if (!isWhitespaceOrLineBreak(c))
            return c == U'{';
    }
    return false;
}

class YAMLReader {
public:
    PersistedConfig read(std::string_view text) {
        for (std::string_view rawLine : splitLines(text))
            readLine(trimBlanks(rawLine));
        flushDevice();
        flushRoute();
        return std::move(config_);
    }

private:
    enum class Section { none, devices, routes };

    void readLine(std::string_view t) {
        if (t.empty() || startsWith(t, "#"))
            return;
        if (startsWith(t, "devices:") || startsWith(t, "app_routes:")) {
            flushDevice();
            flushRoute();
            section_ = startsWith(t, "devices:") ? Section::devices : Section::routes;
            return;
        }
        if (t == "-") {
            flushCurrent();
            return;
        }
        if (startsWith(t, "- ")) {
            if (section_ == Section::none)
                return;
            flushCurrent();
            if (auto pair = parseYAMLKeyValue(trimBlanks(t.substr(2))))
                currentRecord()[pair->first] = std::move(pair->second);
            return;
        }
        auto pair = parseYAMLKeyValue(t);
        if (!pair || section_ == Section::none)
            return;
        currentRecord()[pair->first] = std::move(pair->second);
    }

    Record& currentRecord() {
        return section_ == Section::devices ? pendingDevice_ : pendingRoute_;
    }

    void flushCurrent() {
        if (section_ == Section::devices)
            flushDevice();
        else if (section_ == Section::routes)
            flushRoute();
    }

    void flushDevice() {
        if (pendingDevice_.empty())
            return;
        Record record = std::exchange(pendingDevice_, {});
        const auto uid = record.find("uid");
        const auto name = record.find("name");
        if (uid == record.end() || name == record.end())
            return;
        PersistedDevice device;
        device.uid = uid->second;
        device.name = name->second;
        const auto enabled = record.find("enabled");
        device.enabled =
            parseBool(enabled == record.end() ? std::nullopt
                                              : std::optional<std::string_view>(enabled->second))
                .value_or(true);
        const auto sortOrder = record.find("sort_order");
        const auto parsedOrder =
            sortOrder == record.end() ? std::nullopt : parseInteger(sortOrder->second);
        device.sortOrder = parsedOrder.value_or(static_cast<int64_t>(config_.devices.size()));
        device.masterVolume = readVolume(record, "master_volume");
        if (const auto custom = record.find("custom_name"); custom != record.end()) {
            std::string trimmed = trimWhitespaceAndNewlines(custom->second);
            if (!trimmed.empty() && trimmed != device.name)
                device.customName = std::move(trimmed);
        }
        config_.devices.push_back(std::move(device));
    }

    void flushRoute() {
        if (pendingRoute_.empty())
            return;
        Record record = std::exchange(pendingRoute_, {});
        const auto bundleId = record.find("bundle_id");
        const auto deviceUid = record.find("device_uid");
        if (bundleId == record.end() || deviceUid == record.end())
            return;
        config_.appRoutes.push_back(
            {bundleId->second, deviceUid->second, readVolume(record, "volume")});
    }

    Section section_ = Section::none;
    Record pendingDevice_;
    Record pendingRoute_;
    PersistedConfig config_;
};

} // namespace

std::string formatVolume(float volume) {
    char text[32];
    const auto result =
        std::to_chars(text, text + sizeof text, static_cast<double>(clampVolume(volume)),
                      std::chars_format::fixed, 6);
    return std::string(text, result.ptr);
}

std::string quoteYAML(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (size_t at = 0; at < value.size();) {
        const size_t start = at;
        const char32_t c = decodeUTF8(value, at);
        if (c == U'\\' || c == U'"') {
            out += '\\';
            out += static_cast<char>(c);
            continue;
        }
        bool escaped = false;
        for (const LineBreakEscape& escape : kLineBreakEscapes) {
            if (c == escape.character) {
                out += '\\';
                out += escape.letter;
                escaped = true;
            }
        }
        if (!escaped)
            out.append(value.substr(start, at - start));
    }
    out += '"';
    return out;
}

std::string makeConfigYAML(const PersistedConfig& config) {
    std::string text = "devices:\n";
    for (const PersistedDevice& device : config.devices) {
        text += "- uid: " + quoteYAML(device.uid) + "\n";
        text += "  name: " + quoteYAML(device.name) + "\n";
        if (device.customName) {
            const std::string custom = trimWhitespaceAndNewlines(*device.customName);
            if (!custom.empty() && custom != device.name)
                text += "  custom_name: " + quoteYAML(custom) + "\n";
        }
        text += device.enabled ? "  enabled: true\n" : "  enabled: false\n";
        text += "  sort_order: " + std::to_string(device.sortOrder) + "\n";
        text += "  master_volume: " + formatVolume(device.masterVolume) + "\n";
    }
    text += "app_routes:\n";
    for (const PersistedAppRoute& route : config.appRoutes) {
        text += "- bundle_id: " + quoteYAML(route.bundleId) + "\n";
        text += "  device_uid: " + quoteYAML(route.deviceUid) + "\n";
        text += "  volume: " + formatVolume(route.volume) + "\n";
    }
    return text;
}

std::optional<PersistedConfig> decodePersistedConfig(std::string_view data) {
    const bool valid = isValidUTF8(data);
    // JSON is valid UTF-8 too, so a text that opens like a JSON object is tried as JSON first;
    // otherwise a JSON file would read as an empty configuration and be overwritten.
    if (valid && startsLikeJSONObject(data)) {
        if (auto config = decodePersistedConfigJSON(data))
            return config;
    }
    if (valid)
        return parseSimpleYAMLConfig(data);
    return decodePersistedConfigJSON(data);
}

PersistedConfig parseSimpleYAMLConfig(std::string_view text) {
    return YAMLReader().read(text);
}

std::optional<std::pair<std::string, std::string>> parseYAMLKeyValue(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string key = trimBlanks(text.substr(0, colon));
    if (key.empty())
        return std::nullopt;
    return std::pair{std::move(key), unquote(trimBlanks(text.substr(colon + 1)))};
}

std::string unquote(std::string_view value) {
    if (value.size() < 2 || countCharacters(value, 2) < 2)
        return std::string(value);
    // The quotes are tested as code points: a value that begins with a combining mark forms
    // one user-perceived character with its opening quote and must still lose its quotes.
    const char first = value.front();
    const char last = value.back();
    if (first == '"' && last == '"')
        return unescapeDoubleQuotedYAML(value.substr(1, value.size() - 2));
    if (first == '\'' && last == '\'')
        return std::string(value.substr(1, value.size() - 2));
    return std::string(value);
}

std::string unescapeDoubleQuotedYAML(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pendingEscape = false;
    // Walked by code point, so that an escape is undone whatever mark follows it.
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        const char32_t c = decodeUTF8(text, at);
        if (!pendingEscape && c == U'\\') {
            pendingEscape = true;
            continue;
        }
        if (pendingEscape) {
            pendingEscape = false;
            bool mapped = false;
            for (const LineBreakEscape& escape : kLineBreakEscapes) {
                if (c == static_cast<char32_t>(escape.letter)) {
                    appendUTF8(out, escape.character);
                    mapped = true;
                }
            }
            if (mapped)
                continue;
        }
        out.append(text.substr(start, at - start));
    }
    if (pendingEscape)
        out += '\\';
    return out;
}

std::optional<bool> parseBool(std::optional<std::string_view> value) {
    if (!value)
        return std::nullopt;
    const std::string lowered = lowercased(*value);
    if (lowered == "true" || lowered == "yes" || lowered == "on" || lowered == "1")
        return true;
    if (lowered == "false" || lowered == "no" || lowered == "off" || lowered == "0")
        return false;
    return std::nullopt;
}

} // namespace sonarill::routing
