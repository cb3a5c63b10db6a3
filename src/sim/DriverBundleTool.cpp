// Writes the driver bundle that the build carries next to the executables.

#include "sim/DriverBundle.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: sonarill-driver-bundle <path of Sonarill.driver>\n", stderr);
        return 2;
    }
    const auto written =
        sonarill::sim::writeDriverBundle(argv[1], sonarill::sim::carriedDriverBundle());
    if (!written) {
        std::fprintf(stderr, "sonarill-driver-bundle: %s\n", written.error().c_str());
        return 1;
    }
    return 0;
}
