#include "ui/InactiveDeviceRow.h"

#include <QHBoxLayout>

namespace sonarill::ui {

namespace {

constexpr qreal kDimmed = 0.75;

} // namespace

InactiveDeviceRow::InactiveDeviceRow(const routing::AudioDevice& device,
                                     routing::AudioRoutingViewModel& model, RebuildGate& gate,
                                     QWidget* parent)
    : DeviceView(device, model, gate, 0.035, parent),
      icon_(new SymbolView(QString(), 11, Tint::secondary, kDimmed, this)),
      name_(new ElidedLabel(roleFont(FontRole::system12), Tint::secondary, kDimmed, this)) {
    name_->setObjectName(QStringLiteral("name"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 5, 16, 5);
    layout->setSpacing(8);
    layout->addWidget(icon_);
    layout->addWidget(name_);
    layout->addStretch();
    layout->addWidget(buttons_.rename);
    layout->addWidget(buttons_.useOnly);
    layout->addWidget(buttons_.remove);
    display(device, true);
}

bool InactiveDeviceRow::display(const routing::AudioDevice& device, bool) {
    displayDevice(device, *icon_, *name_, device.enabled);
    return true;
}

} // namespace sonarill::ui
