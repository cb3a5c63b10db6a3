#pragma once

#include "base/Expected.h"
#include "base/Text.h"
#include "routing/Records.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The configuration text: the file ~/Library/Application Support/Sonarill/config.yaml and,
// unchanged, the payload pushed to the driver. A small YAML subset with a hand-written writer
// and a forgiving line reader that reads values, quotes, escapes and comments as YAML does; a
// JSON form is accepted on reading.
namespace sonarill::routing {

// The text for these records, devices and routes in the order given. Ends with a line feed.
std::string makeConfigYAML(const PersistedConfig& config);

// "%.6f" of the volume clamped to 0..1, with "." whatever the process locale.
std::string formatVolume(float volume);

// Text values are always double-quoted. Backslash, double quote, line breaks and every
// character YAML does not allow raw are escaped; invalid UTF-8 is written as U+FFFD.
std::string quoteYAML(std::string_view value);

// The text with line breaks and the characters YAML does not allow raw escaped as in
// quoteYAML, but quotes and backslashes left alone: for showing untrusted text on one line.
using base::escapeUnprintable;

// The records of a configuration file's bytes (a leading byte-order mark is skipped). Fails,
// with a one-line reason, when the bytes are neither UTF-8 text nor a JSON configuration, and
// when a text that is not empty or only comments has no "devices:" or "app_routes:" section:
// such a file is not a configuration to save over.
base::Expected<PersistedConfig> decodePersistedConfig(std::string_view data);

// Never fails: records without their identifying keys are dropped and unreadable values fall
// back to their defaults. A quoted value over several lines is folded as YAML folds it; one that
// never closes, or has text after its closing quote, is dropped (decodePersistedConfig refuses
// such a file).
PersistedConfig parseSimpleYAMLConfig(std::string_view text);

std::optional<std::pair<std::string, std::string>> parseYAMLKeyValue(std::string_view text);
// A value as it follows its key's colon: double-quoted (with YAML's escapes), single-quoted
// (with '' for a quote) or plain, and then an optional comment.
std::string unquote(std::string_view value);
std::string unescapeDoubleQuotedYAML(std::string_view text);
std::optional<bool> parseBool(std::optional<std::string_view> value);

} // namespace sonarill::routing
