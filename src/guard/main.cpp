// sonarill-guard: started by Sonarill at launch with a pipe as its standard input; gives the
// default outputs and buffer frame sizes back when the application dies without quitting.

#include "guard/Guard.h"
#include "log/DebugLog.h"
#include "platform/AudioSystem.h"

#include <csignal>
#include <string>

#include <unistd.h>

int main() {
    // A second program on the system the application runs: it must see that system as the
    // application left it and change nothing by itself.
    sonarill::platform::joinAudioSystem();
    // Standard output may be a pipe whose reader went with the application: a log line must not
    // end the guard before it has given the output back.
    std::signal(SIGPIPE, SIG_IGN);
    sonarill::DebugLog::log("guard: watching the application (pid=" + std::to_string(getppid()) +
                            ")");
    sonarill::guard::runGuard(STDIN_FILENO);
    return 0;
}
