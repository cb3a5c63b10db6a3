#pragma once

#include <QAbstractButton>
#include <QWidget>

namespace sonarill::ui {

// An on/off switch, as settings show one.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The settings window's content: start at login, open and reset the configuration file, and the
// version. Its only state is the stored preference, so the window may be destroyed when closed
// and a new view made for the next opening.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    explicit SettingsView(QWidget* parent = nullptr);

    // Registers or unregisters the login item; a failure is reported on standard output only and
    // the preference keeps what the user chose.
    static void setLoginItem(bool enabled);
    // Hands the configuration file to its default application, written or not.
    static void openConfigFile();
    // Removes the configuration file, then asks the routing model to reset to its defaults.
    static void resetDefaults();
};

} // namespace sonarill::ui
