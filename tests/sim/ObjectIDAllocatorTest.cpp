// Object IDs for simulated devices and streams, on a small range so that running out is seen.

#include "sim/ObjectIDAllocator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using sonarill::sim::ObjectIDAllocator;
using ::testing::ElementsAreArray;

std::vector<AudioObjectID> handOutAll(ObjectIDAllocator& ids) {
    std::vector<AudioObjectID> handed;
    while (const auto id = ids.next())
        handed.push_back(*id);
    return handed;
}

TEST(ObjectIDAllocator, HandsOutEachIDOnceFromAboveTheNamedOnesThenRunsOut) {
    const struct {
        std::set<AudioObjectID> named;
        std::vector<AudioObjectID> handed;
    } cases[] = {
        {{}, {2, 3, 4, 5, 6}},        {{4}, {5, 6, 2, 3}},
        {{3, 5}, {6, 2, 4}},          {{6}, {2, 3, 4, 5}}, // named at the top: round at once
        {{0, 1, 9}, {2, 3, 4, 5, 6}},                      // outside the range: no effect
        {{2, 3, 4, 5, 6}, {}},
    };
    for (const auto& [named, handed] : cases) {
        ObjectIDAllocator ids(2, 6);
        ids.restart(named);
        EXPECT_THAT(handOutAll(ids), ElementsAreArray(handed));
        EXPECT_FALSE(ids.next()); // and stays run out
    }
}

TEST(ObjectIDAllocator, SkipsIDsNamedOnTheWayAndStartsOverOnRestart) {
    ObjectIDAllocator ids(2, 6);
    ids.restart({});
    EXPECT_EQ(ids.next(), 2u);
    ids.name(4);
    ids.name(2); // already handed out: nothing to skip
    EXPECT_THAT(handOutAll(ids), ElementsAreArray({3u, 5u, 6u}));
    ids.restart({3});
    EXPECT_THAT(handOutAll(ids), ElementsAreArray({4u, 5u, 6u, 2u}));
}

} // namespace
