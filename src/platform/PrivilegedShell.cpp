#include "platform/PrivilegedShell.h"

namespace sonarill::platform {
namespace {

constexpr std::string_view kScriptPrefix = "do shell script \"";
constexpr std::string_view kScriptSuffix = " with administrator privileges";

// AppleScript knows exactly these escapes; any other backslash sequence fails to compile.
std::optional<char> unescaped(char escaped) {
    switch (escaped) {
    case '\\':
        return '\\';
    case '"':
        return '"';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<std::string> shellCommandOfScript(std::string_view scriptText) {
    if (!scriptText.starts_with(kScriptPrefix))
        return std::nullopt;
    std::string_view rest = scriptText.substr(kScriptPrefix.size());
    std::string command;
    while (!rest.empty()) {
        const char character = rest.front();
        rest.remove_prefix(1);
        if (character == '"')
            return rest == kScriptSuffix ? std::optional(command) : std::nullopt;
        if (character != '\\') {
            command += character;
            continue;
        }
        if (rest.empty())
            return std::nullopt;
        const std::optional<char> decoded = unescaped(rest.front());
        if (!decoded)
            return std::nullopt;
        command += *decoded;
        rest.remove_prefix(1);
    }
    return std::nullopt; // the literal was never closed
}

} // namespace sonarill::platform
