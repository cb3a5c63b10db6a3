#include "app/Views.h"

#include "forwarder/AudioForwarder.h"
#include "platform/NotificationCenter.h"
#include "routing/AudioRoutingViewModel.h"

#include <QLabel>
#include <QVBoxLayout>

namespace sonarill::app {

namespace {

// TEMPORARY until the views are merged: then ui::MenuBarView on the model, its quitRequested
// connected to QCoreApplication::quit and its settingsRequested to
// AppDelegate::showSettingsWindow.
QWidget* makeMenuBarView(routing::AudioRoutingViewModel& /*model*/, AppDelegate& /*delegate*/,
                         QWidget* parent) {
    return new QLabel(QStringLiteral("Sonarill"), parent);
}

// TEMPORARY until the views are merged: then ui::SettingsView.
QWidget* makeSettingsView(QWidget* parent) {
    return new QLabel(QStringLiteral("Settings"), parent);
}

// The popover's content: the routing model and the view on it. The model is made with the
// content and lives as long as it, which is the rest of the process.
class PopoverContent : public QWidget {
public:
    PopoverContent(std::shared_ptr<routing::AudioRoutingViewModel> model, AppDelegate& delegate,
                   QWidget* parent)
        : QWidget(parent), model_(std::move(model)) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = makeMenuBarView(*model_, delegate, this);
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
        auto model = routing::AudioRoutingViewModel::create(
            {mainQueue, forwarder::AudioForwarder::shared(),
             platform::NotificationCenter::defaultCenter(),
             routing::defaultConfigPath().value_or(std::filesystem::path())});
        return new PopoverContent(std::move(model), delegate, parent);
    };
    views.settingsContent = makeSettingsView;
    return views;
}

} // namespace sonarill::app
