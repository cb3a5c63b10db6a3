#pragma once

#include <QApplication>

namespace sonarill::testing {

// The one QApplication of a test program, made on first use on the calling thread, which is then
// the main thread. Never destroyed: other statics may still use Qt at exit.
inline QApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "sonarill-tests";
    static char* argv[] = {name, nullptr};
    static auto* application = new QApplication(argc, argv);
    return *application;
}

} // namespace sonarill::testing
