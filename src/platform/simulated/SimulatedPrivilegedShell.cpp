#include "platform/PrivilegedShell.h"
#include "platform/Process.h"

namespace sonarill::platform {
namespace {

// The error text of a failed command, shaped like the one "do shell script" reports: what
// the command wrote to standard error, then its status.
std::string failureDescription(const ProgramResult& result) {
    std::string text = result.standardError;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (!text.empty())
        text += ' ';
    text += "(exit status " + std::to_string(result.exitStatus) + ")";
    return text;
}

// Nothing here needs privileges: the simulated plug-in folder belongs to the user. Decoding
// the script rather than taking the bare command keeps the AppleScript quoting on the path
// that every test of the installer exercises.
class SimulatedPrivilegedShell final : public PrivilegedShell {
public:
    PrivilegedShellResult run(const std::string& scriptText) override {
        const std::optional<std::string> command = shellCommandOfScript(scriptText);
        if (!command)
            return {PrivilegedShellResult::Outcome::NotCreated,
                    "the script is not a do shell script command"};
        const ProgramResult result = runProgram({"/bin/sh", "-c", *command});
        if (result.exitStatus == 0)
            return {PrivilegedShellResult::Outcome::Succeeded, {}};
        return {PrivilegedShellResult::Outcome::Failed, failureDescription(result)};
    }
};

} // namespace

std::unique_ptr<PrivilegedShell> systemPrivilegedShell() {
    return std::make_unique<SimulatedPrivilegedShell>();
}

} // namespace sonarill::platform
