#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace sonarill::testing {

ScopedSimWorld::ScopedSimWorld(const sim::World& world, sim::TimelineClock clock)
    : dataHome_("sonarill-sim") {
    if (const char* previous = std::getenv("XDG_DATA_HOME"))
        previousDataHome_ = previous;
    setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
    std::error_code error;
    std::filesystem::create_directories(halFolder(), error);
    EXPECT_FALSE(error) << error.message();
    const base::Expected<void> reset = sim::resetWorld(world, clock);
    EXPECT_TRUE(reset) << reset.error();
}

ScopedSimWorld::~ScopedSimWorld() {
    (void)sim::resetWorld(sim::World{}, sim::TimelineClock::manual);
    if (previousDataHome_)
        setenv("XDG_DATA_HOME", previousDataHome_->c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

std::filesystem::path ScopedSimWorld::halFolder() const {
    return dataHome() / "sonarill-sim" / "HAL";
}

sim::World worldFromJSON(std::string_view json) {
    auto world = sim::parseWorld(json);
    if (!world) {
        ADD_FAILURE() << "world does not parse: " << world.error();
        return {};
    }
    return std::move(world).value();
}

sim::World worldWithDriver(bool routeConfig) {
    sim::World world = sim::defaultWorld();
    world.plugin.installed = true;
    world.plugin.routeConfig = routeConfig;
    return world;
}

} // namespace sonarill::testing
