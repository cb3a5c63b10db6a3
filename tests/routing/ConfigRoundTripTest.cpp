#include "routing/ConfigText.h"

#include "routing/UnicodeText.h"

#include <gtest/gtest.h>

#include <random>

using namespace sonarill::routing;

namespace {

// Characters that stress the writer and the reader: quoting, escapes, separators, line breaks,
// marks that combine with a neighbouring quote, and non-ASCII text.
constexpr char32_t kAlphabet[] = {
    U'a',  U'Z',      U'0',      U' ',      U'\t',     U'"',      U'\'',         U'\\', U':',
    U'#',  U'-',      U'{',      U'n',      U'N',      U'L',      U'P',          U'\n', U'\r',
    U'\v', U'\f',     U'\u0085', U'\u2028', U'\u2029', U'\u00A0', U'\u3000',     U'é',  U'ß',
    U'İ',  U'\u0301', U'\u200D', U'\u0600', U'漢',     U'🎧',      U'\U0001F1EB', U'\0',
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
        std::string trimmed = trimWhitespaceAndNewlines(*device.customName);
        device.customName = trimmed.empty() || trimmed == device.name
                                ? std::nullopt
                                : std::optional(std::move(trimmed));
    }
    return config;
}

} // namespace

TEST(ConfigRoundTrip, WrittenRecordsReadBackUnchanged) {
    Generator generate(20261206);
    for (int round = 0; round < 3000; ++round) {
        const PersistedConfig config = generate.config();
        const std::string text = makeConfigYAML(config);
        ASSERT_EQ(parseSimpleYAMLConfig(text), asRead(config)) << "round " << round << ":\n"
                                                               << text;
        ASSERT_EQ(decodePersistedConfig(text), asRead(config)) << "round " << round;
    }
}
