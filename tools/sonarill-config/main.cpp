// sonarill-config FILE: reads a configuration file with Sonarill's own reader and prints the
// records it understood, in the layout Sonarill writes. Lets a user check a hand-edited file.
#include "base/Files.h"
#include "routing/ConfigText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using sonarill::routing::escapeUnprintable;

// Every message is one line: a path with a line break or a control character is shown quoted
// and escaped.
std::string shownPath(std::string_view path) {
    return escapeUnprintable(path) == path ? std::string(path) : sonarill::routing::quoteYAML(path);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "sonarill-config: %s\n", escapeUnprintable(message).c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: sonarill-config FILE\n", stderr);
        return 2;
    }
    const std::string path = shownPath(argv[1]);
    const auto bytes = sonarill::base::readFileBounded(argv[1]);
    if (!bytes)
        return fail(path + " " + bytes.error());
    const auto config = sonarill::routing::decodePersistedConfig(*bytes);
    if (!config)
        return fail(path + ": " + config.error());
    const std::string text = sonarill::routing::makeConfigYAML(*config);
    // A full disk or a closed pipe must not pass for a printed configuration.
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return fail(std::string("cannot write the output: ") + std::strerror(errno));
    return 0;
}
