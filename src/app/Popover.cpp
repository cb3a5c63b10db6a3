#include "app/Popover.h"

#include <QCloseEvent>
#include <QVBoxLayout>

namespace sonarill::app {

namespace {
constexpr qint64 kCloseClickMilliseconds = 300;
}

Popover::Popover(bool underStatusItem)
    : QWidget(nullptr, underStatusItem ? Qt::Popup | Qt::FramelessWindowHint : Qt::Window),
      underStatusItem_(underStatusItem) {
    setFixedSize(kWidth, kHeight);
    setWindowTitle(QStringLiteral("Sonarill"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

void Popover::setContent(QWidget* content) {
    layout()->addWidget(content);
}

bool Popover::justClosed() const {
    return sinceHidden_.isValid() && sinceHidden_.elapsed() < kCloseClickMilliseconds;
}

void Popover::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (!underStatusItem_ && event->isAccepted())
        emit closedAsWindow();
}

void Popover::hideEvent(QHideEvent* event) {
    sinceHidden_.start();
    QWidget::hideEvent(event);
}

} // namespace sonarill::app
