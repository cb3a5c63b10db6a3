// sonarill-sim join|start COMMAND...: another program on the simulated audio system, as a second
// process sees Core Audio on a Mac. With it a demo changes, while Sonarill runs, what a user would
// change in System Settings; the tests use it to check what processes share.
//
// "join" joins the system as it is; "start" starts this process's own world (SONARILL_SIM_WORLD,
// or the built-in one), which sets the shared defaults and buffer frame sizes as that world says.
// Then the commands run in order, each reporting on standard error:
//   print                 "output=<UID> system=<UID>": the default output and system output
//   output <UID>          makes the device the default output
//   wait <SECONDS>        sleeps
//   remove-driver         deletes the driver from the plug-in folder; the audio server notices
// Exits 0; 1 when a command fails, with a line saying why; 2 for arguments it refuses.

#include "sim/Control.h"
#include "sim/DriverBundle.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

using namespace sonarill::sim;

namespace {

int usage() {
    std::fputs(
        "usage: sonarill-sim join|start [print | output UID | wait SECONDS | remove-driver]...\n",
        stderr);
    return 2;
}

void print() {
    const std::string line =
        "output=" + defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice).value_or("nil") +
        " system=" +
        defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice).value_or("nil") + "\n";
    std::fputs(line.c_str(), stderr);
}

// Seconds to wait: a plain non-negative number, or nothing.
std::optional<double> seconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0 && value < 1e6 ? std::optional(value)
                                                                      : std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "join" && mode != "start")
        return usage();
    mode == "join" ? joinSimulation() : startSimulation();
    for (int i = 2; i < argc; ++i) {
        const std::string command = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (command == "print") {
            print();
        } else if (command == "output" && i + 1 < argc) {
            ++i;
            const auto set = setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, value);
            if (!set) {
                std::fprintf(stderr, "sonarill-sim: %s\n", set.error().c_str());
                return 1;
            }
        } else if (command == "wait" && seconds(value)) {
            ++i;
            std::this_thread::sleep_for(std::chrono::duration<double>(*seconds(value)));
        } else if (command == "remove-driver") {
            std::filesystem::remove_all(halPluginFolder() / kDriverBundleName);
            checkPluginFolder();
        } else {
            return usage();
        }
    }
    return 0;
}
