#pragma once

#include "sim/Control.h"
#include "support/Scratch.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Gives one test its own simulated audio system.
namespace sonarill::testing {

// Points XDG_DATA_HOME at a fresh temporary folder (so the simulated HAL plug-in folder is the
// test's own), then resets the simulation to `world`. On destruction the simulation is reset to
// an empty world, which drops every listener, fault and hook, the folder is removed and
// XDG_DATA_HOME restored. Create it before anything else in the test uses the simulation.
class ScopedSimWorld {
public:
    explicit ScopedSimWorld(const sim::World& world = sim::defaultWorld(),
                            sim::TimelineClock clock = sim::TimelineClock::realTime);
    ~ScopedSimWorld();
    ScopedSimWorld(const ScopedSimWorld&) = delete;
    ScopedSimWorld& operator=(const ScopedSimWorld&) = delete;

    const std::filesystem::path& dataHome() const { return dataHome_.path(); }
    // The simulated HAL folder of this test (created, possibly empty).
    std::filesystem::path halFolder() const;

private:
    ScratchFolder dataHome_;
    std::optional<std::string> previousDataHome_;
};

// The world in `json`; a parse error fails the current test and gives an empty world.
sim::World worldFromJSON(std::string_view json);

// The default world with the plug-in already installed and loaded.
sim::World worldWithDriver(bool routeConfig = true);

} // namespace sonarill::testing
