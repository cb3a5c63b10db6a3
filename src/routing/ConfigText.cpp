#include "routing/ConfigText.h"

#include "routing/UnicodeText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <locale.h>
#include <map>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

namespace sonarill::routing {

namespace {

using base::Failure;
constexpr auto npos = std::string_view::npos;

double clampVolume(double volume) {
    if (!(volume > 0))
        return 0;
    return volume > 1 ? 1 : volume;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// An optional sign, then one or more ASCII digits and nothing else, within 64 bits.
std::optional<int64_t> parseInteger(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    const bool negative = !digits.empty() && digits.front() == '-' && digits.data() == text.data();
    if (negative)
        digits.remove_prefix(1);
    if (digits.empty() || !isDigit(digits.front()))
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

bool equalsIgnoringASCIICase(std::string_view text, std::string_view lowercase) {
    return text.size() == lowercase.size() &&
           std::equal(text.begin(), text.end(), lowercase.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

// The "C" numeric rules, whatever locale the process has set.
locale_t numericCLocale() {
    static const locale_t locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

// A number as YAML writes a float: an optional sign, then digits with an optional point and
// exponent, or an infinity (".inf" as YAML spells it; "inf" and "infinity" in any case, as
// this reader always took them). Anything else, NaN included, is not a number. A value beyond
// a double's range reads as infinite, one too small for it as zero.
std::optional<double> parseNumber(std::string_view text) {
    std::string_view body = text;
    if (!body.empty() && (body.front() == '+' || body.front() == '-'))
        body.remove_prefix(1);
    if (body == ".inf" || body == ".Inf" || body == ".INF" ||
        equalsIgnoringASCIICase(body, "inf") || equalsIgnoringASCIICase(body, "infinity"))
        return text.front() == '-' ? -HUGE_VAL : HUGE_VAL;
    const auto digitsFrom = [body](size_t at) {
        while (at < body.size() && isDigit(body[at]))
            ++at;
        return at;
    };
    size_t at = digitsFrom(0);
    size_t digits = at;
    if (at < body.size() && body[at] == '.') {
        const size_t end = digitsFrom(at + 1);
        digits += end - at - 1;
        at = end;
    }
    if (digits == 0)
        return std::nullopt;
    if (at < body.size() && (body[at] == 'e' || body[at] == 'E')) {
        size_t exponent = at + 1;
        if (exponent < body.size() && (body[exponent] == '+' || body[exponent] == '-'))
            ++exponent;
        at = digitsFrom(exponent);
        if (at == exponent)
            return std::nullopt;
    }
    if (at != body.size())
        return std::nullopt;
    const std::string terminated(text);
    return strtod_l(terminated.c_str(), nullptr, numericCLocale());
}

using Record = std::map<std::string, std::string, std::less<>>;

float readVolume(const Record& record, std::string_view key) {
    const auto it = record.find(key);
    const std::optional<double> value = it == record.end() ? std::nullopt : parseNumber(it->second);
    return static_cast<float>(clampVolume(value.value_or(1.0)));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view withoutByteOrderMark(std::string_view text) {
    constexpr std::string_view mark = "\xEF\xBB\xBF";
    return startsWith(text, mark) ? text.substr(mark.size()) : text;
}

bool isYAMLSpace(char c) {
    return c == ' ' || c == '\t';
}

bool startsLikeJSONObject(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const char32_t c = decodeUTF8(text, at);
        if (!isWhitespaceOrLineBreak(c))
            return c == U'{';
    }
    return false;
}

// Where a quoted value that opens at text[0] closes, or npos.
size_t closingQuote(std::string_view text) {
    const char quote = text.front();
    for (size_t at = 1; at < text.size(); ++at) {
        if (quote == '"' && text[at] == '\\')
            ++at;
        else if (text[at] == quote && quote == '\'' && text.substr(at + 1, 1) == "'")
            ++at;
        else if (text[at] == quote)
            return at;
    }
    return npos;
}

// A quoted value, both quotes included.
std::string unquoteWhole(std::string_view quoted) {
    const std::string_view inner = quoted.substr(1, quoted.size() - 2);
    if (quoted.front() == '"')
        return unescapeDoubleQuotedYAML(inner);
    std::string out;
    out.reserve(inner.size());
    for (size_t at = 0; at < inner.size(); ++at) {
        out += inner[at];
        if (inner[at] == '\'' && inner.substr(at + 1, 1) == "'")
            ++at;
    }
    return out;
}

// Where a plain value ends: at YAML's comment, a "#" after a blank or a tab.
size_t plainEnd(std::string_view text) {
    for (size_t at = text.find('#'); at != npos; at = text.find('#', at + 1)) {
        if (at > 0 && isYAMLSpace(text[at - 1]))
            return at;
    }
    return text.size();
}

// The escape whose letter is at text[at], just after its backslash; returns where the text
// goes on after it.
size_t readEscape(std::string_view text, size_t at, std::string& out) {
    const char letter = text[at];
    const size_t width = letter == 'x' ? 2 : letter == 'u' ? 4 : letter == 'U' ? 8 : 0;
    const auto hex = [text](size_t from, size_t digits) -> std::optional<char32_t> {
        const std::string_view field = text.substr(from, digits);
        uint32_t value = 0;
        const auto [end, error] =
            std::from_chars(field.data(), field.data() + field.size(), value, 16);
        if (field.size() != digits || error != std::errc() || end != field.data() + digits)
            return std::nullopt;
        return value;
    };
    if (width > 0) {
        if (const std::optional<char32_t> code = hex(at + 1, width)) {
            char32_t c = *code;
            size_t next = at + 1 + width;
            // A surrogate pair written as two escapes, as JSON does, is one character.
            if (c >= 0xD800 && c <= 0xDBFF && text.substr(next, 2) == "\\u") {
                const std::optional<char32_t> low = hex(next + 2, 4);
                if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (*low - 0xDC00);
                    next += 6;
                }
            }
            // A lone surrogate or a number beyond Unicode becomes U+FFFD.
            appendUTF8(out, c);
            return next;
        }
    } else {
        for (const base::NamedEscape& escape : base::kNamedEscapes) {
            if (escape.letter == letter) {
                appendUTF8(out, escape.character);
                return at + 1;
            }
        }
    }
    size_t next = at;
    decodeUTF8(text, next);
    out.append(text.substr(at, next - at));
    return next;
}

bool isLineBreak(char c) {
    return c == '\n' || c == '\r';
}

// Past one line break (CR LF counts as one) and the blanks that indent the next line.
size_t skipBreakAndIndent(std::string_view text, size_t at) {
    at += text.compare(at, 2, "\r\n") == 0 ? 2 : 1;
    while (at < text.size() && isYAMLSpace(text[at]))
        ++at;
    return at;
}

// The inside of a quoted value that runs over several lines, folded as YAML folds it: the blanks
// around a line break go, a lone line break becomes a blank, each empty line a line feed, and in
// double quotes a backslash before the break joins the lines with nothing between them.
std::string foldQuoted(std::string_view inner, char quote) {
    std::string out;
    size_t blanks = 0; // pending: kept only when text follows on the same line
    for (size_t at = 0; at < inner.size();) {
        const char c = inner[at];
        if (isYAMLSpace(c)) {
            ++blanks;
            ++at;
            continue;
        }
        const bool escapedBreak =
            quote == '"' && c == '\\' && at + 1 < inner.size() && isLineBreak(inner[at + 1]);
        if (isLineBreak(c) || escapedBreak) {
            if (escapedBreak)
                out.append(inner.substr(at - blanks, blanks));
            blanks = 0;
            at = skipBreakAndIndent(inner, escapedBreak ? at + 1 : at);
            size_t emptyLines = 0;
            for (; at < inner.size() && isLineBreak(inner[at]); ++emptyLines)
                at = skipBreakAndIndent(inner, at);
            if (emptyLines > 0 || escapedBreak)
                out.append(emptyLines, '\n');
            else
                out += ' ';
            continue;
        }
        out.append(inner.substr(at - blanks, blanks));
        blanks = 0;
        if (quote == '"' && c == '\\' && at + 1 < inner.size()) {
            at = readEscape(inner, at + 1, out);
        } else {
            out += c;
            at += quote == '\'' && c == '\'' ? 2 : 1; // '' is one quote
        }
    }
    out.append(inner.substr(inner.size() - blanks));
    return out;
}

struct TextReading {
    PersistedConfig config;
    // Why the text is no configuration to trust, though the records read may be used.
    std::string problem;
    bool sawSection = false;
    // A line besides blank lines and comments.
    bool sawContent = false;
};

class YAMLReader {
public:
    TextReading read(std::string_view text) {
        text_ = withoutByteOrderMark(text);
        // Lines end at a line feed or a carriage return, YAML's only line breaks. Each line is
        // a view into the text, so memory does not grow with the number of lines. A quoted
        // value over several lines moves next_ past its last.
        for (size_t start = 0; start <= text_.size(); start = next_) {
            const size_t end = std::min(text_.find_first_of("\r\n", start), text_.size());
            next_ = end + 1;
            readLine(text_.substr(start, end - start));
        }
        flushDevice();
        flushRoute();
        return std::move(reading_);
    }

private:
    enum class Section { none, devices, routes };

    // The line is trimmed to decide what it is; its values are read from the untrimmed text,
    // since the blanks at the end of a plain value are YAML's to drop, not the line's.
    void readLine(std::string_view line) {
        const std::string_view t = trimBlanks(line);
        if (t.empty() || startsWith(t, "#"))
            return;
        reading_.sawContent = true;
        if (startsWith(t, "devices:") || startsWith(t, "app_routes:")) {
            flushDevice();
            flushRoute();
            section_ = startsWith(t, "devices:") ? Section::devices : Section::routes;
            reading_.sawSection = true;
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
            const std::string_view entry = line.substr(t.data() - line.data() + 2);
            // "- # note" opens an entry whose keys follow on the next lines.
            if (!startsWith(trimBlanks(entry), "#"))
                store(entry);
            return;
        }
        if (section_ != Section::none)
            store(line);
    }

    void store(std::string_view keyValue) {
        auto pair = parseYAMLKeyValue(keyValue);
        if (!pair)
            return;
        const std::string_view value = keyValue.substr(keyValue.find(':') + 1);
        const std::string_view quoted =
            value.substr(std::min(value.find_first_not_of(" \t"), value.size()));
        if ((startsWith(quoted, "\"") || startsWith(quoted, "'")) && closingQuote(quoted) == npos) {
            std::optional<std::string> folded = readOverLines(quoted);
            if (!folded)
                return; // a value cut short is no value
            pair->second = std::move(*folded);
        }
        Record& record = section_ == Section::devices ? pendingDevice_ : pendingRoute_;
        record[std::move(pair->first)] = std::move(pair->second);
    }

    // A quoted value that does not close on its line, from its opening quote on: it goes on over
    // the next lines, as YAML tools write a long one and a hand may break one.
    std::optional<std::string> readOverLines(std::string_view opened) {
        const size_t open = static_cast<size_t>(opened.data() - text_.data());
        const std::string_view rest = text_.substr(open);
        const size_t close = closingQuote(rest);
        const size_t line =
            static_cast<size_t>(std::count(text_.begin(), text_.begin() + open, '\n')) + 1;
        const std::string where = "the quoted value on line " + std::to_string(line);
        if (close == npos) {
            refuse(where + " is not closed");
            return std::nullopt;
        }
        const size_t end = std::min(rest.find_first_of("\r\n", close), rest.size());
        const std::string_view after = trimBlanks(rest.substr(close + 1, end - close - 1));
        if (!after.empty() && !startsWith(after, "#")) {
            refuse(where + " is followed by text after its closing quote");
            return std::nullopt;
        }
        next_ = open + end + 1;
        return foldQuoted(rest.substr(1, close - 1), rest.front());
    }

    void refuse(std::string problem) {
        if (reading_.problem.empty())
            reading_.problem = std::move(problem);
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
        std::vector<PersistedDevice>& devices = reading_.config.devices;
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
        device.sortOrder = parsedOrder.value_or(static_cast<int64_t>(devices.size()));
        device.masterVolume = readVolume(record, "master_volume");
        if (const auto custom = record.find("custom_name"); custom != record.end()) {
            const std::string_view trimmed = trimWhitespaceAndNewlines(custom->second);
            if (!trimmed.empty() && trimmed != device.name)
                device.customName = std::string(trimmed);
        }
        devices.push_back(std::move(device));
    }

    void flushRoute() {
        if (pendingRoute_.empty())
            return;
        Record record = std::exchange(pendingRoute_, {});
        const auto bundleId = record.find("bundle_id");
        const auto deviceUid = record.find("device_uid");
        if (bundleId == record.end() || deviceUid == record.end())
            return;
        reading_.config.appRoutes.push_back(
            {bundleId->second, deviceUid->second, readVolume(record, "volume")});
    }

    std::string_view text_;
    size_t next_ = 0; // where the line after the current one starts
    Section section_ = Section::none;
    Record pendingDevice_;
    Record pendingRoute_;
    TextReading reading_;
};

} // namespace

std::string formatVolume(float volume) {
    // A float times a million is exact in a double, so rounding that rounds the exact value,
    // half to even, as "%.6f" does.
    const double scaled = clampVolume(volume) * 1e6;
    const double whole = std::floor(scaled);
    auto micros = static_cast<int64_t>(whole);
    if (scaled - whole > 0.5 || (scaled - whole == 0.5 && micros % 2 != 0))
        ++micros;
    const std::string decimals = std::to_string(micros % 1'000'000);
    return std::to_string(micros / 1'000'000) + '.' + std::string(6 - decimals.size(), '0') +
           decimals;
}

std::string quoteYAML(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    base::appendEscaped(out, value, true);
    out += '"';
    return out;
}

std::string makeConfigYAML(const PersistedConfig& config) {
    std::string text = "devices:\n";
    for (const PersistedDevice& device : config.devices) {
        text += "- uid: " + quoteYAML(device.uid) + "\n";
        text += "  name: " + quoteYAML(device.name) + "\n";
        if (device.customName) {
            const std::string_view custom = trimWhitespaceAndNewlines(*device.customName);
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

base::Expected<PersistedConfig> decodePersistedConfig(std::string_view data) {
    data = withoutByteOrderMark(data);
    if (const size_t invalid = findInvalidUTF8(data); invalid != npos) {
        auto json = decodePersistedConfigJSON(data);
        if (json)
            return json;
        const auto line = std::count(data.begin(), data.begin() + invalid, '\n') + 1;
        return Failure{"neither UTF-8 configuration text nor a valid JSON configuration "
                       "(invalid UTF-8 on line " +
                       std::to_string(line) + ")"};
    }
    // JSON is UTF-8 text too, so a text that opens like a JSON object is tried as JSON first;
    // its error is the one to report when the text is no configuration text either.
    std::string jsonFailure;
    if (startsLikeJSONObject(data)) {
        auto json = decodePersistedConfigJSON(data);
        if (json)
            return json;
        jsonFailure = json.error();
    }
    TextReading reading = YAMLReader().read(data);
    if (!reading.problem.empty())
        return Failure{reading.problem};
    // Saving over a text that says something but no section would lose whatever it holds.
    if (reading.sawSection || !reading.sawContent)
        return std::move(reading.config);
    return Failure{jsonFailure.empty() ? "no devices: or app_routes: section" : jsonFailure};
}

PersistedConfig parseSimpleYAMLConfig(std::string_view text) {
    return YAMLReader().read(text).config;
}

std::optional<std::pair<std::string, std::string>> parseYAMLKeyValue(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == npos)
        return std::nullopt;
    const std::string_view key = trimBlanks(text.substr(0, colon));
    if (key.empty())
        return std::nullopt;
    return std::pair{std::string(key), unquote(text.substr(colon + 1))};
}

std::string unquote(std::string_view value) {
    const size_t begin = std::min(value.find_first_not_of(" \t"), value.size());
    const std::string_view text = value.substr(begin);
    if (!startsWith(text, "\"") && !startsWith(text, "'")) {
        const std::string_view plain = value.substr(0, plainEnd(value));
        const size_t last = plain.find_last_not_of(" \t");
        return std::string(last == npos ? std::string_view()
                                        : plain.substr(begin, last + 1 - begin));
    }
    if (const size_t close = closingQuote(text); close != npos) {
        const std::string_view rest = trimBlanks(text.substr(close + 1));
        if (rest.empty() || startsWith(rest, "#"))
            return unquoteWhole(text.substr(0, close + 1));
    }
    // Not a YAML value (unclosed, or text after the closing quote): read as this reader always
    // did, everything between the outer quotes.
    const std::string_view whole = trimBlanks(text);
    if (whole.size() >= 2 && whole.back() == whole.front())
        return unquoteWhole(whole);
    return std::string(whole);
}

std::string unescapeDoubleQuotedYAML(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t backslash = std::min(text.find('\\', at), text.size());
        out.append(text.substr(at, backslash - at));
        if (backslash + 1 >= text.size()) {
            // A lone backslash at the end stays.
            if (backslash + 1 == text.size())
                out += '\\';
            break;
        }
        at = readEscape(text, backslash + 1, out);
    }
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
