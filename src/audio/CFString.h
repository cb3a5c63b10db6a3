#pragma once

#include "audio/CoreAudioAPI.h"

#include <optional>
#include <string>
#include <string_view>

// Conversions between text and the audio system's string references.
namespace sonarill::audio {

// The UTF-8 text of a string reference; nothing for a null reference. Does not release it.
std::optional<std::string> stringFromCFString(CFStringRef string);

// Owns one reference and releases it once.
class ScopedCFString {
public:
    ScopedCFString() = default;
    explicit ScopedCFString(CFStringRef owned) : string_(owned) {}
    ScopedCFString(const ScopedCFString&) = delete;
    ScopedCFString& operator=(const ScopedCFString&) = delete;
    ScopedCFString(ScopedCFString&& other) noexcept : string_(other.string_) {
        other.string_ = nullptr;
    }
    ScopedCFString& operator=(ScopedCFString&& other) noexcept;
    ~ScopedCFString();

    CFStringRef get() const { return string_; }
    explicit operator bool() const { return string_ != nullptr; }

private:
    CFStringRef string_ = nullptr;
};

// Empty when the text is not valid UTF-8. Text after a NUL character is not kept.
ScopedCFString makeCFString(std::string_view text);

} // namespace sonarill::audio
