#include "sim/Driver.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <locale>
#include <map>
#include <memory>
#include <numbers>
#include <sstream>
#include <thread>
#include <utility>

namespace sonarill::sim {

namespace {

std::string_view trimBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void appendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The body of a YAML double-quoted scalar, `s` starting after the opening quote; whatever
// follows the closing quote is ignored. An unknown or short escape gives its character alone.
std::string readDoubleQuoted(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"')
            break;
        if (c != '\\' || i + 1 == s.size()) {
            out += c;
            continue;
        }
        const char e = s[++i];
        const size_t hexDigits = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
        uint32_t code = 0;
        if (hexDigits > 0 && i + hexDigits < s.size() &&
            std::from_chars(&s[i + 1], &s[i + 1] + hexDigits, code, 16).ptr ==
                &s[i + 1] + hexDigits) {
            appendUtf8(out, char32_t(code));
            i += hexDigits;
            continue;
        }
        switch (e) {
        case '0':
            out += '\0';
            break;
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'v':
            out += '\v';
            break;
        case 'f':
            out += '\f';
            break;
        case 'r':
            out += '\r';
            break;
        case 'e':
            out += '\x1B';
            break;
        case 'N':
            appendUtf8(out, 0x85);
            break;
        case '_':
            appendUtf8(out, 0xA0);
            break;
        case 'L':
            appendUtf8(out, 0x2028);
            break;
        case 'P':
            appendUtf8(out, 0x2029);
            break;
        default:
            out += e; // \\ \" \/ \<blank> and anything unknown
        }
    }
    return out;
}

// A value as YAML reads it on one line: double-quoted, single-quoted ('' is one quote) or
// plain (up to a " #" comment).
std::string readScalar(std::string_view v) {
    if (v.starts_with('"'))
        return readDoubleQuoted(v.substr(1));
    std::string out;
    if (v.starts_with('\'')) {
        for (size_t i = 1; i < v.size(); ++i) {
            if (v[i] == '\'' && (i + 1 == v.size() || v[++i] != '\''))
                break;
            out += v[i];
        }
        return out;
    }
    const auto comment = std::min(v.find(" #"), v.find("\t#"));
    return std::string(trimBlanks(v.substr(0, comment)));
}

std::string lowercase(std::string s) {
    for (char& c : s)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return s;
}

bool readEnabled(const std::string* v) {
    if (!v)
        return true;
    const std::string s = lowercase(*v);
    return !(s == "false" || s == "no" || s == "off" || s == "0");
}

std::optional<int64_t> readInteger(const std::string* v) {
    if (!v)
        return std::nullopt;
    std::string_view s = *v;
    if (s.starts_with('+'))
        s.remove_prefix(1);
    int64_t n = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (error != std::errc() || end != s.data() + s.size() || s.empty())
        return std::nullopt;
    return n;
}

// 0..1; 1 when absent or not a number. Read in the classic locale whatever the process's is.
float readVolume(const std::string* v) {
    if (!v)
        return 1.0f;
    std::istringstream in(*v);
    in.imbue(std::locale::classic());
    double d = 0;
    if (!(in >> d) || in.peek() != std::char_traits<char>::eof())
        return 1.0f;
    return float(std::clamp(d, 0.0, 1.0));
}

using Record = std::map<std::string, std::string, std::less<>>;

const std::string* find(const Record& record, std::string_view key) {
    const auto it = record.find(key);
    return it == record.end() ? nullptr : &it->second;
}

} // namespace

