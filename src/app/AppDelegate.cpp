#include "app/AppDelegate.h"

#include "app/BoundedQuery.h"
#include "app/DefaultOutput.h"
#include "app/Popover.h"
#include "app/SignalPipe.h"
#include "audio/DeviceLookup.h"
#include "base/Files.h"
#include "forwarder/AudioForwarder.h"
#include "guard/OutputStateFile.h"
#include "log/DebugLog.h"
#include "platform/Paths.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFileInfo>
#include <QMenu>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <csignal>
#include <unistd.h>

namespace sonarill::app {

namespace {

QPointer<AppDelegate> sharedDelegate;

constexpr int kSettingsWidth = 440;
constexpr int kSettingsHeight = 420;
constexpr int kIconPoints = 18;

const char* signalLine(int signal) {
    return signal == SIGTERM ? "SIGTERM received — terminating app"
                             : "SIGINT received — terminating app";
}

// The rectangle of the screen that holds `point`, less panels and docks.
QRect availableScreenArea(const QPoint& point) {
    QScreen* screen = QGuiApplication::screenAt(point);
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

// Centred under the icon, or above it when the panel is at the bottom; always on the screen.
QPoint popoverPosition(const QRect& icon, const QSize& size) {
    const QRect anchor = icon.isValid() ? icon : QRect(QCursor::pos(), QSize(1, 1));
    const QRect area = availableScreenArea(anchor.center());
    QPoint position(anchor.center().x() - size.width() / 2, anchor.bottom() + 1);
    if (area.isValid() && position.y() + size.height() > area.bottom())
        position.setY(anchor.top() - size.height());
    if (area.isValid()) {
        position.setX(std::clamp(position.x(), area.left(),
                                 std::max(area.left(), area.right() + 1 - size.width())));
        position.setY(std::clamp(position.y(), area.top(),
                                 std::max(area.top(), area.bottom() + 1 - size.height())));
    }
    return position;
}

// How long quit waits for the forwarder to stop, and for that and the default outputs' restore
// together; the guard's exit after an orderly quit is waited for on top.
constexpr auto kForwarderStopWait = std::chrono::milliseconds(1000);
constexpr auto kQuitWait = std::chrono::milliseconds(2500);
constexpr auto kGuardExitWait = std::chrono::milliseconds(500);

double secondsOf(std::chrono::steady_clock::duration duration) {
    return std::max(0.0, std::chrono::duration<double>(duration).count());
}

bool isPresent(const std::string& uid) {
    return findDeviceID(uid, kAudioQueryTimeoutSeconds).has_value();
}

} // namespace

QIcon menuBarIcon(const QString& path) {
    if (!path.isEmpty()) {
        const QPixmap image(path);
        if (!image.isNull())
            return QIcon(image.scaled(kIconPoints * 2, kIconPoints * 2, Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation));
    }
    // The speaker symbol of the icon theme, or the style's own when there is no theme.
    return QIcon::fromTheme(QStringLiteral("audio-volume-high"),
                            QApplication::style()->standardIcon(QStyle::SP_MediaVolume));
}

QString menuBarIconPath() {
#ifdef __APPLE__
    const std::optional<std::filesystem::path> resources = platform::applicationResourcesFolder();
    if (!resources)
        return {};
    return QString::fromStdString(
        (*resources / "Sonarill_Sonarill.bundle" / "MenuBarIcon.png").string());
#else
    return QStringLiteral(":/MenuBarIcon.png");
#endif
}

AppDelegate::AppDelegate(Views views, int signalPipe)
    : views_(std::move(views)), signalPipe_(signalPipe) {
    // Every way out of the event loop passes here: the Quit row, a signal, the session ending.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
}

AppDelegate::~AppDelegate() = default;

AppDelegate* AppDelegate::shared() {
    return sharedDelegate.data();
}

QWidget* AppDelegate::popover() const {
    return popover_.get();
}

void AppDelegate::applicationDidFinishLaunching() {
    sharedDelegate = this;
    truncateLog();
    const std::string rule(40, '=');
    DebugLog::log(rule);
    DebugLog::log("Sonarill starting up (pid=" + std::to_string(::getpid()) + ")");
    DebugLog::log(rule);
    setupSignalHandling();
    setupStatusItem();

    outputStatePath_ = guard::defaultOutputStatePath();
    if (outputStatePath_)
        keptOutputs_ = guard::readOutputState(*outputStatePath_);
    originalDefaultOutputUID_ = recordOriginalOutput("Original default output: ");

    installer_ = std::make_unique<plugin::PluginLifecycleManager>();
    const bool ready = installer_->installForSession();
    DebugLog::log(std::string("PluginLifecycle: ready=") + (ready ? "true" : "false"));

    if (!originalDefaultOutputUID_) {
        originalDefaultOutputUID_ = recordOriginalOutput("Original default output retry: ");
    }
    keepOriginalOutputs();
    startGuard();

    setupPopover();
    DebugLog::log("applicationDidFinishLaunching complete");
}

// The current default output, unless it is the virtual device left by a run that died without
// giving it back: then the device that run found, when it is still there.
std::optional<std::string> AppDelegate::recordOriginalOutput(const std::string& linePrefix) {
    const std::optional<std::string> current = currentDefaultOutputUID(kAudioQueryTimeoutSeconds);
    const guard::OriginalOutput original = guard::chooseOriginalOutput(
        current, keptOutputs_ ? std::optional(keptOutputs_->defaultOutputUID) : std::nullopt,
        isPresent);
    if (original.keptFromEarlierRun)
        DebugLog::log("Original default output (kept from an earlier run): " + *original.uid);
    else
        DebugLog::log(linePrefix + original.uid.value_or("nil"));
    return original.uid;
}

// Both outputs as found at launch go to the state file, so that the next launch knows them even
// if this run cannot give them back.
void AppDelegate::keepOriginalOutputs() {
    const guard::OriginalOutput system = guard::chooseOriginalOutput(
        currentDefaultSystemOutputUID(kAudioQueryTimeoutSeconds),
        keptOutputs_ ? std::optional(keptOutputs_->defaultSystemOutputUID) : std::nullopt,
        isPresent);
    const auto physical = [](const std::optional<std::string>& uid) {
        return uid && *uid != audio::kVirtualDeviceUID ? *uid : std::string();
    };
    originalOutputs_ = {physical(originalDefaultOutputUID_), physical(system.uid)};
    if (!outputStatePath_ || (originalOutputs_.defaultOutputUID.empty() &&
                              originalOutputs_.defaultSystemOutputUID.empty()))
        return;
    if (const auto written = guard::writeOutputState(*outputStatePath_, originalOutputs_); !written)
        DebugLog::log("keepOriginalOutputs: ERROR writing " + outputStatePath_->string() + ": " +
                      written.error());
}

void AppDelegate::keepOriginalOutputFoundLater(const std::string& uid) {
    originalDefaultOutputUID_ = uid;
    keepOriginalOutputs();
    guard_.recordOutputs(originalOutputs_);
}

void AppDelegate::startGuard() {
    const std::optional<std::filesystem::path> program = guard::GuardClient::defaultProgram();
    if (!program || !guard_.start(*program))
        return;
    guard_.recordOutputs(originalOutputs_);
    auto& forwarder = forwarder::AudioForwarder::shared();
    // A guard started again learns what the one before it knew.
    for (const auto& [uid, originalSize] : forwarder.originalOutputBufferFrameSizes())
        guard_.recordFrameSize(uid, originalSize);
    if (guardRestarts_ == 0) { // set once: a restart may run inside it
        forwarder.setFrameSizeRecordObserver(
            [this](const std::string& uid, std::optional<uint32_t> originalSize) {
                if (!guard_.isStarted())
                    return;
                guard_.recordFrameSize(uid, originalSize);
                if (!guard_.isStarted())
                    guardEnded(); // it could not be reached
            });
    }
    if (!guard_.isStarted())
        return;
    // The guard never writes: its end of the pipe becomes readable when it is gone.
    guardWatch_ = new QSocketNotifier(guard_.descriptor(), QSocketNotifier::Read, this);
    connect(guardWatch_, &QSocketNotifier::activated, this, &AppDelegate::guardEnded);
}

void AppDelegate::stopWatchingGuard() {
    delete std::exchange(guardWatch_, nullptr);
}

// A guard that died would leave the virtual device the default output after a later crash of the
// application: it is started again, a few times per session, so that one that keeps dying does
// not keep the application busy.
void AppDelegate::guardEnded() {
    stopWatchingGuard();
    const pid_t pid = guard_.pid();
    guard_.closeWithoutQuit();
    (void)guard_.waitForExit(std::chrono::milliseconds(100));
    const std::string what = "the guard (pid=" + std::to_string(pid) + ") ended; started again";
    const std::string most = std::to_string(kMaxGuardRestarts);
    if (guardRestarts_ >= kMaxGuardRestarts) {
        DebugLog::log("restartGuard: ERROR " + what + " " + most + " times already, not again");
        return;
    }
    ++guardRestarts_;
    startGuard();
    if (guard_.isStarted())
        DebugLog::log("restartGuard: " + what + " (" + std::to_string(guardRestarts_) + " of " +
                      most + ")");
}

void AppDelegate::applicationWillTerminate() {
    DebugLog::log("applicationWillTerminate — cleaning up");
    cleanup();
}

void AppDelegate::truncateLog() {
    const std::string& path = DebugLog::logPath();
    if (!path.empty())
        (void)base::writeFileAtomically(path, "");
}

void AppDelegate::setupSignalHandling() {
    if (signalPipe_ < 0)
        return;
    signalSource_ = new QSocketNotifier(signalPipe_, QSocketNotifier::Read, this);
    connect(signalSource_, &QSocketNotifier::activated, this, &AppDelegate::handleSignals);
}

void AppDelegate::handleSignals() {
    while (const int signal = readSignal(signalPipe_)) {
        DebugLog::log(signalLine(signal));
        QCoreApplication::quit();
    }
}

void AppDelegate::setupStatusItem() {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    statusItem_ = new QSystemTrayIcon(menuBarIcon(menuBarIconPath()), this);
    statusItem_->setToolTip(QStringLiteral("Sonarill"));
    connect(statusItem_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    togglePopover();
            });
    // Some panels only offer a menu; the same two ways out as the popover's footer.
    auto* menu = new QMenu();
    connect(this, &QObject::destroyed, menu, &QObject::deleteLater);
    menu->addAction(QStringLiteral("Settings…"), this, &AppDelegate::showSettingsWindow);
    menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
    statusItem_->setContextMenu(menu);
    statusItem_->show();
}

void AppDelegate::setupPopover() {
    const bool underStatusItem = statusItem_ != nullptr;
    popover_ = std::make_unique<Popover>(underStatusItem);
    if (views_.popoverContent)
        popover_->setContent(views_.popoverContent(*this, popover_.get()));
    if (underStatusItem)
        return;
    // Nothing to click on: the popover is the application's window, and closing it quits.
    connect(popover_.get(), &Popover::closedAsWindow, qApp, &QCoreApplication::quit);
    popover_->show();
}

void AppDelegate::togglePopover() {
    if (!popover_)
        return;
    if (popover_->isVisible()) {
        popover_->close();
        return;
    }
    if (statusItem_ != nullptr && popover_->justClosed())
        return;
    showPopoverUnderStatusItem();
}

void AppDelegate::showPopoverUnderStatusItem() {
    if (statusItem_ != nullptr)
        popover_->move(popoverPosition(statusItem_->geometry(), popover_->size()));
    popover_->show();
    popover_->raise();
    popover_->activateWindow();
}

void AppDelegate::showSettingsWindow() {
    if (popover_ && popover_->isVisible() && statusItem_ != nullptr)
        popover_->close();
    if (settingsWindow_ == nullptr) {
        auto* window =
            new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                     Qt::WindowMinimizeButtonHint);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(QStringLiteral("Settings"));
        window->setFixedSize(kSettingsWidth, kSettingsHeight);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        if (views_.settingsContent)
            layout->addWidget(views_.settingsContent(window));
        const QRect area = availableScreenArea(QCursor::pos());
        if (area.isValid())
            window->move(area.center() - window->rect().center());
        // Closing deletes the window, which empties the pointer: the next request builds anew.
        settingsWindow_ = window;
    }
    settingsWindow_->show();
    settingsWindow_->raise();
    settingsWindow_->activateWindow();
}

