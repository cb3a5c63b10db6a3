#include "support/LogCapture.h"

#include "log/DebugLog.h"
#include "support/FileBytes.h"

#include <algorithm>
#include <sstream>

namespace sonarill::testing {

LogCapture::LogCapture() : start(readBytes(DebugLog::logPath()).size()) {}

std::vector<std::string> LogCapture::messages() const {
    std::istringstream lines(readBytes(DebugLog::logPath()).substr(start));
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
