#include "app/Views.h"

#include <QLabel>

namespace sonarill::app {

// TEMPORARY, replaced when the routing model and the views are merged: the popover content then
// creates the model with AudioRoutingViewModel::create and shows ui::MenuBarView on it, and the
// settings window shows ui::SettingsView.
AppDelegate::Views applicationViews(platform::MainQueue& /*mainQueue*/) {
    AppDelegate::Views views;
    views.popoverContent = [](AppDelegate&, QWidget* parent) -> QWidget* {
        return new QLabel(QStringLiteral("Sonarill"), parent);
    };
    views.settingsContent = [](QWidget* parent) -> QWidget* {
        return new QLabel(QStringLiteral("Settings"), parent);
    };
    return views;
}

} // namespace sonarill::app
