// The login item of freedesktop.org sessions: an autostart desktop entry for this executable.
#include "platform/qt/LoginItem.h"

#include "base/Files.h"

#include <QCoreApplication>

#include <cstdlib>
#include <system_error>

namespace sonarill::platform {

namespace {

constexpr const char* kEntryFileName = "sonarill.desktop";

// One argument of an Exec= line, always quoted: inside quotes the desktop entry format wants
// '"', '`', '$' and '\' escaped with a backslash, and '%' doubled as it starts field codes.
std::string quotedExecArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        else if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return quoted + '"';
}

// The escapes of every string value, which a reader undoes before it splits the Exec= line into
// arguments: so a backslash of the quoting above is written twice again.
std::string escapedStringValue(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

std::optional<std::filesystem::path> autostartEntryPath() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && std::filesystem::path(configHome).is_absolute())
        return std::filesystem::path(configHome) / "autostart" / kEntryFileName;
    const std::optional<std::filesystem::path> home = base::homeFolder();
    if (!home)
        return std::nullopt;
    return *home / ".config" / "autostart" / kEntryFileName;
}

std::string autostartDesktopEntry(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Sonarill\n"
           "Exec=" +
           escapedStringValue(quotedExecArgument(executable.string())) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

base::Expected<void> setLoginItemEnabled(bool enabled) {
    const std::optional<std::filesystem::path> entry = autostartEntryPath();
    if (!entry)
        return base::Failure{"there is no home folder for the autostart entry"};
    if (!enabled) {
        std::error_code error;
        std::filesystem::remove(*entry, error);
        if (error)
            return base::Failure{entry->string() + " cannot be removed: " + error.message()};
        return {};
    }
    const std::string executable = QCoreApplication::applicationFilePath().toStdString();
    if (executable.empty())
        return base::Failure{"the program's own path is unknown"};
    base::Expected<void> written =
        base::writeFileAtomically(*entry, autostartDesktopEntry(executable));
    if (!written)
        return base::Failure{entry->string() + " " + written.error()};
    return {};
}

} // namespace sonarill::platform
