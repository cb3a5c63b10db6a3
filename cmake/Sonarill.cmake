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

# sonarill_test(name SOURCES ... DEPS ... [LABELS ...]): a GoogleTest executable registered with ctest.
function(sonarill_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;ENVIRONMENT" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    sonarill_warnings(${name})
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()
