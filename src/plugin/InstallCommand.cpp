#include "plugin/InstallCommand.h"

namespace sonarill::plugin {

std::string shellQuoted(std::string_view path) {
    std::string quoted = "'";
    for (const char character : path) {
        if (character == '\'')
            quoted += "'\\''";
        else
            quoted += character;
    }
    quoted += '\'';
    return quoted;
}

std::string installCommand(std::string_view installDir, std::string_view installPath,
                           std::string_view sourcePath) {
    std::string command = "/bin/mkdir -p " + shellQuoted(installDir);
    command += " && /bin/rm -rf " + shellQuoted(installPath);
    command += " && /bin/cp -R " + shellQuoted(sourcePath) + " " + shellQuoted(installPath);
    command += " && (/usr/bin/killall coreaudiod >/dev/null 2>&1 || true)";
    return command;
}

std::string appleScriptEscaped(std::string_view command) {
    std::string escaped;
    escaped.reserve(command.size());
    for (const char character : command) {
        if (character == '\\' || character == '"')
            escaped += '\\';
        escaped += character;
    }
    return escaped;
}

std::string privilegedShellScript(std::string_view command) {
    return "do shell script \"" + appleScriptEscaped(command) + "\" with administrator privileges";
}

} // namespace sonarill::plugin
