#include "routing/ConfigText.h"

#include "routing/UnicodeText.h"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <random>

using namespace sonarill::routing;

namespace {

// Characters that stress the writer and the reader: quoting, escapes and the letters of
// escapes, comments, separators, line breaks, controls, characters YAML does not print, marks
// that combine with a neighbouring quote, and non-ASCII text. Not U+0085, U+FFFE and U+FFFF:
// yaml-cpp 0.7 reads the escape \N as a lone byte and writes the two non-characters as U+FFFD;
// how Sonarill writes and reads them is in the quoting and escape tables.
constexpr char32_t kAlphabet[] = {
    U'a',      U'Z',          U'0',  U' ',    U'\t',   U'"',      U'\'',     U'\\',     U':',
    U'#',      U'-',          U'{',  U'n',    U'N',    U'L',      U'P',      U'x',      U'u',
    U'e',      U'_',          U'/',  U'\n',   U'\r',   U'\v',     U'\f',     U'\u2028', U'\u2029',
    U'\u00A0', U'\u3000',     U'é',  U'ß',    U'İ',    U'\u0301', U'\u200D', U'\u0600', U'漢',
    U'🎧',      U'\U0001F1EB', U'\0', U'\x01', U'\x1B', U'\x7F',   U'\u0080', U'\u009F', U'\uFEFF',
};

class Generator {
public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    std::string text() {
        std::string out;
        const int length = pick(0, 12);
        for (int i = 0; i < length; ++i)
            appendUTF8(out, kAlphabet[pick(0, std::size(kAlphabet) - 1)]);
        return out;
    }

    // Volumes with at most six decimals are what the text can carry exactly.
    float volume() { return static_cast<float>(pick(0, 1'000'000)) / 1e6f; }

    PersistedConfig config() {
        PersistedConfig config;
        for (int i = pick(0, 4); i > 0; --i) {
            PersistedDevice device{
                text(), text(), std::nullopt, pick(0, 1) == 1, pick(-1000, 1000), volume()};
            if (pick(0, 1))
                device.customName = text();
            config.devices.push_back(device);
        }
        for (int i = pick(0, 4); i > 0; --i)
            config.appRoutes.push_back({text(), text(), volume()});
        return config;
    }

    // The text with its double-quoted values wrapped over lines at random, as YAML tools wrap a
    // long value and a hand may: a backslash and a line break between two characters (nothing),
    // a line break for a single blank between two words (a blank), a line break and an empty
    // line for an escaped line feed between two words (a line feed). Continuation lines are
    // indented.
    std::string wrapped(const std::string& text) {
        std::string out;
        bool quoted = false;
        for (size_t at = 0; at < text.size();) {
            const char c = text[at];
            const size_t width = c != '\\'             ? 1
                                 : text[at + 1] == 'x' ? 4
                                 : text[at + 1] == 'u' ? 6
                                                       : 2;
            const auto word = [](char byte) {
                return byte != ' ' && byte != '\t' && byte != '"' && byte != '\n' &&
                       (byte & 0xC0) != 0x80;
            };
            // Between two characters of the value, the one before as written out.
            if (quoted && !out.empty() && word(out.back()) && (c == ' ' || word(c)) &&
                at + width < text.size() && word(text[at + width]) && pick(0, 5) == 0) {
                if (c == ' ')
                    out += "\n    ";
                else if (text.compare(at, 2, "\\n") == 0)
                    out += "\n\n    ";
                else
                    out += "\\\n    " + text.substr(at, width);
                at += width;
                continue;
            }
            if (c == '"')
                quoted = !quoted;
            out.append(text, at, width);
            at += width;
        }
        return out;
    }

private:
    int pick(int low, size_t high) {
        return std::uniform_int_distribution<int>(low, static_cast<int>(high))(random_);
    }
    std::mt19937 random_;
};

// The one normalisation the writer applies: a custom name is kept trimmed, and only when it
// says something the name does not.
PersistedConfig asRead(PersistedConfig config) {
    for (PersistedDevice& device : config.devices) {
        if (!device.customName)
            continue;
        const std::string_view trimmed = trimWhitespaceAndNewlines(*device.customName);
        device.customName = trimmed.empty() || trimmed == device.name
                                ? std::nullopt
                                : std::optional<std::string>(trimmed);
    }
    return config;
}

// What a YAML library reads in a configuration text.
PersistedConfig readWithYAMLLibrary(const std::string& text) {
    const YAML::Node root = YAML::Load(text);
    PersistedConfig config;
    // Volumes go through a double, as in Sonarill's reader.
    const auto volume = [](const YAML::Node& node) {
        return static_cast<float>(node.as<double>());
    };
    for (const YAML::Node& node : root["devices"]) {
        PersistedDevice device;
        device.uid = node["uid"].as<std::string>();
        device.name = node["name"].as<std::string>();
        if (node["custom_name"])
            device.customName = node["custom_name"].as<std::string>();
        device.enabled = node["enabled"].as<bool>();
        device.sortOrder = node["sort_order"].as<int64_t>();
        device.masterVolume = volume(node["master_volume"]);
        config.devices.push_back(device);
    }
    for (const YAML::Node& node : root["app_routes"])
        config.appRoutes.push_back({node["bundle_id"].as<std::string>(),
                                    node["device_uid"].as<std::string>(), volume(node["volume"])});
    return config;
}

// The records as a YAML library writes them in block style.
std::string writeWithYAMLLibrary(const PersistedConfig& config, bool escapeNonASCII) {
    YAML::Emitter out;
    if (escapeNonASCII)
        out.SetOutputCharset(YAML::EscapeNonAscii);
    out << YAML::BeginMap << YAML::Key << "devices" << YAML::Value << YAML::BeginSeq;
    for (const PersistedDevice& device : config.devices) {
        out << YAML::BeginMap;
        out << YAML::Key << "uid" << YAML::Value << device.uid;
        out << YAML::Key << "name" << YAML::Value << device.name;
        if (device.customName)
            out << YAML::Key << "custom_name" << YAML::Value << *device.customName;
        out << YAML::Key << "enabled" << YAML::Value << device.enabled;
        out << YAML::Key << "sort_order" << YAML::Value << device.sortOrder;
        out << YAML::Key << "master_volume" << YAML::Value << device.masterVolume;
        out << YAML::EndMap;
    }
    out << YAML::EndSeq << YAML::Key << "app_routes" << YAML::Value << YAML::BeginSeq;
    for (const PersistedAppRoute& route : config.appRoutes) {
        out << YAML::BeginMap;
        out << YAML::Key << "bundle_id" << YAML::Value << route.bundleId;
        out << YAML::Key << "device_uid" << YAML::Value << route.deviceUid;
        out << YAML::Key << "volume" << YAML::Value << route.volume;
        out << YAML::EndMap;
    }
    out << YAML::EndSeq << YAML::EndMap;
    EXPECT_TRUE(out.good()) << out.GetLastError();
    return std::string(out.c_str(), out.size()) + "\n";
}

// Equal records, or a failure that shows both as the text Sonarill writes for them, with every
// odd character escaped.
testing::AssertionResult sameRecords(const PersistedConfig& read, const PersistedConfig& expected,
                                     const std::string& text) {
    if (read == expected)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "read from\n"
                                       << text << "these records:\n"
                                       << makeConfigYAML(read) << "instead of:\n"
                                       << makeConfigYAML(expected);
}

} // namespace

