// Feeds arbitrary bytes to the configuration reader. Besides crashes, hangs and leaks it checks
// that whatever the reader accepted is written and read back unchanged.
#include "routing/ConfigText.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace sonarill::routing;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto config = decodePersistedConfig(bytes);
    if (!config)
        return 0;
    const std::string written = makeConfigYAML(*config);
    const PersistedConfig reread = parseSimpleYAMLConfig(written);
    if (makeConfigYAML(reread) != written)
        std::abort();
    return 0;
}
