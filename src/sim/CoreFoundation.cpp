#include "sim/CoreFoundation.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

struct __CFString {
    std::atomic<long> references{1};
    std::string utf8;
};

namespace {

// The number of UTF-16 code units of valid UTF-8 text, or nothing when the text is not valid
// UTF-8 (overlong forms, surrogates and values past U+10FFFF included).
std::optional<CFIndex> utf16Length(std::string_view text) {
    CFIndex units = 0;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            codePoint = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            codePoint = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + extra >= text.size())
            return std::nullopt; // truncated sequence
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        const bool overlong =
            (extra == 2 && codePoint < 0x800) || (extra == 3 && codePoint < 0x10000);
        const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
        if (overlong || surrogate || codePoint > 0x10FFFF)
            return std::nullopt;
        units += codePoint >= 0x10000 ? 2 : 1;
        i += extra + 1;
    }
    return units;
}

bool isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

__CFString* mutableString(CFStringRef string) {
    // Strings are immutable to callers; only the reference count changes.
    return const_cast<__CFString*>(string);
}

} // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    if (cf == nullptr) {
        std::fputs("CFRetain called with NULL\n", stderr);
        std::abort();
    }
    mutableString(static_cast<CFStringRef>(cf))->references.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (cf == nullptr) {
        std::fputs("CFRelease called with NULL\n", stderr);
        std::abort();
    }
    auto* string = mutableString(static_cast<CFStringRef>(cf));
    if (string->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete string;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr)
        return nullptr;
    const std::string_view text(cStr);
    if (encoding == kCFStringEncodingASCII && !isASCII(text))
        return nullptr;
    if (encoding != kCFStringEncodingASCII &&
        (encoding != kCFStringEncodingUTF8 || !utf16Length(text)))
        return nullptr;
    auto* string = new __CFString;
    string->utf8 = text;
    return string;
}

CFIndex CFStringGetLength(CFStringRef theString) {
    if (theString == nullptr)
        return 0;
    return utf16Length(theString->utf8).value_or(0);
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0)
        return -1;
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (theString == nullptr || buffer == nullptr || bufferSize <= 0)
        return false;
    const std::string& text = theString->utf8;
    if (encoding != kCFStringEncodingUTF8 && (encoding != kCFStringEncodingASCII || !isASCII(text)))
        return false;
    if (static_cast<size_t>(bufferSize) < text.size() + 1)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}
}
