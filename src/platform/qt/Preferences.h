#pragma once

#include <string_view>

// The per-user preference store: QSettings under the application's organisation and name, which
// the application sets before the first use.
namespace sonarill::platform {

inline constexpr std::string_view kAutoStartEnabledKey = "autoStartEnabled";

// False when the preference was never set.
bool autoStartEnabled();
void setAutoStartEnabled(bool enabled);

} // namespace sonarill::platform