// At quit the audio server may not answer at all: every step that calls it runs on a worker that
// this thread waits for only so long, so that quit ends within about 3 s whatever the server
// does. What a step could not finish is left to the guard, which outlives the application.
void AppDelegate::cleanup() {
    if (didCleanup_)
        return;
    didCleanup_ = true;
    stopWatchingGuard();
    const auto deadline = std::chrono::steady_clock::now() + kQuitWait;
    auto& forwarder = forwarder::AudioForwarder::shared();
    // A worker that outlives its wait must not reach the guard's pipe, which this thread closes.
    forwarder.setFrameSizeRecordObserver({});
    const bool stopped = coreAudioValue(secondsOf(kForwarderStopWait), [&forwarder] {
                             forwarder.stop();
                             return std::optional(true);
                         }).has_value();
    if (!stopped)
        DebugLog::log("cleanup: WARNING stopping forwarding timed out; " +
                      leftTo("buffer frame sizes"));

    const std::optional<bool> restored =
        coreAudioValue(secondsOf(deadline - std::chrono::steady_clock::now()),
                       [output = originalDefaultOutputUID_,
                        systemOutput = std::optional(originalOutputs_.defaultSystemOutputUID)] {
                           return std::optional(restoreDefaultOutput(output, systemOutput));
                       });
    if (!restored)
        DebugLog::log("cleanup: WARNING giving the default outputs back timed out; " +
                      leftTo("default outputs"));
    else if (!*restored)
        DebugLog::log("cleanup: WARNING the default outputs were not all given back; " +
                      leftTo("default outputs"));
    // A restore that failed leaves the file for the next launch to find.
    if (restored == true && outputStatePath_)
        (void)guard::removeOutputState(*outputStatePath_);
    if (guard_.isStarted() && stopped && restored == true) {
        guard_.quit();
        (void)guard_.waitForExit(kGuardExitWait);
    } else {
        guard_.closeWithoutQuit(); // the guard gives back what remains
    }
    DebugLog::log("cleanup complete");
}

std::string AppDelegate::leftTo(const std::string& what) const {
    return guard_.isStarted() ? "the guard gives the " + what + " back"
                              : "the " + what + " are left as they are";
}

} // namespace sonarill::app
