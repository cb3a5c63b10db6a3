#include "platform/Process.h"

#include <gtest/gtest.h>

namespace platform = sonarill::platform;

TEST(RunProgram, ReportsStatusAndStandardErrorWithInputAndOutputOnDevNull) {
    // Inherited input or output would let a step wait on the terminal or print into ours. The
    // shell reads its own descriptors: dash redirects them while it runs a command.
    const platform::ProgramResult result = platform::runProgram(
        {"/bin/sh", "-c",
         "echo out; echo \"$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1)\" >&2; exit 3"});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.standardError, "/dev/null /dev/null\n");
    const platform::ProgramResult killed = platform::runProgram({"/bin/sh", "-c", "kill -9 $$"});
    EXPECT_EQ(killed.exitStatus, -1);
    EXPECT_EQ(killed.standardError, "terminated by signal 9");
}
