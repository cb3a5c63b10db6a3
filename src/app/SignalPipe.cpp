#include "app/SignalPipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace sonarill::app {

namespace {

int writeEnd = -1;

void writeSignalNumber(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe drops the byte: enough signals are already waiting to quit.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

bool setFlags(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 &&
           ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

} // namespace

int installSignalPipe(std::initializer_list<int> signalNumbers) {
    int ends[2] = {-1, -1};
    if (::pipe(ends) != 0)
        return -1;
    if (!setFlags(ends[0]) || !setFlags(ends[1])) {
        ::close(ends[0]);
        ::close(ends[1]);
        return -1;
    }
    writeEnd = ends[1];
    struct sigaction action = {};
    action.sa_handler = writeSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : signalNumbers)
        ::sigaction(signal, &action, nullptr);
    return ends[0];
}

int readSignal(int readEnd) {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t count = ::read(readEnd, &byte, 1);
        if (count == 1)
            return byte;
        if (count < 0 && errno == EINTR)
            continue;
        return 0;
    }
}

} // namespace sonarill::app
