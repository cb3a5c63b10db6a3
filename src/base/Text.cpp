#include "base/Text.h"

namespace sonarill::base {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// What may stand raw in a one-line double-quoted YAML value: YAML's printable characters
// except the line breaks (U+0085, U+2028 and U+2029 break lines for YAML 1.1 readers) and
// U+FEFF, which a reader may take for a byte-order mark.
bool isRawInYAML(char32_t c) {
    if (c < 0x80)
        return c == U'\t' || (c >= 0x20 && c != 0x7F);
    return c >= 0xA0 && c != 0x2028 && c != 0x2029 && c != 0xFEFF && c != 0xFFFE && c != 0xFFFF;
}

void appendEscape(std::string& out, char32_t c) {
    out += '\\';
    for (const NamedEscape& escape : kNamedEscapes) {
        if (escape.character == c) {
            out += escape.letter;
            return;
        }
    }
    if (c == U'"' || c == U'\\') {
        out += static_cast<char>(c);
        return;
    }
    // Everything else escaped lies below U+10000.
    constexpr char digits[] = "0123456789ABCDEF";
    const int width = c < 0x100 ? 2 : 4;
    out += width == 2 ? 'x' : 'u';
    for (int shift = (width - 1) * 4; shift >= 0; shift -= 4)
        out += digits[(c >> shift) & 0xF];
}

} // namespace

void appendEscaped(std::string& out, std::string_view text, bool quoting) {
    const auto special = [quoting](char32_t c) {
        return !isRawInYAML(c) || (quoting && (c == U'"' || c == U'\\'));
    };
    for (size_t at = 0; at < text.size();) {
        // Runs of plain ASCII, nearly all of any value, are copied as they are.
        size_t end = at;
        while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80 &&
               !special(static_cast<unsigned char>(text[end])))
            ++end;
        out.append(text.substr(at, end - at));
        if (end == text.size())
            return;
        at = end;
        // A byte that is not UTF-8 decodes as U+FFFD, which is what is written for it.
        const char32_t c = decodeUTF8(text, at);
        if (special(c))
            appendEscape(out, c);
        else
            appendUTF8(out, c);
    }
}

std::string escapeUnprintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text, false);
    return out;
}

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

} // namespace sonarill::base
