#include "audio/CFString.h"

#include <gtest/gtest.h>

namespace {

using namespace sonarill::audio;

TEST(CFStringHelpers, TextRoundTripsThroughAReference) {
    const std::string text = "devices:\n  - name: \"Kopfh\u00f6rer \U0001F3A7\"\n";
    const ScopedCFString string = makeCFString(text);
    ASSERT_TRUE(string);
    EXPECT_EQ(stringFromCFString(string.get()), text);
    EXPECT_EQ(stringFromCFString(makeCFString("").get()), "");
    EXPECT_FALSE(stringFromCFString(nullptr));
}

TEST(CFStringHelpers, InvalidUTF8GivesNoReference) {
    EXPECT_FALSE(makeCFString("\xFF\xFE"));
}

TEST(CFStringHelpers, OwnershipMovesAndIsReleasedOnce) {
    ScopedCFString first = makeCFString("one");
    ScopedCFString second = std::move(first);
    EXPECT_FALSE(first);
    first = makeCFString("two");
    second = std::move(first); // releases "one"; the sanitizer run catches a double release
    EXPECT_EQ(stringFromCFString(second.get()), "two");
}

} // namespace