// What Sonarill writes reads back unchanged here, and reads the same in a YAML library (users
// edit the file with YAML tools); also with its values wrapped over lines, as such tools and
// hands wrap them.
TEST(ConfigRoundTrip, WrittenRecordsReadBackUnchangedHereAndInAYAMLLibraryWrappedOrNot) {
    for (const bool wrap : {false, true}) {
        Generator generate(wrap ? 20261207 : 20261206);
        for (int round = 0; round < 3000; ++round) {
            const PersistedConfig written = generate.config(), config = asRead(written);
            const std::string text = makeConfigYAML(written);
            const std::string read = wrap ? generate.wrapped(text) : text;
            SCOPED_TRACE("round " + std::to_string(round) + (wrap ? ", wrapped" : ""));
            ASSERT_TRUE(sameRecords(parseSimpleYAMLConfig(read), config, read));
            PersistedConfig library;
            ASSERT_NO_THROW(library = readWithYAMLLibrary(read)) << read;
            ASSERT_TRUE(sameRecords(library, config, read));
        }
    }
}

// And what such a tool writes reads the same here.
TEST(ConfigRoundTrip, FilesAYAMLLibraryWritesReadTheSameHere) {
    Generator generate(20261208);
    constexpr int kRounds = 1000;
    int unfaithful = 0;
    for (int round = 0; round < kRounds; ++round) {
        const PersistedConfig config = asRead(generate.config());
        for (const bool escapeNonASCII : {true, false}) {
            const std::string text = writeWithYAMLLibrary(config, escapeNonASCII);
            // yaml-cpp 0.7 writes a lone carriage return raw inside an unquoted value, where
            // every YAML reader, its own included, takes it for a line break: such a file no
            // longer holds the records (which an unquoted value over lines here would not
            // change), so there is nothing to compare.
            if (text.find('\r') != std::string::npos) {
                ++unfaithful;
                continue;
            }
            const PersistedConfig libraryRead = readWithYAMLLibrary(text);
            ASSERT_TRUE(sameRecords(libraryRead, config, text))
                << "yaml-cpp does not read its own file the same; round " << round;
            ASSERT_TRUE(sameRecords(parseSimpleYAMLConfig(text), asRead(libraryRead), text))
                << "round " << round;
        }
    }
    // The comparison must have been made for most of the 2 * kRounds files (about nine in ten
    // with this seed).
    EXPECT_LT(unfaithful, kRounds / 2);
}
