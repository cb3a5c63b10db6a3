#include "app/InstanceLock.h"

#include "base/Files.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace sonarill::app {

std::optional<std::filesystem::path> defaultInstanceLockPath() {
    const auto home = base::homeFolder();
    if (!home)
        return std::nullopt;
    return *home / "Library" / "Application Support" / "Sonarill" / "sonarill.lock";
}

bool anotherInstanceRuns(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    // Closed on exec: the guard and the installer's shell must not hold it after this process.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return false; // held, with the descriptor left open, until the process ends
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return heldElsewhere;
}

} // namespace sonarill::app
