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
    // Closes now, for the caller that must know whether the close succeeded.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

Failure failureFrom(const char* what) {
    return Failure{std::string(what) + ": " + std::strerror(errno)};
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// Writes the new content into the temporary completely and durably.
Expected<void> fillTemporary(FileDescriptor& descriptor, std::string_view bytes) {
    // mkostemp creates the file for its owner only; the target is an ordinary readable file.
    if (::fchmod(descriptor.get(), 0644) != 0)
        return failureFrom("cannot be written");
    if (!writeAll(descriptor.get(), bytes))
        return failureFrom("cannot be written");
    // Without this, a crash after the rename may leave an empty file in place of both contents.
    if (::fsync(descriptor.get()) != 0)
        return failureFrom("cannot be flushed to disk");
    if (descriptor.close() != 0)
        return failureFrom("cannot be written");
    return {};
}

} // namespace

Expected<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    if (!path.has_filename())
        return Failure{"is not a file name"};
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        return Failure{"cannot have its folder created: " + error.message()};

    // The same folder, so the rename stays on one file system and is atomic; hidden and unique,
    // so two writers or a leftover never collide.
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    FileDescriptor descriptor(::mkostemp(temporary.data(), O_CLOEXEC));
    if (descriptor.get() < 0)
        return failureFrom("cannot be written");
    Expected<void> written = fillTemporary(descriptor, bytes);
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0)
        written = failureFrom("cannot be replaced");
    if (!written) {
        ::unlink(temporary.c_str());
        return written;
    }
    // The rename lives in the folder's entries: flush them too, or a crash may forget it. A file
    // system that cannot sync a folder (EINVAL) has nothing more to flush.
    const FileDescriptor folderDescriptor(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderDescriptor.get() < 0 || (::fsync(folderDescriptor.get()) != 0 && errno != EINVAL))
        return failureFrom("was replaced but its folder cannot be flushed to disk");
    return {};
}

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
