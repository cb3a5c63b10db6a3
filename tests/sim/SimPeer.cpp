// sim_peer: a second program on the simulated audio system, for the tests of what processes
// share. "sim_peer join|start COMMAND...": joins the running system or starts the process's
// world, then runs the commands in order and reports on standard error:
//   print                 "output=<UID> system=<UID>" then "<UID>=<frames>" per device
//   output|system <UID>   makes the device the default output or default system output
//   frames <UID> <N>      sets the device's buffer frame size through the HAL
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
    std::string line =
        "output=" + defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice).value_or("nil") +
        " system=" +
        defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice).value_or("nil") + "\n";
    for (const Device& device : devices())
        line += device.uid + "=" + std::to_string(device.bufferFrameSize) + "\n";
    std::fputs(line.c_str(), stderr);
}

bool setFrames(const std::string& uid, UInt32 frames) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                             kAudioObjectPropertyScopeGlobal, 0};
    for (const Device& device : devices()) {
        if (device.uid == uid)
            return AudioObjectSetPropertyData(device.id, &address, 0, nullptr, sizeof frames,
                                              &frames) == noErr;
    }
    return false;
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
        } else if ((command == "output" || command == "system") && left >= 1) {
            if (!setDefaultDevice(command == "output"
                                      ? kAudioHardwarePropertyDefaultOutputDevice
                                      : kAudioHardwarePropertyDefaultSystemOutputDevice,
                                  argv[++i]))
                return 1;
        } else if (command == "frames" && left >= 2) {
            const std::string uid = argv[++i];
            if (!setFrames(uid, static_cast<UInt32>(std::stoul(argv[++i]))))
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
