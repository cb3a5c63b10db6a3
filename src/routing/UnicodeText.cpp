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
