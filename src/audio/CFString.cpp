#include "audio/CFString.h"

#include <cstring>

namespace sonarill::audio {

std::optional<std::string> stringFromCFString(CFStringRef string) {
    if (string == nullptr)
        return std::nullopt;
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    if (capacity <= 0)
        return std::nullopt;
    std::string buffer(static_cast<size_t>(capacity), '\0');
    if (!CFStringGetCString(string, buffer.data(), capacity, kCFStringEncodingUTF8))
        return std::nullopt;
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

ScopedCFString& ScopedCFString::operator=(ScopedCFString&& other) noexcept {
    if (this != &other) {
        if (string_ != nullptr)
            CFRelease(string_);
        string_ = other.string_;
        other.string_ = nullptr;
    }
    return *this;
}

ScopedCFString::~ScopedCFString() {
    if (string_ != nullptr)
        CFRelease(string_);
}

ScopedCFString makeCFString(std::string_view text) {
    const std::string copy(text);
    return ScopedCFString(
        CFStringCreateWithCString(kCFAllocatorDefault, copy.c_str(), kCFStringEncodingUTF8));
}

} // namespace sonarill::audio
