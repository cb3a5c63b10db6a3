#include "ui/MenuBarView.h"

#include "ui/Controls.h"
#include "ui/FooterButtonRow.h"
#include "ui/Theme.h"

#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

namespace sonarill::ui {

namespace {

constexpr int kMaximumListHeight = 360;

QWidget* header(QWidget* parent) {
    auto* title = new QLabel(QStringLiteral("Sonarill"));
    title->setFont(roleFont(FontRole::headline));
    auto* box = new QWidget(parent);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->addWidget(title);
    layout->addStretch();
    return box;
}

// A vertical stack without spacing or margins in a widget of its own.
QVBoxLayout* stackIn(QWidget* box) {
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return layout;
}

} // namespace

MenuBarView::MenuBarView(routing::AudioRoutingViewModel& model, QWidget* parent)
    : QWidget(parent), model_(model), gate_([this] {
          if (refreshWaiting_)
              scheduleRefresh();
      }),
      scroll_(new QScrollArea(this)), inactiveDivider_(new QWidget), sections_(new QVBoxLayout),
      inactiveRows_(new QVBoxLayout) {
    setAutoFillBackground(true);
    inactiveDivider_->setObjectName(QStringLiteral("inactiveDivider"));

    auto* list = new QWidget;
    list->setAutoFillBackground(false);
    auto* listLayout = stackIn(list);
    auto* sectionsBox = new QWidget(list);
    sectionsBox->setLayout(sections_.layout());
    auto* inactiveBox = new QWidget(list);
    inactiveBox->setLayout(inactiveRows_.layout());
    for (QBoxLayout* layout : {sections_.layout(), inactiveRows_.layout()}) {
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
    }
    auto* dividerLayout = new QVBoxLayout(inactiveDivider_);
    dividerLayout->setContentsMargins(0, 4, 0, 4);
    dividerLayout->addWidget(new Divider);
    listLayout->addWidget(sectionsBox);
    listLayout->addWidget(inactiveDivider_);
    listLayout->addWidget(inactiveBox);
    listLayout->addStretch();

    scroll_->setWidget(list);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_->setMaximumHeight(kMaximumListHeight);
    scroll_->viewport()->setAutoFillBackground(false);

    auto* settings = new FooterButtonRow(QStringLiteral("Settings…"), QStringLiteral("gearshape"),
                                         Tint::primary);
    settings->setObjectName(QStringLiteral("settings"));
    auto* quit =
        new FooterButtonRow(QStringLiteral("Quit"), QStringLiteral("power"), Tint::secondary);
    quit->setObjectName(QStringLiteral("quit"));
    connect(settings, &QAbstractButton::clicked, this, &MenuBarView::settingsRequested);
    connect(quit, &QAbstractButton::clicked, this, &MenuBarView::quitRequested);

    auto* layout = stackIn(this);
    layout->addWidget(header(this));
    layout->addWidget(new Divider);
    layout->addWidget(scroll_, 1);
    layout->addWidget(new Divider);
    layout->addWidget(settings);
    layout->addWidget(new FooterDivider);
    layout->addWidget(quit);

    // The observer runs before the change: read the lists on the next turn of the event loop.
    observation_ = model_.observeWillChange([this] { scheduleRefresh(); });
    refresh();
}

MenuBarView::~MenuBarView() {
    observation_.cancel();
}

void MenuBarView::scheduleRefresh() {
    if (refreshScheduled_)
        return;
    refreshScheduled_ = true;
    QMetaObject::invokeMethod(this, &MenuBarView::refresh, Qt::QueuedConnection);
}

void MenuBarView::refresh() {
    refreshScheduled_ = false;
    const bool restructure = !gate_.isHeld();
    bool complete = sections_.display(model_.usedDevices(), restructure,
                                      [this](const routing::AudioDevice& device) {
                                          return new DeviceSectionView(device, model_, gate_, this);
                                      });
    complete = inactiveRows_.display(model_.unusedDevices(), restructure,
                                     [this](const routing::AudioDevice& device) {
                                         return new InactiveDeviceRow(device, model_, gate_, this);
                                     }) &&
               complete;
    if (restructure)
        inactiveDivider_->setVisible(!inactiveRows_.empty());
    refreshWaiting_ = !complete;
}

} // namespace sonarill::ui
