#include "sim/CoreFoundation.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What every object shares: its count of references and how it is destroyed.
struct __CFObject {
    std::atomic<long> references{1};
    bool immortal = false; // a constant: retains and releases leave it alone
    virtual ~__CFObject() = default;
};

struct __CFString : __CFObject {
    std::string utf8;
};

struct __CFUUID : __CFObject {
    CFUUIDBytes bytes{};
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

__CFObject* mutableObject(CFTypeRef cf) {
    // Objects are immutable to callers; only the reference count changes.
    return const_cast<__CFObject*>(static_cast<const __CFObject*>(cf));
}

bool sameBytes(const CFUUIDBytes& a, const CFUUIDBytes& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    if (cf == nullptr) {
        std::fputs("CFRetain called with NULL\n", stderr);
        std::abort();
    }
    __CFObject* object = mutableObject(cf);
    if (!object->immortal)
        object->references.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (cf == nullptr) {
        std::fputs("CFRelease called with NULL\n", stderr);
        std::abort();
    }
    __CFObject* object = mutableObject(cf);
    if (!object->immortal && object->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete object;
}

CFTypeID CFStringGetTypeID(void) {
    return 7;
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    if (cf == nullptr) {
        std::fputs("CFGetTypeID called with NULL\n", stderr);
        std::abort();
    }
    constexpr CFTypeID kUUIDTypeID = 31;
    return dynamic_cast<const __CFString*>(static_cast<const __CFObject*>(cf)) != nullptr
               ? CFStringGetTypeID()
               : kUUIDTypeID;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == nullptr || cf2 == nullptr) {
        std::fputs("CFEqual called with NULL\n", stderr);
        std::abort();
    }
    const auto* a = static_cast<const __CFObject*>(cf1);
    const auto* b = static_cast<const __CFObject*>(cf2);
    if (const auto* s1 = dynamic_cast<const __CFString*>(a)) {
        const auto* s2 = dynamic_cast<const __CFString*>(b);
        return s2 != nullptr && s1->utf8 == s2->utf8;
    }
    const auto* u1 = dynamic_cast<const __CFUUID*>(a);
    const auto* u2 = dynamic_cast<const __CFUUID*>(b);
    return u1 != nullptr && u2 != nullptr && sameBytes(u1->bytes, u2->bytes);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6,
                                         UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                         UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15) {
    const CFUUIDBytes bytes{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                            byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    // Few constants exist, each asked for often: a short list, kept for the life of the process.
    // Never destroyed: a plug-in may still ask for a constant while the process exits.
    static std::mutex& mutex = *new std::mutex;
    static std::vector<const __CFUUID*>& constants = *new std::vector<const __CFUUID*>;
    const std::lock_guard lock(mutex);
    for (const __CFUUID* known : constants) {
        if (sameBytes(known->bytes, bytes))
            return known;
    }
    auto* uuid = new __CFUUID;
    uuid->immortal = true;
    uuid->bytes = bytes;
    constants.push_back(uuid);
    return uuid;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    auto* uuid = new __CFUUID;
    uuid->bytes = bytes;
    return uuid;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return uuid == nullptr ? CFUUIDBytes{} : uuid->bytes;
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr) {
    if (uuidStr == nullptr)
        return nullptr;
    const std::string& text = uuidStr->utf8;
    if (text.size() != 36)
        return nullptr;
    UInt8 bytes[16] = {};
    size_t next = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return nullptr;
            ++i;
            continue;
        }
        const int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return nullptr;
        bytes[next++] = UInt8(high * 16 + low);
        i += 2;
    }
    CFUUIDBytes value;
    std::memcpy(&value, bytes, sizeof value);
    return CFUUIDCreateFromUUIDBytes(alloc, value);
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

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags) {
    const int order = theString1->utf8.compare(theString2->utf8);
    return order < 0 ? kCFCompareLessThan : order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}
}
