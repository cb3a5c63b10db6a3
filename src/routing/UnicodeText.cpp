#include "routing/UnicodeText.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>

namespace sonarill::routing {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

template <typename Predicate> std::string_view trimmed(std::string_view text, Predicate keepOut) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t next = begin;
        if (!keepOut(decodeUTF8(text, next)))
            break;
        begin = next;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && isContinuation(static_cast<unsigned char>(text[start])))
            --start;
        size_t probe = start;
        const char32_t c = decodeUTF8(text, probe);
        if (probe != end || !keepOut(c))
            break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

} // namespace

char32_t decodeUTF8(std::string_view text, size_t& at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length;
    char32_t c;
    char32_t minimum;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++at;
        return kReplacement;
    }
    if (at + length > text.size()) {
        ++at;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!isContinuation(byte(at + i))) {
            ++at;
            return kReplacement;
        }
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++at;
        return kReplacement;
    }
    at += length;
    return c;
}

void appendUTF8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = kReplacement;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

size_t findInvalidUTF8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        if (decodeUTF8(text, at) == kReplacement && text.substr(start, 3) != "\xEF\xBF\xBD")
            return start;
    }
    return std::string_view::npos;
}

bool isValidUTF8(std::string_view text) {
    return findInvalidUTF8(text) == std::string_view::npos;
}

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isBlank(char32_t c) {
    return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

bool isWhitespaceOrLineBreak(char32_t c) {
    if (c == U'\t' || isLineBreak(c))
        return true;
    const int8_t type = u_charType(static_cast<UChar32>(c));
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::string_view trimBlanks(std::string_view text) {
    return trimmed(text, isBlank);
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    return trimmed(text, isWhitespaceOrLineBreak);
}

std::string lowercased(std::string_view text) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::string out;
    unicode.toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

namespace {

// An ICU collator is not safe to share between threads, and opening one costs far more than a
// comparison: each thread keeps its own, opened again when the default locale has changed.
// Null when ICU cannot open one.
const icu::Collator* collatorForDefaultLocale() {
    thread_local std::unique_ptr<icu::Collator> collator;
    thread_local std::string localeName;
    const icu::Locale& locale = icu::Locale::getDefault();
    if (!collator || localeName != locale.getName()) {
        UErrorCode status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status))
            collator.reset();
        else
            collator->setStrength(icu::Collator::SECONDARY); // case-blind, accent-aware
        localeName = locale.getName();
    }
    return collator.get();
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

} // namespace

int compareLocalizedCaseInsensitive(std::string_view a, std::string_view b) {
    if (const icu::Collator* collator = collatorForDefaultLocale()) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result = collator->compareUTF8(
            icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
            icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
        if (U_SUCCESS(status) && result != UCOL_EQUAL)
            return result == UCOL_LESS ? -1 : 1;
    }
    // Without a collator, or for a tie, byte order still gives a total, stable order.
    return sign(a.compare(b));
}

} // namespace sonarill::routing
