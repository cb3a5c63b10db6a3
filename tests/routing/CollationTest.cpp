// The order of names in lists: localized and case-insensitive, following the default locale.
#include "routing/UnicodeText.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

using sonarill::routing::compareLocalizedCaseInsensitive;
using sonarill::routing::localizedCaseInsensitiveLess;
using Names = std::vector<std::string>;

namespace {

void setLocale(const icu::Locale& locale) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(locale, status);
    EXPECT_TRUE(U_SUCCESS(status)) << locale.getName();
}

// Sets ICU's default locale for one test and puts the previous one back.
struct InLocale {
    explicit InLocale(const char* name) { setLocale(icu::Locale(name)); }
    ~InLocale() { setLocale(previous); }
    icu::Locale previous = icu::Locale::getDefault();
};

Names sorted(Names names) {
    std::sort(names.begin(), names.end(), localizedCaseInsensitiveLess);
    return names;
}

// Byte order would put every capital first; ties of case go in byte order, whatever order they
// come in, so that a sort is reproducible; accents count. German umlauts sort next to their base
// letters, Swedish puts Ä after Z: the collator follows a change of the default locale.
TEST(LocalizedCaseInsensitiveOrder, SortsAsTheLocaleDoesIgnoringCaseOnly) {
    const struct {
        const char* locale;
        Names names, expected;
    } sorts[] = {
        {"en_US", {"cherry", "Banana", "apple"}, {"apple", "Banana", "cherry"}},
        {"en_US", {"Safari", "safari", "SAFARI"}, {"SAFARI", "Safari", "safari"}},
        {"de_DE",
         {"Zebra", "Äpfel", "Banane", "apfel", "Apfel"},
         {"Apfel", "apfel", "Äpfel", "Banane", "Zebra"}},
        {"sv_SE", {"Äpple", "Zebra"}, {"Zebra", "Äpple"}},
    };
    for (const auto& c : sorts) {
        const InLocale locale(c.locale);
        EXPECT_EQ(sorted(c.names), c.expected) << c.locale;
    }
    const InLocale english("en_US");
    const struct {
        const char *a, *b;
        int expected;
    } cases[] = {{"Banana", "apple", 1}, {"Zoom", "zoom", -1}, {"zoom", "Zoom", 1},
                 {"same", "same", 0},    {"", "a", -1},        {"resume", "résumé", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(compareLocalizedCaseInsensitive(c.a, c.b), c.expected) << c.a << " / " << c.b;
}

TEST(LocalizedCaseInsensitiveOrder, MalformedUTF8IsOrderedWithoutHarm) {
    const InLocale english("en_US");
    const std::string broken = "a\xff\xfe", truncated = "a\xc3";
    EXPECT_EQ(compareLocalizedCaseInsensitive(broken, broken), 0);
    // Both decode to "a" and U+FFFD: only their bytes tell them apart, consistently.
    const int forward = compareLocalizedCaseInsensitive(broken, truncated);
    EXPECT_NE(forward, 0);
    EXPECT_EQ(compareLocalizedCaseInsensitive(truncated, broken), -forward);
    EXPECT_EQ(sorted({"b", broken, "A"}).front(), "A");
}

// Each thread has its own collator; sorting on several at once is race-free (ThreadSanitizer).
TEST(LocalizedCaseInsensitiveOrder, SortsOnSeveralThreadsAtOnceAlike) {
    Names names;
    for (int i = 0; i < 200; ++i)
        names.push_back((i % 2 ? "Name " : "name ") + std::to_string(i * 7919 % 200));
    const Names expected = sorted(names);
    std::vector<Names> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&names, &result] { result = sorted(names); });
    for (auto& thread : threads)
        thread.join();
    for (const auto& result : results)
        EXPECT_EQ(result, expected);
}

} // namespace
