// How much memory reading a configuration takes at its peak, counted through this test
// program's own operator new: a file of many lines or deep nesting must not cost many times
// its size.
#include "routing/ConfigText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> liveBytes{0}, peakBytes{0};

// Each block carries its size in front, aligned as operator new must be.
constexpr size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

// The most memory held at once while the text is decoded, beyond what was held before.
size_t peakExtraBytes(const std::string& text, bool decodable) {
    const size_t before = peakBytes = liveBytes.load();
    EXPECT_EQ(bool(sonarill::routing::decodePersistedConfig(text)), decodable);
    return peakBytes.load() - before;
}

} // namespace

void* operator new(size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!block)
        throw std::bad_alloc();
    *reinterpret_cast<size_t*>(block) = size;
    const size_t live = liveBytes += size;
    size_t peak = peakBytes.load();
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
    return block + kHeader;
}
void operator delete(void* pointer) noexcept {
    if (!pointer)
        return;
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    liveBytes -= *reinterpret_cast<size_t*>(block);
    std::free(block);
}
void operator delete(void* pointer, size_t) noexcept {
    operator delete(pointer);
}

TEST(ConfigReaderMemory, ManyLinesCostNoMoreThanOne) {
    std::string comments = "devices:\n";
    while (comments.size() < (1u << 20))
        comments += "  # a comment\r\n";
    EXPECT_LT(peakExtraBytes(std::string(1 << 20, '\n'), true), 64u << 10);
    EXPECT_LT(peakExtraBytes(comments, true), 64u << 10);
}

// The JSON parser keeps a few bytes for each byte of the token it is on, here the whole text;
// a document built from it would take some eighty. Deep nesting is skipped where the
// configuration has no key, refused at once where a record should be.
TEST(ConfigReaderMemory, DeepJSONIsNeverBuilt) {
    const std::string deep(1 << 20, '[');
    EXPECT_LT(peakExtraBytes("{\"x\": " + deep, false), 8 * deep.size());
    EXPECT_LT(peakExtraBytes("{\"devices\": " + deep, false), 8 * deep.size());
}
