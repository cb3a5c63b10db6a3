#include "routing/UnicodeText.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

namespace sonarill::routing {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

template <typename Predicate> std::string trimmed(std::string_view text, Predicate keepOut) {
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
    return std::string(text.substr(begin, end - begin));
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

bool isValidUTF8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        if (decodeUTF8(text, at) == kReplacement && text.substr(start, 3) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
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

std::string trimBlanks(std::string_view text) {
    return trimmed(text, isBlank);
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    return trimmed(text, isWhitespaceOrLineBreak);
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t lineStart = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        if (isLineBreak(decodeUTF8(text, at))) {
            lines.push_back(text.substr(lineStart, start - lineStart));
            lineStart = at;
        }
    }
    lines.push_back(text.substr(lineStart));
    return lines;
}

size_t countCharacters(std::string_view text, size_t limit) {
    if (text.empty() || limit == 0)
        return 0;
    // Creating a break iterator loads its rules; each thread keeps one.
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    if (!iterator || U_FAILURE(status)) {
        utext_close(utext);
        return 0;
    }
    iterator->setText(utext, status);
    size_t count = 0;
    if (U_SUCCESS(status)) {
        iterator->first();
        while (count < limit && iterator->next() != icu::BreakIterator::DONE)
            ++count;
    }
    utext_close(utext);
    return count;
}

std::string lowercased(std::string_view text) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::string out;
    unicode.toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

} // namespace sonarill::routing
