// The simulated CoreFoundation strings behave like Apple's where the program relies on them.

#include "sim/CoreFoundation.h"

#include <gtest/gtest.h>

namespace {

TEST(CFString, LengthCountsUTF16Units) {
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, "a\u00e9\U0001F3B5", kCFStringEncodingUTF8);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(CFStringGetLength(string), 4); // the note is a surrogate pair
    char buffer[16];
    EXPECT_TRUE(CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "a\u00e9\U0001F3B5");
    EXPECT_FALSE(CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingASCII));
    CFRelease(string);
}

TEST(CFString, BufferMustHoldTheTerminator) {
    CFStringRef string = CFStringCreateWithCString(nullptr, "abcd", kCFStringEncodingUTF8);
    char buffer[5];
    EXPECT_FALSE(CFStringGetCString(string, buffer, 4, kCFStringEncodingUTF8));
    EXPECT_TRUE(CFStringGetCString(string, buffer, 5, kCFStringEncodingUTF8));
    CFRelease(string);
}

TEST(CFString, InvalidUTF8GivesNoString) {
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF5\x80\x80\x80", "a\x80"})
        EXPECT_EQ(CFStringCreateWithCString(nullptr, bad, kCFStringEncodingUTF8), nullptr) << bad;
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\u00e9", kCFStringEncodingASCII), nullptr);
}

TEST(CFString, RetainKeepsTheStringAliveUntilTheLastRelease) {
    CFStringRef string = CFStringCreateWithCString(nullptr, "kept", kCFStringEncodingUTF8);
    EXPECT_EQ(CFRetain(string), string);
    CFRelease(string);
    char buffer[8];
    EXPECT_TRUE(CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8));
    CFRelease(string); // ASan reports a use after free or a leak if counting is wrong
}

TEST(CFStringDeathTest, ReleasingNullStopsTheProcessAsOnApple) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease called with NULL");
}

} // namespace
