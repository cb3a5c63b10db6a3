#include "support/LogCapture.h"

#include "log/DebugLog.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace sonarill::testing {

namespace {

std::string readFile(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

} // namespace

LogCapture::LogCapture() : start(readFile(DebugLog::logPath()).size()) {}

std::vector<std::string> LogCapture::messages() const {
    std::istringstream lines(readFile(DebugLog::logPath()).substr(start));
    std::vector<std::string> messages;
    for (std::string line; std::getline(lines, line);)
        messages.push_back(line.substr(line.find("] ", line.find("] ") + 2) + 2));
    return messages;
}

bool LogCapture::contains(const std::string& message) const {
    const std::vector<std::string> all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
}

} // namespace sonarill::testing
