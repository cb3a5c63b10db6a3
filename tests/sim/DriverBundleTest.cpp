#include "sim/DriverBundle.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace sonarill::sim;

TEST(DriverBundle, RoundTripsInBothPlistFormats) {
    sonarill::testing::ScopedSimWorld world;
    for (const auto format : {PlistFormat::xml, PlistFormat::binary}) {
        const auto path = world.dataHome() / "Test.driver";
        const std::string executable("by\0tes", 6);
        ASSERT_FALSE(writeDriverBundle(path, {"com.example.test", false, executable}, format));
        const auto read = readDriverBundle(path);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->bundleIdentifier, "com.example.test");
        EXPECT_FALSE(read->supportsRouteConfig);
        EXPECT_EQ(read->executable, executable);
    }
}

TEST(DriverBundle, WritingReplacesAnOldBundleCompletely) {
    sonarill::testing::ScopedSimWorld world;
    const auto path = world.dataHome() / "Sonarill.driver";
    ASSERT_FALSE(writeDriverBundle(path, carriedDriverBundle()));
    std::ofstream(path / "Contents/stale.txt") << "old";
    ASSERT_FALSE(writeDriverBundle(path, carriedDriverBundle()));
    EXPECT_FALSE(std::filesystem::exists(path / "Contents/stale.txt"));
    EXPECT_TRUE(readDriverBundle(path)->supportsRouteConfig);
}

TEST(DriverBundle, TheBuildCarriesThisBuildsDriver) {
    const auto carried = readDriverBundle(SONARILL_CARRIED_DRIVER_DIR);
    ASSERT_TRUE(carried);
    const DriverBundle expected = carriedDriverBundle();
    EXPECT_EQ(carried->bundleIdentifier, expected.bundleIdentifier);
    EXPECT_TRUE(carried->supportsRouteConfig);
    EXPECT_EQ(carried->executable, expected.executable);
}

} // namespace
