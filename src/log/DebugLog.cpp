#include "log/DebugLog.h"

#include "base/Files.h"
#include "base/Text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace sonarill::DebugLog {
namespace {

// "HH:mm:ss.SSS" in the local time zone.
std::string currentTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    return text;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written <= 0)
            return;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
}

// Serialises the file appends so that lines of concurrent callers never interleave and two
// first writers cannot both create the file.
std::mutex& fileMutex() {
    static std::mutex mutex;
    return mutex;
}

void appendToFile(std::string_view line) {
    std::lock_guard lock(fileMutex());
    const std::string& path = logPath();
    if (path.empty())
        return;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        writeAll(fd, line);
        ::close(fd);
        return;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    writeAll(fd, line);
    ::close(fd);
}

} // namespace

const std::string& logPath() {
    static const std::string path = []() -> std::string {
        // No home folder at all: the line still reaches standard output, and no file lands in
        // whatever folder the process happens to run in.
        const std::optional<std::filesystem::path> home = base::homeFolder();
        if (!home)
            return {};
        const std::filesystem::path folder = *home / "Library" / "Logs";
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        return (folder / "Sonarill.log").string();
    }();
    return path;
}

std::string sourceBaseName(std::string_view filePath) {
    const size_t slash = filePath.find_last_of('/');
    std::string name(slash == std::string_view::npos ? filePath : filePath.substr(slash + 1));
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos)
        return name;
    const std::string extension = name.substr(dot);
    for (size_t at = name.find(extension); at != std::string::npos; at = name.find(extension, at))
        name.erase(at, extension.size());
    return name;
}

std::string formatLine(std::string_view time, std::string_view file, unsigned line,
                       std::string_view message) {
    std::string text;
    text.reserve(time.size() + file.size() + message.size() + 24);
    text += '[';
    text += time;
    text += "] [";
    text += sourceBaseName(file);
    text += ':';
    text += std::to_string(line);
    text += "] ";
    // Whatever the message carries (a device's or an application's name, a file's path, a
    // four-character code of NULs) stays on its line and shows: no value can forge a second
    // line or write a control character into a terminal or the file.
    base::appendEscaped(text, message, false);
    text += '\n';
    return text;
}

void log(std::string_view message, const char* file, unsigned line) {
    const std::string text = formatLine(currentTime(), file, line, message);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    appendToFile(text);
}

} // namespace sonarill::DebugLog
