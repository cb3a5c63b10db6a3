#include "TestSupport.h"

#include "log/DebugLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sonarill::plugin::test {
namespace fs = std::filesystem;

namespace {

// The log file lives below HOME and its path is fixed on first use, so HOME points at a scratch
// folder before any test logs.
class ScratchHome : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/sonarill-plugin-home-XXXXXX";
        home_ = mkdtemp(pattern);
        setenv("HOME", home_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(home_); }

private:
    std::string home_;
};
const auto* const scratchHome = ::testing::AddGlobalTestEnvironment(new ScratchHome);

} // namespace

TempFolder::TempFolder() {
    char pattern[] = "/tmp/sonarill-plugin-XXXXXX";
    path_ = mkdtemp(pattern);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

void writeBundle(const fs::path& bundle, const std::string& identifier,
                 const std::string& executableBytes, sim::PlistFormat format) {
    ASSERT_EQ(sim::writeDriverBundle(bundle, {identifier, true, executableBytes}, format),
              std::nullopt);
}

std::vector<std::string> treeBelow(const fs::path& root) {
    std::vector<std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        entries.push_back(entry.path().lexically_relative(root).string());
    std::sort(entries.begin(), entries.end());
    return entries;
}

LogCapture::LogCapture() {
    std::error_code error;
    start_ = fs::file_size(DebugLog::logPath(), error);
    if (error)
        start_ = 0;
}

std::vector<std::string> LogCapture::messages() const {
    std::string text = readFile(DebugLog::logPath());
    text.erase(0, std::min<size_t>(start_, text.size()));
    std::vector<std::string> messages;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        // "[time] [File:line] message"
        const size_t end = line.find("] ", line.find("] ") + 2);
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return messages;
}

std::shared_ptr<RecordingShell> RecordingShell::forwardingToSystem() {
    auto shell = std::make_shared<RecordingShell>();
    shell->forwardTo_ = platform::systemPrivilegedShell();
    return shell;
}

std::shared_ptr<RecordingShell> RecordingShell::answering(platform::PrivilegedShellResult result) {
    auto shell = std::make_shared<RecordingShell>();
    shell->answer_ = std::move(result);
    return shell;
}

platform::PrivilegedShellResult RecordingShell::run(const std::string& scriptText) {
    scripts_.push_back(scriptText);
    return forwardTo_ ? forwardTo_->run(scriptText) : answer_;
}

InstallerClock FakeClock::clock() {
    return {[this] { return std::chrono::steady_clock::time_point(elapsed_); },
            [this](std::chrono::milliseconds duration) {
                elapsed_ += duration;
                ++sleepCount_;
                if (onSleep)
                    onSleep(duration);
            }};
}

} // namespace sonarill::plugin::test
