// sim_peer: a second program on the simulated audio system, for the tests of what processes
// share. "sim_peer join|start COMMAND...": joins the running system or starts the process's
// world, then runs the commands in order and reports on standard error:
//   print                 "output=<UID> system=<UID>"
//   output <UID>          makes the device the default output
//   wait <SECONDS>        sleeps
//   remove-driver         deletes the driver from the plug-in folder and looks at the folder

#include "sim/Control.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

using namespace sonarill::sim;

namespace {

void print() {
    const std::string line =
        "output=" + defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice).value_or("nil") +
        " system=" +
        defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice).value_or("nil") + "\n";
    std::fputs(line.c_str(), stderr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    std::string(argv[1]) == "join" ? joinSimulation() : startSimulation();
    for (int i = 2; i < argc; ++i) {
        const std::string command = argv[i];
        const int left = argc - i - 1;
        if (command == "print") {
            print();
        } else if (command == "output" && left >= 1) {
            if (!setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, argv[++i]))
                return 1;
        } else if (command == "remove-driver") {
            std::filesystem::remove_all(halPluginFolder() / "Sonarill.driver");
            checkPluginFolder();
        } else if (command == "wait" && left >= 1) {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::stod(argv[++i])));
        } else {
            return 2;
        }
    }
    return 0;
}
