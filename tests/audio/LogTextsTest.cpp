#include "audio/DeviceLookup.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using namespace sonarill::audio;

TEST(LogTexts, FourCharacterCodesMostSignificantByteFirstAndStatusNames) {
    const std::pair<uint32_t, std::string> cases[] = {
        {0x626C746E, "bltn"},
        {0x75736220, "usb "}, // the trailing blank stays
        {0, std::string(4, '\0')},
        {0x7F000001, std::string("\x7F\0\0\x01", 4)}, // ASCII, if not printable
        {0x8000ABCD, "0x8000ABCD"},
        {0x80616263, "0x80616263"}, // 128 alone is not ASCII
        {0x616263FF, "0x616263FF"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(fourCCString(value), text) << std::hex << value;

    const std::pair<OSStatus, const char*> statuses[] = {
        {0, "noErr"},
        {-10879, "kAudioUnitErr_InvalidProperty"},
        {-10874, "kAudioUnitErr_TooManyFramesToProcess"},
        {-10868, "kAudioUnitErr_FormatNotSupported"},
        {-10867, "kAudioUnitErr_Uninitialized"},
        {-10863, "kAudioUnitErr_CannotDoInCurrentContext"},
        {0x77686F3F, "who?"},
        {kAudioHardwareBadObjectError, "!obj"},
        {-50, "-50"},
        {0x20202020, "    "},
        {0x7E7E7E7F, "2122219135"}, // DEL is not printable
        {0x1F414141, "524370241"},
    };
    for (const auto& [status, text] : statuses)
        EXPECT_EQ(osStatusString(status), text) << status;
}

} // namespace
