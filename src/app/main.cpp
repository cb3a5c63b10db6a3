// The process entry of Sonarill: a menu-bar application without a main window.
#include "app/AppDelegate.h"
#include "app/InstanceLock.h"
#include "app/SignalPipe.h"
#include "app/Views.h"
#include "platform/AudioSystem.h"
#include "platform/qt/QtMainQueue.h"

#include <QApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef SONARILL_COVERAGE
// clang's profile runtime writes its counts at exit, which _Exit skips.
extern "C" int __llvm_profile_write_file(void);
#endif

int main(int argc, char* argv[]) {
    using namespace sonarill;
    // Before anything else: a second instance leaves the log, the files and the audio system as
    // the first one has them.
    if (const auto lock = app::defaultInstanceLockPath(); lock && app::anotherInstanceRuns(*lock)) {
        std::printf("Sonarill is already running; this instance exits\n");
        return 0;
    }
    // Before any thread exists, so that every thread starts with the handlers in place. A closed
    // standard output (a pipe whose reader left) fails the log's write instead of ending the
    // application before its orderly quit; the log ignores that failure.
    std::signal(SIGPIPE, SIG_IGN);
    const int signalPipe = app::installSignalPipe({SIGTERM, SIGINT});
    platform::startAudioSystem();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sonarill"));
    QApplication::setOrganizationName(QStringLiteral("Sonarill"));
    // Closing the settings window must not end a menu-bar application.
    QApplication::setQuitOnLastWindowClosed(false);

    platform::QtMainQueue mainQueue;
    app::AppDelegate delegate(app::applicationViews(mainQueue), signalPipe);
    QTimer::singleShot(0, &delegate, &app::AppDelegate::applicationDidFinishLaunching);
    const int status = QApplication::exec();

    // The delegate has cleaned up. The forwarder and the audio system are left as they are: a
    // query that timed out may still be blocked inside them, and tearing them down under it
    // would hang or crash the quit.
    platform::finishAudioSystem();
    std::fflush(nullptr);
#ifdef SONARILL_COVERAGE
    __llvm_profile_write_file();
#endif
    std::_Exit(status);
}
