# Qt for the application shell, its views and their tests; the core layers never link it, and only
# the targets with Q_OBJECT classes run Qt's meta-object compiler (AUTOMOC, set on each).
# SONARILL_QT=OFF builds the core alone: the ThreadSanitizer preset does, since Debian's Qt is not
# built with ThreadSanitizer and no Qt test runs there.
option(SONARILL_QT "Build the Qt shell, views and their tests" ON)
if(SONARILL_QT)
    find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Test)
endif()
