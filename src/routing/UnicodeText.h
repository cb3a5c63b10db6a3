#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The few Unicode rules the configuration text and the records need, on UTF-8 text.
namespace sonarill::routing {

bool isValidUTF8(std::string_view text);

// Line breaks: U+000A to U+000D, U+0085, U+2028 and U+2029.
bool isLineBreak(char32_t c);
// Blanks and tabs: the space separators (Zs) and U+0009.
bool isBlank(char32_t c);
// White space and line breaks: every separator (Zs, Zl, Zp), U+0009 and the line breaks.
bool isWhitespaceOrLineBreak(char32_t c);

std::string trimBlanks(std::string_view text);
std::string trimWhitespaceAndNewlines(std::string_view text);

// Splits at every line-break character; a CR LF pair therefore yields an empty line between.
std::vector<std::string_view> splitLines(std::string_view text);

// User-perceived characters (extended grapheme clusters), counted up to `limit`.
size_t countCharacters(std::string_view text, size_t limit);

std::string lowercased(std::string_view text);

// Decodes the code point at `at` and moves past it; a malformed byte decodes as U+FFFD.
char32_t decodeUTF8(std::string_view text, size_t& at);
void appendUTF8(std::string& out, char32_t c);

} // namespace sonarill::routing
