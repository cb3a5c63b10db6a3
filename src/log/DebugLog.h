#pragma once

#include <string>
#include <string_view>

// The application's one diagnostic channel: each call prints a line
// "[HH:mm:ss.SSS] [File:line] message" on standard output and appends it to
// ~/Library/Logs/Sonarill.log. There are no levels; nothing here ever fails towards the caller.
namespace sonarill::DebugLog {

// The call site's file and line are filled in by the default arguments (the builtins behind
// std::source_location, which some of our compilers' standard libraries do not offer yet).
void log(std::string_view message, const char* file = __builtin_FILE(),
         unsigned line = __builtin_LINE());

// Path of the log file: <home>/Library/Logs/Sonarill.log, the home folder found as the platform
// finds it ($HOME, else the user database). Built on first use, when the Logs folder is also
// created; never rebuilt. Empty when there is no home folder: lines then go to standard output
// only.
const std::string& logPath();

// "Sonarill" from "src/app/Sonarill.cpp": the last path component with every occurrence of its
// extension removed.
std::string sourceBaseName(std::string_view filePath);

// The whole line for one call, line feed included. Line breaks, controls and invalid UTF-8 in
// the message are escaped as in the configuration's double-quoted values (without escaping
// quotes or backslashes), so one call is always one line.
std::string formatLine(std::string_view time, std::string_view file, unsigned line,
                       std::string_view message);

} // namespace sonarill::DebugLog
