# Qt for the application shell, its views and their tests; the core layers never link it.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Test)
set(CMAKE_AUTOMOC ON)
