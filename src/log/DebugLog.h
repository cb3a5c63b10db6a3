#pragma once

#include <source_location>
#include <string>
#include <string_view>

// The application's one diagnostic channel: each call prints a line
// "[HH:mm:ss.SSS] [File:line] message" on standard output and appends it to
// ~/Library/Logs/Sonarill.log. There are no levels; nothing here ever fails towards the caller.
namespace sonarill::DebugLog {

// The call site's file and line are filled in by the default argument.
void log(std::string_view message, std::source_location where = std::source_location::current());

// Path of the log file: $HOME/Library/Logs/Sonarill.log. Built on first use, when the Logs
// folder is also created; never rebuilt.
const std::string& logPath();

// "Sonarill" from "src/app/Sonarill.cpp": the last path component with every occurrence of its
// extension removed.
std::string sourceBaseName(std::string_view filePath);

// The whole line for one call, line feed included.
std::string formatLine(std::string_view time, std::string_view file, unsigned line,
                       std::string_view message);

} // namespace sonarill::DebugLog
