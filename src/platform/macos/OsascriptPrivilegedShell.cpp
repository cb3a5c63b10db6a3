// Apple only. osascript(1) compiles and runs the script text given with -e; "do shell script
// ... with administrator privileges" shows the system's password prompt. A script that does
// not compile is reported on standard error as a "syntax error", one that fails while running
// (the user's cancel is error -128) as an "execution error".
#include "platform/PrivilegedShell.h"
#include "platform/Process.h"

namespace sonarill::platform {
namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

class OsascriptPrivilegedShell final : public PrivilegedShell {
public:
    PrivilegedShellResult run(const std::string& scriptText) override {
        // Passed as one argument without a shell, so the script needs no further quoting.
        const ProgramResult result = runProgram({"/usr/bin/osascript", "-e", scriptText});
        if (result.exitStatus == 0)
            return {PrivilegedShellResult::Outcome::Succeeded, {}};
        std::string description = trimmed(result.standardError);
        if (description.empty())
            description = "osascript exit status " + std::to_string(result.exitStatus);
        const bool compiled = description.find("syntax error") == std::string::npos;
        return {compiled ? PrivilegedShellResult::Outcome::Failed
                         : PrivilegedShellResult::Outcome::NotCreated,
                description};
    }
};

} // namespace

std::unique_ptr<PrivilegedShell> systemPrivilegedShell() {
    return std::make_unique<OsascriptPrivilegedShell>();
}

} // namespace sonarill::platform
