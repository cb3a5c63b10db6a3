#include "ui/DeviceView.h"

#include "ui/OutputDeviceRenameDialog.h"
#include "ui/Theme.h"

#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QStringList>

namespace sonarill::ui {

DeviceButtons::DeviceButtons(QWidget* owner, const routing::AudioDevice& device,
                             routing::AudioRoutingViewModel& model, RebuildGate& gate)
    : rename(
          new DeviceIconButton(QStringLiteral("pencil"), QStringLiteral("Rename output"), owner)),
      useOnly(new DeviceIconButton(QStringLiteral("target"), QStringLiteral("Use only this output"),
                                   owner)),
      remove(new DeviceIconButton(QStringLiteral("minus.circle"), QString(), owner)),
      device_(device), model_(model) {
    rename->setObjectName(QStringLiteral("rename"));
    useOnly->setObjectName(QStringLiteral("useOnly"));
    remove->setObjectName(QStringLiteral("remove"));
    QObject::connect(rename, &QAbstractButton::clicked, owner, [this, owner, &gate] {
        OutputDeviceRenameDialog::present(device_, model_, gate, owner->window());
    });
    QObject::connect(useOnly, &QAbstractButton::clicked, owner,
                     [this] { model_.switchToOnlyDevice(device_.uid); });
    QObject::connect(remove, &QAbstractButton::clicked, owner,
                     [this] { model_.removeOutputDevice(device_.uid); });
}

void DeviceButtons::update(bool showRemove) {
    const bool removable = model_.canRemoveOutputDevice(device_.uid);
    remove->setEnabled(removable);
    remove->setToolTip(removable ? QStringLiteral("Remove this output")
                                 : QStringLiteral("Add another output before removing this one"));
    remove->setVisible(showRemove);
}

namespace {

bool carriesText(const QDropEvent* event) {
    return event->mimeData() != nullptr && event->mimeData()->hasText();
}

} // namespace

DeviceView::DeviceView(const routing::AudioDevice& device, routing::AudioRoutingViewModel& model,
                       RebuildGate& gate, qreal backgroundOpacity, QWidget* parent)
    : QWidget(parent), device_(device), model_(model), gate_(gate),
      buttons_(this, device_, model, gate), backgroundOpacity_(backgroundOpacity) {
    setAcceptDrops(true);
}

// No highlight while something is dragged over: accepting is all. A device the model cannot
// enable takes nothing; its tooltip says why.
void DeviceView::dragEnterEvent(QDragEnterEvent* event) {
    if (carriesText(event) && model_.canEnableOutputDevice(device_.uid))
        event->acceptProposedAction();
}

void DeviceView::dragMoveEvent(QDragMoveEvent* event) {
    if (carriesText(event) && model_.canEnableOutputDevice(device_.uid))
        event->acceptProposedAction();
}

void DeviceView::dropEvent(QDropEvent* event) {
    // Several dragged items arrive as one text, an identifier a line.
    const QStringList items =
        carriesText(event)
            ? event->mimeData()->text().split(QRegularExpression(QStringLiteral("\r\n|\n|\r")),
                                              Qt::SkipEmptyParts)
            : QStringList();
    const std::string uid = device_.uid;
    for (const QString& item : items)
        model_.moveApp(item.toStdString(), uid);
    if (items.isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void DeviceView::displayDevice(const routing::AudioDevice& device, SymbolView& icon,
                               ElidedLabel& name, bool showRemove) {
    device_ = device;
    icon.setName(qText(device.iconName()));
    name.setText(qText(device.displayName()));
    name.setToolTip(deviceNameHelp(device));
    buttons_.update(showRemove);
    setToolTip(model_.canEnableOutputDevice(device.uid)
                   ? QString()
                   : QStringLiteral("Remove an output before adding this one: at most %1 play "
                                    "at once")
                         .arg(model_.inputPairCount().value_or(0)));
}

void DeviceView::paintEvent(QPaintEvent*) {
    if (backgroundOpacity_ <= 0)
        return;
    QPainter painter(this);
    painter.fillRect(rect(), tintColor(palette(), Tint::secondary, backgroundOpacity_));
}

} // namespace sonarill::ui
