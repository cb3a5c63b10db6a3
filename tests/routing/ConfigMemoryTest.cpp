// How much memory reading a configuration takes at its peak, counted through this test
// program's own operator new: a file of many lines or deep nesting must not cost many times
// its size.
#include "routing/ConfigText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

// Each block carries its size in front, aligned as operator new must be.
constexpr size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

// The most memory held at once while `read` runs, beyond what was held before.
template <typename Read> size_t peakExtraBytes(Read read) {
    const size_t before = liveBytes.load();
    peakBytes = before;
    read();
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

using namespace sonarill::routing;

TEST(ConfigReaderMemory, ManyLinesCostNoMoreThanOne) {
    std::string comments;
    while (comments.size() < (1u << 20))
        comments += "  # a comment\r\n";
    for (const std::string& text : {std::string(1 << 20, '\n'), "devices:\n" + comments}) {
        EXPECT_LT(peakExtraBytes([&] { EXPECT_TRUE(decodePersistedConfig(text)); }), 64u << 10);
    }
}

// The JSON parser keeps a few bytes for each byte of the token it is on, here the whole text;
// a document built from it would take some eighty.
TEST(ConfigReaderMemory, DeepJSONIsNeverBuilt) {
    const std::string deep(1 << 20, '[');
    // Skipped where the configuration has no key, refused at once where a record should be.
    for (const std::string& text : {"{\"x\": " + deep, "{\"devices\": " + deep}) {
        EXPECT_LT(peakExtraBytes([&] { EXPECT_FALSE(decodePersistedConfig(text)); }),
                  8 * deep.size());
    }
}
