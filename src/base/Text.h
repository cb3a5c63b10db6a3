#pragma once

#include <string>
#include <string_view>

// UTF-8 text, and writing any text so that it stays on one line and shows every character: the
// escapes of YAML's double-quoted values, shared by the configuration file and the log.
namespace sonarill::base {

// Decodes the code point at `at` and moves past it; a malformed byte decodes as U+FFFD.
char32_t decodeUTF8(std::string_view text, size_t& at);
// Encodes a Unicode scalar value; a surrogate or a value beyond U+10FFFF is encoded as U+FFFD.
void appendUTF8(std::string& out, char32_t c);

// YAML's escapes that stand for another character than their letter. A backslash before any
// other character gives that character: \" \\ \/, a backslash and a blank or a tab, and, as
// this reader always did, a backslash before a letter YAML does not know.
struct NamedEscape {
    char32_t character;
    char letter;
};
inline constexpr NamedEscape kNamedEscapes[] = {
    {U'\0', '0'},     {U'\a', 'a'},     {U'\b', 'b'},     {U'\t', 't'},   {U'\n', 'n'},
    {U'\v', 'v'},     {U'\f', 'f'},     {U'\r', 'r'},     {U'\x1B', 'e'}, {U'\u0085', 'N'},
    {U'\u00A0', '_'}, {U'\u2028', 'L'}, {U'\u2029', 'P'},
};

// Appends `text` with line breaks, controls and the characters YAML does not allow raw in a
// double-quoted value escaped; invalid UTF-8 is written as U+FFFD. With `quoting`, the double
// quote and the backslash are escaped too, so that the result can stand between double quotes.
void appendEscaped(std::string& out, std::string_view text, bool quoting);

// The text escaped as appendEscaped does without `quoting`: for showing untrusted text on one
// line, in a log line or a message.
std::string escapeUnprintable(std::string_view text);

} // namespace sonarill::base
