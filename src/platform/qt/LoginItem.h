#pragma once

#include "base/Expected.h"

#include <filesystem>
#include <optional>
#include <string>

// Starting the application when the user logs in: SMAppService's main application service on
// Apple, an XDG autostart entry elsewhere.
namespace sonarill::platform {

// Registers (enabled) or unregisters the application as a login item. The failure's reason is
// the platform's description of the error.
base::Expected<void> setLoginItemEnabled(bool enabled);

#ifndef __APPLE__
// $XDG_CONFIG_HOME/autostart/sonarill.desktop ($HOME/.config when XDG_CONFIG_HOME is unset or
// not absolute); absent without a home folder.
std::optional<std::filesystem::path> autostartEntryPath();

// The desktop entry that starts `executable`, its Exec= line quoted and escaped so that any path
// reaches the program as one argument.
std::string autostartDesktopEntry(const std::filesystem::path& executable);
#endif

} // namespace sonarill::platform
