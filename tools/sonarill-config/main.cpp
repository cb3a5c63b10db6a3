// sonarill-config FILE: reads a configuration file with Sonarill's own reader and prints the
// records it understood, in the layout Sonarill writes. Lets a user check a hand-edited file.
#include "routing/ConfigText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace {

std::optional<std::string> readFile(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, count);
    const bool failed = std::ferror(file);
    const int error = errno;
    std::fclose(file);
    if (failed) {
        errno = error;
        return std::nullopt;
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: sonarill-config FILE\n";
        return 2;
    }
    const char* path = argv[1];
    const std::optional<std::string> bytes = readFile(path);
    if (!bytes) {
        std::cerr << "sonarill-config: cannot read " << path << ": " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    const auto config = sonarill::routing::decodePersistedConfig(*bytes);
    if (!config) {
        std::cerr << "sonarill-config: " << path
                  << " is neither UTF-8 configuration text nor a valid JSON configuration\n";
        return 1;
    }
    std::cout << sonarill::routing::makeConfigYAML(*config);
    return 0;
}
