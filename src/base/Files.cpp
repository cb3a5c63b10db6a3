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

// What the path names when it is not a regular file, as a phrase to follow it.
std::string notRegularFile(mode_t mode) {
    if (S_ISDIR(mode))
        return "is a folder, not a file";
    if (S_ISFIFO(mode))
        return "is a pipe (FIFO), not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "is a device, not a regular file";
    if (S_ISSOCK(mode))
        return "is a socket, not a regular file";
    return "is not a regular file";
}

// Where a write to `path` must land: `path` itself, or, when it is a symbolic link, the file the
// chain of links ends at, so that replacing it keeps the link (a configuration kept with the
// user's other settings elsewhere). Fails on a loop of links.
Expected<std::filesystem::path> linkTarget(std::filesystem::path path) {
    constexpr int kMaxLinks = 40; // as the kernel allows in one path
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)))
            return path;
        const std::filesystem::path target = std::filesystem::read_symlink(path, error);
        if (error)
            return Failure{"cannot be written: " + error.message()};
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return Failure{std::string("cannot be written: ") + std::strerror(ELOOP)};
}

} // namespace

Expected<void> writeFileAtomically(const std::filesystem::path& requested, std::string_view bytes) {
    if (!requested.has_filename())
        return Failure{"is not a file name"};
    const Expected<std::filesystem::path> target = linkTarget(requested);
    if (!target)
        return Failure{target.error()};
    const std::filesystem::path& path = *target;
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::error_code error;
    // A link's target goes where the link says, and no folder is made up for a dangling one.
    if (path != requested && !std::filesystem::is_directory(folder, error))
        return Failure{"is a link into a missing folder: " + folder.string()};
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
    // Non-blocking, so that opening a FIFO nobody writes to returns at once instead of waiting
    // for a writer; links are followed, and what they lead to must be a regular file.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == EISDIR)
            return Failure{"is a folder, not a file"};
        return Failure{std::string("cannot be opened: ") + std::strerror(errno)};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return Failure{std::string("cannot be read: ") + std::strerror(errno)};
    if (!S_ISREG(info.st_mode))
        return Failure{notRegularFile(info.st_mode)};
    const std::string tooLarge = "is larger than " + sizeText(limit);
    if (static_cast<std::size_t>(info.st_size) > limit)
        return Failure{tooLarge};

    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
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

Expected<std::filesystem::path> moveAside(const std::filesystem::path& path,
                                          std::string_view suffix, int keep) {
    const auto name = [&](int number) {
        std::filesystem::path kept = path;
        kept += suffix;
        if (number > 0)
            kept += "." + std::to_string(number);
        return kept;
    };
    std::error_code error;
    int newest = -1;
    for (int number = 0; number < keep; ++number) {
        if (std::filesystem::exists(std::filesystem::symlink_status(name(number), error)))
            newest = number;
    }
    if (newest + 1 == keep) {
        // The shift would otherwise rename each copy over the next older one.
        if (!std::filesystem::remove(name(0), error) || error)
            return Failure{"cannot drop the oldest kept copy " + name(0).string() + ": " +
                           (error ? error.message() : std::string("it is gone"))};
        for (int number = 1; number < keep; ++number)
            std::filesystem::rename(name(number), name(number - 1), error);
        newest = keep - 2;
    }
    const std::filesystem::path kept = name(newest + 1);
    // A name the shift could not free is another kept copy, never replaced.
    if (std::filesystem::exists(std::filesystem::symlink_status(kept, error)))
        return Failure{"cannot be renamed to " + kept.string() + ": the name is taken"};
    std::filesystem::rename(path, kept, error);
    if (error)
        return Failure{"cannot be renamed to " + kept.string() + ": " + error.message()};
    return kept;
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