DriverRouting readDriverRouting(std::string_view text) {
    struct ActiveDevice {
        std::string uid;
        int64_t sortOrder;
    };
    std::vector<ActiveDevice> active;
    size_t devicesRead = 0;
    DriverRouting result;

    enum class Section { none, devices, routes } section = Section::none;
    std::optional<Record> pending; // the record since the last "-" line
    auto finish = [&] {
        if (!pending)
            return;
        const Record record = std::exchange(pending, std::nullopt).value();
        if (section == Section::devices) {
            const std::string* uid = find(record, "uid");
            if (!uid)
                return;
            const int64_t position = int64_t(devicesRead++);
            if (readEnabled(find(record, "enabled")))
                active.push_back(
                    {*uid, readInteger(find(record, "sort_order")).value_or(position)});
        } else if (section == Section::routes) {
            const std::string* bundleId = find(record, "bundle_id");
            const std::string* deviceUid = find(record, "device_uid");
            if (bundleId && deviceUid)
                result.routes.push_back(
                    {*bundleId, *deviceUid, readVolume(find(record, "volume"))});
        }
    };

    while (!text.empty()) {
        const size_t end = std::min(text.find_first_of("\r\n"), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));

        std::string_view t = trimBlanks(line);
        if (t.empty() || t.starts_with('#'))
            continue;
        const bool item = t == "-" || t.starts_with("- ");
        if (!item && !line.starts_with(' ') && !line.starts_with('\t')) {
            // A key at the left margin opens a section; only two of them are ours.
            finish();
            const std::string_view key = trimBlanks(t.substr(0, t.find(':')));
            section = key == "devices"      ? Section::devices
                      : key == "app_routes" ? Section::routes
                                            : Section::none;
            continue;
        }
        if (item) {
            finish();
            pending.emplace();
            t = trimBlanks(t.substr(1));
        }
        // "key: value", the colon followed by a blank or the end of the line.
        size_t colon = t.find(':');
        while (colon != std::string_view::npos && colon + 1 < t.size() && t[colon + 1] != ' ' &&
               t[colon + 1] != '\t')
            colon = t.find(':', colon + 1);
        if (!pending || colon == std::string_view::npos)
            continue;
        const std::string_view key = trimBlanks(t.substr(0, colon));
        if (!key.empty())
            (*pending)[std::string(key)] = readScalar(trimBlanks(t.substr(colon + 1)));
    }
    finish();

    std::stable_sort(
        active.begin(), active.end(),
        [](const ActiveDevice& a, const ActiveDevice& b) { return a.sortOrder < b.sortOrder; });
    for (ActiveDevice& device : active)
        result.buses.push_back(std::move(device.uid));
    return result;
}

// One application's tone on one bus.
struct DriverMix::Voice {
    UInt32 bus;
    double cyclesPerFrame;
    float gain; // the app's level × its route volume
};

struct DriverMix::Table {
    std::vector<Voice> voices;
};

DriverMix::DriverMix() : table_(new Table{}) {}

DriverMix::~DriverMix() {
    delete table_.load();
}

void DriverMix::setRouteText(std::string_view text) {
    DriverRouting routing = readDriverRouting(text);
    const std::lock_guard lock(setMutex_);
    routing_ = std::move(routing);
    publish();
}

void DriverMix::setApps(const std::vector<App>& running) {
    const std::lock_guard lock(setMutex_);
    apps_ = running;
    publish();
}

void DriverMix::publish() {
    auto table = std::make_unique<Table>();
    for (const App& app : apps_) {
        if (!(app.toneHz > 0.0 && std::isfinite(app.toneHz)))
            continue;
        const auto route =
            std::find_if(routing_.routes.rbegin(), routing_.routes.rend(),
                         [&](const DriverRoute& r) { return r.bundleId == app.bundleId; });
        if (route == routing_.routes.rend())
            continue;
        // Past the last pair the device is silent.
        const auto bus =
            size_t(std::find(routing_.buses.begin(), routing_.buses.end(), route->deviceUid) -
                   routing_.buses.begin());
        const float gain = float(std::clamp(app.level, 0.0, 1.0)) * route->volume;
        if (bus >= std::min<size_t>(routing_.buses.size(), kVirtualInputBuses) || !(gain > 0.0f))
            continue;
        table->voices.push_back({UInt32(bus), app.toneHz / kSampleRate, gain});
    }
    const Table* old = table_.exchange(table.release());
    // A render counted after the exchange reads the new table; wait out those counted before.
    while (renders_.load() != 0)
        std::this_thread::yield();
    delete old;
}

void DriverMix::render(double sampleTime, UInt32 frames, float* interleaved16) noexcept {
    std::fill_n(interleaved16, size_t(frames) * kVirtualInputChannels, 0.0f);
    renders_.fetch_add(1);
    const Table* table = table_.load();
    // The phase is taken from the sample time afresh every kAnchor frames, and turned by a
    // rotation in between: exact at any time, and one sin/cos pair per block.
    constexpr UInt32 kAnchor = 256;
    for (const Voice& voice : table->voices) {
        const double step = 2.0 * std::numbers::pi * voice.cyclesPerFrame;
        const double stepCos = std::cos(step);
        const double stepSin = std::sin(step);
        float* out = interleaved16 + 2 * voice.bus;
        for (UInt32 start = 0; start < frames; start += kAnchor) {
            double cycles = voice.cyclesPerFrame * (sampleTime + start);
            cycles -= std::floor(cycles);
            double c = std::cos(2.0 * std::numbers::pi * cycles);
            double s = std::sin(2.0 * std::numbers::pi * cycles);
            for (UInt32 i = start; i < std::min(frames, start + kAnchor); ++i) {
                const float sample = voice.gain * float(s);
                out[i * kVirtualInputChannels] += sample;
                out[i * kVirtualInputChannels + 1] += sample;
                const double nextC = c * stepCos - s * stepSin;
                s = s * stepCos + c * stepSin;
                c = nextC;
            }
        }
    }
    renders_.fetch_sub(1);
}

} // namespace sonarill::sim
