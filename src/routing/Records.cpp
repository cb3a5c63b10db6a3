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
        const std::string_view trimmed = trimWhitespaceAndNewlines(*customName);
        if (!trimmed.empty())
            return std::string(trimmed);
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

using base::Failure;
using nlohmann::json;

// Each check names the key it found missing or mistyped.
Failure invalid(const char* key, const char* expected) {
    return Failure{'"' + std::string(key) + "\" is missing or not " + expected};
}

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

base::Expected<PersistedDevice> deviceFromJSON(const json& object) {
    PersistedDevice device;
    if (!readString(object, "uid", device.uid))
        return invalid("uid", "a text");
    if (!readString(object, "name", device.name))
        return invalid("name", "a text");
    const auto enabled = object.find("enabled");
    if (enabled == object.end() || !enabled->is_boolean())
        return invalid("enabled", "true or false");
    device.enabled = enabled->get<bool>();
    const auto sortOrder = object.find("sort_order");
    if (sortOrder == object.end() || !sortOrder->is_number_integer() ||
        (sortOrder->is_number_unsigned() && sortOrder->get<uint64_t>() > INT64_MAX))
        return invalid("sort_order", "a 64-bit integer");
    device.sortOrder = sortOrder->get<int64_t>();
    if (const auto custom = object.find("custom_name");
        custom != object.end() && !custom->is_null()) {
        if (!custom->is_string())
            return Failure{"\"custom_name\" is not a text"};
        device.customName = custom->get<std::string>();
    }
    if (const auto volume = object.find("master_volume");
        volume != object.end() && !volume->is_null()) {
        if (!readFloat(*volume, device.masterVolume))
            return Failure{"\"master_volume\" is not a finite 32-bit number"};
    }
    return device;
}

base::Expected<PersistedAppRoute> routeFromJSON(const json& object) {
    PersistedAppRoute route;
    if (!readString(object, "bundle_id", route.bundleId))
        return invalid("bundle_id", "a text");
    if (!readString(object, "device_uid", route.deviceUid))
        return invalid("device_uid", "a text");
    const auto volume = object.find("volume");
    if (volume == object.end() || !readFloat(*volume, route.volume))
        return invalid("volume", "a finite 32-bit number");
    return route;
}

// Builds the records while the parser streams past, holding one record at a time: whatever
// the document's length or nesting, memory stays near the size of its largest record. Values
// nested deeper than a record's own keys are only counted, never stored.
class ConfigReader final : public nlohmann::json_sax<json> {
public:
    base::Expected<PersistedConfig> read(std::string_view text) {
        // The parser stops, and says false, only where this reader set its failure.
        if (!json::sax_parse(text.begin(), text.end(), this))
            return Failure{failure_};
        if (!sawDevices_)
            return Failure{"JSON has no \"devices\" list"};
        if (!sawRoutes_)
            return Failure{"JSON has no \"app_routes\" list"};
        return std::move(config_);
    }

    bool null() override { return scalar(json()); }
    bool boolean(bool value) override { return scalar(json(value)); }
    bool number_integer(number_integer_t value) override { return scalar(json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar(json(value)); }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(json(value));
    }
    bool string(string_t& value) override { return scalar(json(std::move(value))); }
    bool binary(binary_t&) override { return scalar(json()); }

    bool start_object(std::size_t) override { return open(json::value_t::object); }
    bool start_array(std::size_t) override { return open(json::value_t::array); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& name) override {
        if (depth_ == kTop)
            section_ = name == "devices"      ? Section::devices
                       : name == "app_routes" ? Section::routes
                                              : Section::other;
        else if (depth_ == kRecord)
            key_ = std::move(name);
        return true;
    }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ..."
        const std::string_view what = error.what();
        const size_t tag = what.find("] ");
        failure_ =
            "JSON " + std::string(tag == std::string_view::npos ? what : what.substr(tag + 2));
        return false;
    }

private:
    // Depths, counted in open containers: the document, a section's list, one record.
    static constexpr int kTop = 1;
    static constexpr int kList = 2;
    static constexpr int kRecord = 3;
    enum class Section { other, devices, routes };

    bool fail(std::string reason) {
        failure_ = std::move(reason);
        return false;
    }

    const char* sectionName() const {
        return section_ == Section::devices ? "devices" : "app_routes";
    }

    bool inSection() const { return section_ != Section::other; }

    bool scalar(json value) {
        if (depth_ == 0)
            return fail("JSON is not an object");
        if (depth_ == kTop && inSection())
            return fail("JSON \"" + std::string(sectionName()) + "\" is not a list");
        if (depth_ == kList && inSection())
            return recordFailure("not an object");
        if (depth_ == kRecord && inSection())
            record_[key_] = std::move(value);
        return true;
    }

    bool open(json::value_t type) {
        if (depth_ == 0 && type != json::value_t::object)
            return fail("JSON is not an object");
        if (depth_ == kTop && inSection()) {
            if (type != json::value_t::array)
                return fail("JSON \"" + std::string(sectionName()) + "\" is not a list");
            // A repeated key replaces the earlier list, as it would in a document.
            (section_ == Section::devices ? sawDevices_ : sawRoutes_) = true;
            if (section_ == Section::devices)
                config_.devices.clear();
            else
                config_.appRoutes.clear();
            index_ = 0;
        }
        if (depth_ == kList && inSection()) {
            if (type != json::value_t::object)
                return recordFailure("not an object");
            record_ = json::object();
        }
        // A container as a record's value keeps only its type, which is enough to refuse it.
        if (depth_ == kRecord && inSection())
            record_[key_] = json(type);
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        if (depth_ != kList || !inSection())
            return true;
        if (section_ == Section::devices) {
            auto device = deviceFromJSON(record_);
            if (!device)
                return recordFailure(device.error());
            config_.devices.push_back(std::move(*device));
        } else {
            auto route = routeFromJSON(record_);
            if (!route)
                return recordFailure(route.error());
            config_.appRoutes.push_back(std::move(*route));
        }
        ++index_;
        return true;
    }

    bool recordFailure(const std::string& reason) {
        const char* kind = section_ == Section::devices ? "device" : "route";
        return fail("JSON " + std::string(kind) + " " + std::to_string(index_ + 1) + ": " + reason);
    }

    int depth_ = 0;
    Section section_ = Section::other;
    bool sawDevices_ = false;
    bool sawRoutes_ = false;
    size_t index_ = 0;
    std::string key_;
    json record_;
    std::string failure_;
    PersistedConfig config_;
};

} // namespace

base::Expected<PersistedConfig> decodePersistedConfigJSON(std::string_view text) {
    return ConfigReader().read(text);
}

} // namespace sonarill::routing
