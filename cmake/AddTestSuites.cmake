# Run at build time, after a test program links: lists its tests (--gtest_list_tests) and writes
# OUTPUT, a file ctest includes, with one test per suite that runs the suite's tests in one
# process. A process per test started the sanitized programs some 160 times more a preset.
# Arguments: PROGRAM, OUTPUT, LABELS and ENVIRONMENT (lists joined with "|").
execute_process(COMMAND "${PROGRAM}" --gtest_list_tests
    OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed (${status}):\n${listing}${errors}")
endif()
string(REPLACE "|" ";" labels "${LABELS}")
string(REPLACE "|" ";" environment "${ENVIRONMENT}")
set(script "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    # A suite's line starts in the first column and ends its name with a dot; a parameterised
    # suite's may go on with a comment.
    if(line MATCHES "^([^ #][^ ]*)\\.( .*)?$")
        set(suite "${CMAKE_MATCH_1}")
        string(APPEND script "add_test([==[${suite}]==] [==[${PROGRAM}]==] "
            "[==[--gtest_filter=${suite}.*]==])\n"
            "set_tests_properties([==[${suite}]==] PROPERTIES LABELS [==[${labels}]==] "
            "ENVIRONMENT [==[${environment}]==])\n")
    endif()
endforeach()
file(WRITE "${OUTPUT}" "${script}")
