#include "base/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sonarill::base {

namespace {

std::string sizeText(std::size_t bytes) {
    constexpr std::size_t mebibyte = 1024 * 1024;
    if (bytes % mebibyte == 0)
        return std::to_string(bytes / mebibyte) + " MiB";
    return std::to_string(bytes) + " bytes";
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

Expected<std::string> readFileBounded(const std::filesystem::path& path, std::size_t limit) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == EISDIR)
            return Failure{"is a folder, not a file"};
        return Failure{std::string("cannot be opened: ") + std::strerror(errno)};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return Failure{std::string("cannot be read: ") + std::strerror(errno)};
    if (S_ISDIR(info.st_mode))
        return Failure{"is a folder, not a file"};
    const std::string tooLarge = "is larger than " + sizeText(limit);
    const bool regular = S_ISREG(info.st_mode);
    if (regular && static_cast<std::size_t>(info.st_size) > limit)
        return Failure{tooLarge};

    std::string bytes;
    // A regular file says its size; anything else (a pipe, a device) grows in steps.
    bytes.reserve(regular ? static_cast<std::size_t>(info.st_size) : 0);
    char buffer[65536];
    for (;;) {
        const std::size_t room = limit + 1 - bytes.size();
        const ssize_t count =
            ::read(file.get(), buffer, room < sizeof buffer ? room : sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Failure{std::string("cannot be read: ") + std::strerror(errno)};
        if (count == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(count));
        if (bytes.size() > limit)
            return Failure{tooLarge};
    }
    return bytes;
}

std::optional<std::filesystem::path> homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::filesystem::path(home);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || !*found->pw_dir)
        return std::nullopt;
    return std::filesystem::path(found->pw_dir);
}

} // namespace sonarill::base
