#pragma once

#include "support/Scratch.h"

#include <QSettings>
#include <QString>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace sonarill::testing {

// A test's own preference store and XDG configuration folder (where autostart entries go).
class SettingsFixture : public ::testing::Test {
protected:
    SettingsFixture() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((folder.path() / "preferences").string()));
        if (const char* previous = std::getenv("XDG_CONFIG_HOME"))
            previousConfigHome = previous;
        setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    }
    ~SettingsFixture() override {
        if (previousConfigHome)
            setenv("XDG_CONFIG_HOME", previousConfigHome->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }

    std::filesystem::path configHome() const { return folder.path() / "config"; }
    std::filesystem::path autostartEntry() const {
        return configHome() / "autostart" / "sonarill.desktop";
    }

    ScratchFolder folder;
    std::optional<std::string> previousConfigHome;
};

} // namespace sonarill::testing
