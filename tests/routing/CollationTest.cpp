#include "routing/UnicodeText.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

using sonarill::routing::compareLocalizedCaseInsensitive;
using sonarill::routing::localizedCaseInsensitiveLess;

namespace {

// Sets ICU's default locale for one test and puts the previous one back.
class InLocale {
public:
    explicit InLocale(const char* name) : previous_(icu::Locale::getDefault()) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(name), status);
        EXPECT_TRUE(U_SUCCESS(status)) << name;
    }
    ~InLocale() {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(previous_, status);
    }
    InLocale(const InLocale&) = delete;
    InLocale& operator=(const InLocale&) = delete;

private:
    icu::Locale previous_;
};

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return localizedCaseInsensitiveLess(a, b);
    });
    return names;
}

TEST(LocalizedCaseInsensitiveOrder, IgnoresCaseButNotAccentsAndBreaksTiesByBytes) {
    const InLocale english("en_US");
    // Byte order would put every capital first.
    EXPECT_EQ(sorted({"cherry", "Banana", "apple"}),
              (std::vector<std::string>{"apple", "Banana", "cherry"}));
    // Ties of case in byte order, whatever order they come in: a sort is reproducible.
    EXPECT_EQ(sorted({"safari", "SAFARI", "Safari"}),
              (std::vector<std::string>{"SAFARI", "Safari", "safari"}));
    EXPECT_EQ(sorted({"Safari", "safari", "SAFARI"}),
              (std::vector<std::string>{"SAFARI", "Safari", "safari"}));
    const struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"apple", "Banana", -1},  {"Banana", "apple", 1}, {"Zoom", "zoom", -1},
        {"zoom", "Zoom", 1},      {"same", "same", 0},    {"", "a", -1},
        {"resume", "résumé", -1}, // accents count
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareLocalizedCaseInsensitive(c.a, c.b), c.expected) << c.a << " / " << c.b;
}

TEST(LocalizedCaseInsensitiveOrder, GermanUmlautsSortNextToTheirBaseLetters) {
    const InLocale german("de_DE");
    EXPECT_EQ(sorted({"Zebra", "Äpfel", "Banane", "apfel", "Apfel"}),
              (std::vector<std::string>{"Apfel", "apfel", "Äpfel", "Banane", "Zebra"}));
}

// The collator follows a change of the default locale: Swedish puts Ä after Z.
TEST(LocalizedCaseInsensitiveOrder, FollowsTheDefaultLocaleWhenItChanges) {
    {
        const InLocale german("de_DE");
        EXPECT_EQ(compareLocalizedCaseInsensitive("Äpple", "Zebra"), -1);
    }
    const InLocale swedish("sv_SE");
    EXPECT_EQ(compareLocalizedCaseInsensitive("Äpple", "Zebra"), 1);
}

TEST(LocalizedCaseInsensitiveOrder, MalformedUTF8IsOrderedWithoutHarm) {
    const InLocale english("en_US");
    const std::string broken = "a\xff\xfe";
    const std::string truncated = "a\xc3";
    EXPECT_EQ(compareLocalizedCaseInsensitive(broken, broken), 0);
    // Both decode to "a" and U+FFFD: only their bytes tell them apart, consistently.
    const int forward = compareLocalizedCaseInsensitive(broken, truncated);
    EXPECT_NE(forward, 0);
    EXPECT_EQ(compareLocalizedCaseInsensitive(truncated, broken), -forward);
    EXPECT_EQ(sorted({"b", broken, "A"}).front(), "A");
}

// Each thread has its own collator; sorting on several at once is race-free (ThreadSanitizer).
TEST(LocalizedCaseInsensitiveOrder, SortsOnSeveralThreadsAtOnceAlike) {
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i)
        names.push_back((i % 2 ? "Name " : "name ") + std::to_string(i * 7919 % 200));
    const std::vector<std::string> expected = sorted(names);
    std::vector<std::vector<std::string>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&names, &result] { result = sorted(names); });
    for (auto& thread : threads)
        thread.join();
    for (const auto& result : results)
        EXPECT_EQ(result, expected);
}

} // namespace
