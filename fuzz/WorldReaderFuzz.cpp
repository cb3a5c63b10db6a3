// Feeds arbitrary bytes to the world-file reader. Besides crashes, hangs and leaks it checks that
// a refusal is one line without control characters, whatever text of the file it quotes.
#include "sim/World.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto world = sonarill::sim::parseWorld({reinterpret_cast<const char*>(data), size});
    if (world)
        return 0;
    const std::string_view line = world.error();
    if (line.empty())
        std::abort();
    for (size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        const auto next = i + 1 < line.size() ? static_cast<unsigned char>(line[i + 1]) : 0;
        const bool c1 = byte == 0xC2 && next >= 0x80 && next <= 0x9F; // U+0080 to U+009F
        if (byte < 0x20 || byte == 0x7F || c1)
            std::abort();
    }
    return 0;
}
