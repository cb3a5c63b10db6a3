#pragma once

#include "base/Text.h"

#include <cstddef>
#include <string>
#include <string_view>

// The few Unicode rules the configuration text and the records need, on UTF-8 text.
namespace sonarill::routing {

bool isValidUTF8(std::string_view text);
// Where the first byte that is not part of valid UTF-8 lies; npos when there is none.
size_t findInvalidUTF8(std::string_view text);

// Line breaks: U+000A to U+000D, U+0085, U+2028 and U+2029.
bool isLineBreak(char32_t c);
// Blanks and tabs: the space separators (Zs) and U+0009.
bool isBlank(char32_t c);
// White space and line breaks: every separator (Zs, Zl, Zp), U+0009 and the line breaks.
bool isWhitespaceOrLineBreak(char32_t c);

// Views into `text`, which must outlive them.
std::string_view trimBlanks(std::string_view text);
std::string_view trimWhitespaceAndNewlines(std::string_view text);

std::string lowercased(std::string_view text);

// The order users expect of names in lists, as Foundation's localizedCaseInsensitiveCompare:
// the current default locale's collation, ignoring case but not accents ("apple" < "Banana" <
// "cherry"; German "Äpfel" next to "Apfel"). Names equal but for case fall back to byte order,
// so the order is total and a sort gives the same list every time. Malformed UTF-8 compares as
// U+FFFD. -1, 0 or 1; 0 only for identical bytes. Safe from any thread.
int compareLocalizedCaseInsensitive(std::string_view a, std::string_view b);
inline bool localizedCaseInsensitiveLess(std::string_view a, std::string_view b) {
    return compareLocalizedCaseInsensitive(a, b) < 0;
}

using base::appendUTF8;
using base::decodeUTF8;

} // namespace sonarill::routing
