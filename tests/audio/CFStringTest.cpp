// String references as the audio system hands them out, and the helpers that own and read them.

#include "audio/CFString.h"

#include <gtest/gtest.h>

namespace {

using namespace sonarill::audio;

// The sanitizer run reports a use after free, a double release or a leak.
TEST(CFStrings, ValidUTF8RoundTripsAndEachReferenceIsReleasedOnce) {
    const std::string text = "devices:\n  - name: \"Kopfh\u00f6rer \U0001F3A7\"\n";
    EXPECT_EQ(stringFromCFString(makeCFString(text).get()), text);
    EXPECT_EQ(stringFromCFString(makeCFString("").get()), "");
    EXPECT_FALSE(stringFromCFString(nullptr));
    for (const char* bad :
         {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF5\x80\x80\x80", "a\x80", "\xFF"})
        EXPECT_FALSE(makeCFString(bad)) << bad;

    ScopedCFString first = makeCFString("a\u00e9\U0001F3B5");
    EXPECT_EQ(CFStringGetLength(first.get()), 4); // UTF-16 units: the note is a surrogate pair
    char buffer[8];
    EXPECT_FALSE(CFStringGetCString(first.get(), buffer, 7, kCFStringEncodingUTF8)); // no NUL
    EXPECT_TRUE(CFStringGetCString(first.get(), buffer, 8, kCFStringEncodingUTF8));
    EXPECT_EQ(CFRetain(first.get()), first.get());
    CFRelease(first.get()); // the retain kept it alive
    ScopedCFString second = std::move(first);
    EXPECT_FALSE(first);
    first = makeCFString("two");
    second = std::move(first); // releases the first string
    EXPECT_EQ(stringFromCFString(second.get()), "two");
}

} // namespace
