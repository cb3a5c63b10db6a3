#pragma once

#include "routing/Records.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The configuration text: the file ~/Library/Application Support/Sonarill/config.yaml and,
// unchanged, the payload pushed to the driver. A small YAML subset with a hand-written writer
// and a forgiving line reader; a JSON form is accepted on reading.
namespace sonarill::routing {

// The text for these records, devices and routes in the order given. Ends with a line feed.
std::string makeConfigYAML(const PersistedConfig& config);

// "%.6f" of the volume clamped to 0..1, with "." whatever the process locale.
std::string formatVolume(float volume);

// Text values are always double-quoted; backslash, double quote and line breaks are escaped.
std::string quoteYAML(std::string_view value);

// Nothing only when the bytes are neither configuration text nor a readable JSON configuration.
std::optional<PersistedConfig> decodePersistedConfig(std::string_view data);

// Never fails: records without their identifying keys are dropped and unreadable values fall
// back to their defaults.
PersistedConfig parseSimpleYAMLConfig(std::string_view text);

std::optional<std::pair<std::string, std::string>> parseYAMLKeyValue(std::string_view text);
std::string unquote(std::string_view value);
std::string unescapeDoubleQuotedYAML(std::string_view text);
std::optional<bool> parseBool(std::optional<std::string_view> value);

} // namespace sonarill::routing
