#pragma once

#include "guard/GuardClient.h"
#include "plugin/PluginLifecycleManager.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QIcon;
class QSocketNotifier;
class QSystemTrayIcon;

namespace sonarill::app {

class Popover;

// Everything from launch to quit that is not routing: the log's banner, the signals, the status
// item and its popover, the settings window, the plug-in check, and the default output recorded
// at launch and given back at quit. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // What the windows show, made when needed. The popover's content builds the routing model
    // and owns it: it is made once, during launch, after the default output is recorded.
    struct Views {
        std::function<QWidget*(AppDelegate& delegate, QWidget* parent)> popoverContent;
        std::function<QWidget*(QWidget* parent)> settingsContent;
    };

    // `signalPipe`: the read end of installSignalPipe, or -1 for none.
    AppDelegate(Views views, int signalPipe);
    ~AppDelegate() override;

    // The running delegate; null before launch and after it is gone.
    static AppDelegate* shared();

    void applicationDidFinishLaunching();
    // Also runs when the application is about to quit, by any path.
    void applicationWillTerminate();

    void togglePopover();
    void showSettingsWindow();

    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QWidget* popover() const;
    QWidget* settingsWindow() const { return settingsWindow_; }
    const std::optional<std::string>& originalDefaultOutputUID() const {
        return originalDefaultOutputUID_;
    }
    // The default output the routing model found right before its takeover, launch having
    // recorded none: kept as if launch had, in the state file and by the guard too.
    void keepOriginalOutputFoundLater(const std::string& uid);

private:
    void truncateLog();
    void setupSignalHandling();
    void setupStatusItem();
    std::optional<std::string> recordOriginalOutput(const std::string& linePrefix);
    void keepOriginalOutputs();
    void startGuard();
    void stopWatchingGuard();
    void guardEnded();
    std::string leftTo(const std::string& what) const;
    void setupPopover();
    void showPopoverUnderStatusItem();
    void handleSignals();
    void cleanup();

    Views views_;
    int signalPipe_;
    QSystemTrayIcon* statusItem_ = nullptr;
    std::unique_ptr<Popover> popover_;
    QSocketNotifier* signalSource_ = nullptr;
    bool didCleanup_ = false;
    QPointer<QWidget> settingsWindow_;
    std::optional<std::string> originalDefaultOutputUID_;
    std::unique_ptr<plugin::PluginLifecycleManager> installer_;
    // The outputs found at launch, also in a file, and a process that gives them back if this
    // one dies without quitting.
    std::optional<guard::RecordedOutputs> keptOutputs_;
    guard::RecordedOutputs originalOutputs_;
    std::optional<std::filesystem::path> outputStatePath_;
    guard::GuardClient guard_;
    QSocketNotifier* guardWatch_ = nullptr;
    int guardRestarts_ = 0;
    static constexpr int kMaxGuardRestarts = 3;
};

// The status item's picture: the png at `path` when it loads, else a speaker symbol.
QIcon menuBarIcon(const QString& path);
// Where the png lies: in the Qt resources, or on Apple in the resource bundle of the app bundle.
QString menuBarIconPath();

} // namespace sonarill::app
