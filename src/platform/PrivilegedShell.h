#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sonarill::platform {

// What became of one privileged script.
struct PrivilegedShellResult {
    enum class Outcome {
        Succeeded,
        NotCreated, // the script text could not be compiled, so nothing ran
        Failed,     // it ran and reported an error, the user's cancel included
    };
    Outcome outcome = Outcome::Failed;
    std::string errorDescription; // empty on success
};

// Runs an AppleScript text of the form
//   do shell script "<command>" with administrator privileges
// On macOS the system asks the user for an administrator password and then runs the command
// as root. The simulated platform runs the same command with /bin/sh as the user, which is
// enough for its user-writable plug-in folder. Tests put a recording fake here.
class PrivilegedShell {
public:
    virtual ~PrivilegedShell() = default;
    virtual PrivilegedShellResult run(const std::string& scriptText) = 0;
};

// The platform's own shell.
std::unique_ptr<PrivilegedShell> systemPrivilegedShell();

// The command inside a script text of the form above, with the string literal's escapes
// (\\ \" \n \r \t) decoded; absent when the text is not of that form or the literal is not
// valid AppleScript. This is what the simulated platform hands to /bin/sh.
std::optional<std::string> shellCommandOfScript(std::string_view scriptText);

} // namespace sonarill::platform
