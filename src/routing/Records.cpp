#include "routing/Records.h"

#include "routing/UnicodeText.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <nlohmann/json.hpp>
#include <unicode/uchar.h>

namespace sonarill::routing {

std::string AudioDevice::displayName() const {
    if (customName) {
        std::string trimmed = trimWhitespaceAndNewlines(*customName);
        if (!trimmed.empty())
            return trimmed;
    }
    return name;
}

std::string AudioDevice::iconName() const {
    struct Rule {
        std::string_view needle;
        std::string_view icon;
    };
    static constexpr std::array<Rule, 6> rules{{
        {"headphone", "headphones"},
        {"airpod", "airpodspro"},
        {"bluetooth", "wave.3.right"},
        {"bt", "wave.3.right"},
        {"hdmi", "tv"},
        {"display", "tv"},
    }};
    const std::string lowered = lowercased(name);
    for (const Rule& rule : rules) {
        if (lowered.find(rule.needle) != std::string::npos)
            return std::string(rule.icon);
    }
    return "speaker.wave.2";
}

PersistedDevice toPersisted(const AudioDevice& device) {
    return {device.uid,     device.name,      device.customName,
            device.enabled, device.sortOrder, device.masterVolume};
}

namespace {

using nlohmann::json;

bool readString(const json& object, const char* key, std::string& out) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return false;
    out = it->get<std::string>();
    return true;
}

// Volumes are 32-bit floats; a number beyond their range does not decode.
bool readFloat(const json& value, float& out) {
    if (!value.is_number())
        return false;
    const double number = value.get<double>();
    if (!std::isfinite(number) || std::fabs(number) > FLT_MAX)
        return false;
    out = static_cast<float>(number);
    return true;
}

std::optional<PersistedDevice> deviceFromJSON(const json& object) {
    if (!object.is_object())
        return std::nullopt;
    PersistedDevice device;
    if (!readString(object, "uid", device.uid) || !readString(object, "name", device.name))
        return std::nullopt;
    const auto enabled = object.find("enabled");
    if (enabled == object.end() || !enabled->is_boolean())
        return std::nullopt;
    device.enabled = enabled->get<bool>();
    const auto sortOrder = object.find("sort_order");
    if (sortOrder == object.end() || !sortOrder->is_number_integer())
        return std::nullopt;
    if (sortOrder->is_number_unsigned() && sortOrder->get<uint64_t>() > INT64_MAX)
        return std::nullopt;
    device.sortOrder = sortOrder->get<int64_t>();
    if (const auto custom = object.find("custom_name");
        custom != object.end() && !custom->is_null()) {
        if (!custom->is_string())
            return std::nullopt;
        device.customName = custom->get<std::string>();
    }
    if (const auto volume = object.find("master_volume");
        volume != object.end() && !volume->is_null()) {
        if (!readFloat(*volume, device.masterVolume))
            return std::nullopt;
    }
    return device;
}

std::optional<PersistedAppRoute> routeFromJSON(const json& object) {
    if (!object.is_object())
        return std::nullopt;
    PersistedAppRoute route;
    if (!readString(object, "bundle_id", route.bundleId) ||
        !readString(object, "device_uid", route.deviceUid))
        return std::nullopt;
    const auto volume = object.find("volume");
    if (volume == object.end() || !readFloat(*volume, route.volume))
        return std::nullopt;
    return route;
}

} // namespace

std::optional<PersistedConfig> decodePersistedConfigJSON(std::string_view text) {
    const json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object())
        return std::nullopt;
    const auto devices = document.find("devices");
    const auto routes = document.find("app_routes");
    if (devices == document.end() || !devices->is_array() || routes == document.end() ||
        !routes->is_array())
        return std::nullopt;
    PersistedConfig config;
    for (const json& item : *devices) {
        auto device = deviceFromJSON(item);
        if (!device)
            return std::nullopt;
        config.devices.push_back(std::move(*device));
    }
    for (const json& item : *routes) {
        auto route = routeFromJSON(item);
        if (!route)
            return std::nullopt;
        config.appRoutes.push_back(std::move(*route));
    }
    return config;
}

} // namespace sonarill::routing
