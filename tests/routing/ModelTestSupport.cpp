#include "ModelTestSupport.h"

#include <algorithm>
#include <iterator>

namespace sonarill::testing {

// The model's log lands in this program's own home.
const auto* const home = addScratchHome();

std::vector<std::string> uids(const std::vector<routing::AudioDevice>& devices) {
    std::vector<std::string> result;
    for (const auto& device : devices)
        result.push_back(device.uid);
    return result;
}

std::string ModelTest::configText() const {
    std::ifstream in(configPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void ModelTest::writeConfig(const std::string& text) const {
    std::filesystem::create_directories(configPath().parent_path());
    std::ofstream(configPath(), std::ios::binary) << text;
}

const routing::RoutedApp* ModelTest::app(const std::string& bundleId) const {
    const auto& apps = model->routedApps();
    const auto found = std::find_if(apps.begin(), apps.end(),
                                    [&](const auto& a) { return a.bundleId == bundleId; });
    return found == apps.end() ? nullptr : &*found;
}

const routing::AudioDevice* ModelTest::device(const std::string& uid) const {
    const auto& devices = model->allDevices();
    const auto found =
        std::find_if(devices.begin(), devices.end(), [&](const auto& d) { return d.uid == uid; });
    return found == devices.end() ? nullptr : &*found;
}

} // namespace sonarill::testing
