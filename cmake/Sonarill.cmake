# Warnings are errors on our own targets only; system headers stay quiet.
function(sonarill_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wimplicit-fallthrough
        -Wcast-qual -Wformat=2 -Werror)
    # GCC 12 reports false -Wrestrict overlaps inside std::string at -O3 (GCC bug 105329), and
    # takes members left out of a designated initializer for forgotten ones (fixed in GCC 13).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-restrict -Wno-missing-field-initializers)
    endif()
    # clang, like GCC 12, takes members left to their default initializers for forgotten ones.
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        target_compile_options(${target} PRIVATE -Wno-missing-field-initializers)
    endif()
endfunction()

# sonarill_library(name SOURCES ... [DEPS ...] [PRIVATE_DEPS ...]): one layer of src/, included as
# <layer/Header.h>. DEPS are what its headers expose; PRIVATE_DEPS only its implementation uses.
function(sonarill_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    sonarill_warnings(${name})
endfunction()

# sonarill_test(name SOURCES ... DEPS ... [LABELS ...] [ENVIRONMENT ...]): a GoogleTest executable
# of its own, registered with ctest suite by suite. Only for tests that cannot share a program (one
# that replaces operator new, say); the rest go into the shared programs through sonarill_tests.
function(sonarill_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;ENVIRONMENT" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    sonarill_register_tests(${name} "${ARG_LABELS}" "${ARG_ENVIRONMENT}")
endfunction()

# sonarill_tests(program SOURCES ... [DEPS ...] [LINK_OPTIONS ...]): one layer's tests, compiled
# into one of the few shared test programs that tests/CMakeLists.txt makes (core_tests, qt_tests):
# each of those links the whole stack once, where a program per layer would link it a dozen times.
function(sonarill_tests program)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LINK_OPTIONS" ${ARGN})
    foreach(source IN LISTS ARG_SOURCES)
        cmake_path(ABSOLUTE_PATH source)
        set_property(GLOBAL APPEND PROPERTY sonarill_${program}_sources ${source})
    endforeach()
    set_property(GLOBAL APPEND PROPERTY sonarill_${program}_deps ${ARG_DEPS})
    set_property(GLOBAL APPEND PROPERTY sonarill_${program}_link_options ${ARG_LINK_OPTIONS})
endfunction()

# sonarill_test_program(program [DEPS ...] [LABELS ...] [ENVIRONMENT ...]): the shared program made
# of what every layer gave it through sonarill_tests.
function(sonarill_test_program program)
    cmake_parse_arguments(ARG "" "" "DEPS;LABELS;ENVIRONMENT" ${ARGN})
    get_property(sources GLOBAL PROPERTY sonarill_${program}_sources)
    get_property(deps GLOBAL PROPERTY sonarill_${program}_deps)
    get_property(link_options GLOBAL PROPERTY sonarill_${program}_link_options)
    add_executable(${program} ${sources})
    target_link_libraries(${program} PRIVATE ${deps} ${ARG_DEPS} GTest::gtest GTest::gmock)
    target_link_options(${program} PRIVATE ${link_options})
    # GoogleTest's and the JSON library's headers are most of each test file's compile time, and
    # most test files read rows of JSON: parse them once per program.
    target_link_libraries(${program} PRIVATE nlohmann_json::nlohmann_json)
    target_precompile_headers(${program} PRIVATE <gtest/gtest.h> <gmock/gmock.h> <nlohmann/json.hpp>)
    sonarill_register_tests(${program} "${ARG_LABELS}" "${ARG_ENVIRONMENT}")
endfunction()

function(sonarill_register_tests target labels environment)
    sonarill_warnings(${target})
    # The tests' own code is half of every build's time and needs neither optimisation nor more
    # debug information than line tables, which still name a failure's line in sanitizer reports.
    # The code under test keeps its preset's flags.
    target_compile_options(${target} PRIVATE -O0 $<$<CONFIG:Debug,RelWithDebInfo>:-g1>)
    # A ctest test per GoogleTest suite: see AddTestSuites.cmake.
    set(suites "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake")
    string(REPLACE ";" "|" labels "${labels}")
    string(REPLACE ";" "|" environment "${environment}")
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -D "PROGRAM=$<TARGET_FILE:${target}>" -D "OUTPUT=${suites}"
            -D "LABELS=${labels}" -D "ENVIRONMENT=${environment}"
            -P ${PROJECT_SOURCE_DIR}/cmake/AddTestSuites.cmake
        BYPRODUCTS ${suites} VERBATIM)
    # Until the program is built there are no suites to include: a stand-in test says so.
    set(include "${CMAKE_CURRENT_BINARY_DIR}/${target}_include.cmake")
    file(WRITE ${include} "if(EXISTS [==[${suites}]==])\n  include([==[${suites}]==])\n"
        "else()\n  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include})
endfunction()
