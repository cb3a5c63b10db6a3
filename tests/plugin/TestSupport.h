#pragma once

#include "platform/PrivilegedShell.h"
#include "plugin/PluginLifecycleManager.h"
#include "sim/DriverBundle.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonarill::plugin::test {

// A fresh folder under /tmp, removed with everything in it at the end of the test.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A plug-in bundle with this identifier and executable, its Info.plist in the given format.
void writeBundle(const std::filesystem::path& bundle, const std::string& identifier,
                 const std::string& executableBytes,
                 sim::PlistFormat format = sim::PlistFormat::xml);

void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::string readFile(const std::filesystem::path& file);

// Every file and folder below root, as paths relative to it, sorted.
std::vector<std::string> treeBelow(const std::filesystem::path& root);

// The messages logged since construction, without their time and source location.
class LogCapture {
public:
    LogCapture();
    std::vector<std::string> messages() const;

private:
    std::uintmax_t start_ = 0;
};

// Records every script; answers with a fixed result, or hands the script on to the
// platform's real shell when built with forwardToSystem.
class RecordingShell final : public platform::PrivilegedShell {
public:
    static std::shared_ptr<RecordingShell> forwardingToSystem();
    static std::shared_ptr<RecordingShell> answering(platform::PrivilegedShellResult result);

    platform::PrivilegedShellResult run(const std::string& scriptText) override;
    const std::vector<std::string>& scripts() const { return scripts_; }

private:
    std::unique_ptr<platform::PrivilegedShell> forwardTo_;
    platform::PrivilegedShellResult answer_;
    std::vector<std::string> scripts_;
};

// A clock that only moves when the installer sleeps; onSleep runs after each sleep with its
// duration, so a test can move the simulated world along with it.
class FakeClock {
public:
    InstallerClock clock();
    std::chrono::milliseconds elapsed() const { return elapsed_; }
    int sleepCount() const { return sleepCount_; }
    std::function<void(std::chrono::milliseconds)> onSleep;

private:
    std::chrono::milliseconds elapsed_{0};
    int sleepCount_ = 0;
};

} // namespace sonarill::plugin::test
