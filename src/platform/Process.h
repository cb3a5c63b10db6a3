#pragma once

#include <string>
#include <vector>

namespace sonarill::platform {

// How a child program ended. exitStatus is -1 when it could not be started or did not exit
// normally; standardError then says why.
struct ProgramResult {
    int exitStatus = -1;
    std::string standardError;
};

// Runs argv[0] (an absolute path, no shell and no PATH search) with argv as its arguments and
// waits for it. Standard input and output are /dev/null; standard error is collected so that a
// failure can be described to the user.
ProgramResult runProgram(const std::vector<std::string>& argv);

} // namespace sonarill::platform
