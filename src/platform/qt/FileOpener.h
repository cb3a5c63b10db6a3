#pragma once

#include <filesystem>

namespace sonarill::platform {

// Hands the file to the user's default application for it. Whether that worked is neither
// reported nor known: the desktop decides, possibly later.
void openInDefaultApplication(const std::filesystem::path& file);

} // namespace sonarill::platform
