#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The two facts the installer compares between bundles.
namespace sonarill::plugin {

// The text under "CFBundleIdentifier" of a property list file, XML or binary. Absent when the
// file cannot be read, is not a property list with a dictionary at its root, or holds no text
// under that key.
std::optional<std::string> bundleIdentifierInPlist(const std::filesystem::path& plistFile);

// True when both files can be read completely and hold the same bytes.
bool filesHaveSameBytes(const std::filesystem::path& first, const std::filesystem::path& second);

} // namespace sonarill::plugin
