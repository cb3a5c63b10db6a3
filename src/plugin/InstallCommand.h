#pragma once

#include <string>
#include <string_view>

// The two layers of quoting between the installer and the system: a POSIX shell command, and
// that command inside an AppleScript string literal. Each path must reach the shell intact,
// whatever quotes, backslashes or blanks it holds.
namespace sonarill::plugin {

// 'path' with every ' written as '\'' so the shell reads the path back unchanged.
std::string shellQuoted(std::string_view path);

// Creates the plug-in folder, removes the installed bundle completely, copies the source in
// its place and signals the audio server to restart (not finding it is not a failure).
std::string installCommand(std::string_view installDir, std::string_view installPath,
                           std::string_view sourcePath);

// The command as the contents of an AppleScript double-quoted string: backslashes doubled,
// then double quotes preceded by a backslash.
std::string appleScriptEscaped(std::string_view command);

// do shell script "<escaped command>" with administrator privileges
std::string privilegedShellScript(std::string_view command);

} // namespace sonarill::plugin
