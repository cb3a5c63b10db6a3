#include "app/Views.h"

#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "platform/NotificationCenter.h"
#include "routing/AudioRoutingViewModel.h"

#include "ui/MenuBarView.h"
#include "ui/SettingsView.h"

#include <QCoreApplication>
#include <QVBoxLayout>

namespace sonarill::app {

namespace {

// The popover's rows. "Settings…" reaches the running delegate, if there is one; "Quit" ends
// the event loop, which leads to the delegate's clean-up.
QWidget* makeMenuBarView(routing::AudioRoutingViewModel& model, QWidget* parent) {
    auto* view = new ui::MenuBarView(model, parent);
    QObject::connect(view, &ui::MenuBarView::settingsRequested, view, [] {
        if (AppDelegate* delegate = AppDelegate::shared())
            delegate->showSettingsWindow();
    });
    QObject::connect(view, &ui::MenuBarView::quitRequested, qApp, &QCoreApplication::quit);
    return view;
}

// The popover's content: the routing model and the view on it. The model is made with the
// content and lives as long as it, which is the rest of the process.
class PopoverContent : public QWidget {
public:
    PopoverContent(std::shared_ptr<routing::AudioRoutingViewModel> model, QWidget* parent)
        : QWidget(parent), model_(std::move(model)) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = makeMenuBarView(*model_, this);
        layout->addWidget(view_);
    }
    // The view refers to the model: it goes first.
    ~PopoverContent() override { delete view_; }
    PopoverContent(const PopoverContent&) = delete;
    PopoverContent& operator=(const PopoverContent&) = delete;

private:
    std::shared_ptr<routing::AudioRoutingViewModel> model_;
    QWidget* view_ = nullptr;
};

} // namespace

AppDelegate::Views applicationViews(platform::MainQueue& mainQueue) {
    AppDelegate::Views views;
    views.popoverContent = [&mainQueue](AppDelegate& delegate, QWidget* parent) -> QWidget* {
        // The virtual device recorded at launch (left by an earlier run) is nothing to give back.
        std::optional<std::string> original = delegate.originalDefaultOutputUID();
        if (original && (original->empty() || *original == audio::kVirtualDeviceUID))
            original.reset();
        auto model = routing::AudioRoutingViewModel::create(
            {mainQueue, forwarder::AudioForwarder::shared(),
             platform::NotificationCenter::defaultCenter(),
             routing::defaultConfigPath().value_or(std::filesystem::path()), original,
             [&delegate](const std::string& uid) { delegate.keepOriginalOutputFoundLater(uid); }});
        return new PopoverContent(std::move(model), parent);
    };
    views.settingsContent = [](QWidget* parent) -> QWidget* {
        return new ui::SettingsView(parent);
    };
    return views;
}

} // namespace sonarill::app
