#pragma once

#include <filesystem>
#include <optional>

// One instance per user: a second would take the default output over again, start a second
// guard, empty the first one's log, and give the output back at its quit while the first still
// routes. The instances find each other through a lock on a file beside the configuration file.
namespace sonarill::app {

// <home>/Library/Application Support/Sonarill/sonarill.lock; absent without a home folder.
std::optional<std::filesystem::path> defaultInstanceLockPath();

// True when another process holds the lock on `path`. Otherwise this process holds it from now on
// until it ends, however it ends (the system lets go of it), and false; also false when the file
// cannot be made or locked at all: better a second instance than none.
bool anotherInstanceRuns(const std::filesystem::path& path);

} // namespace sonarill::app
