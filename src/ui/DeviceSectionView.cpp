#include "ui/DeviceSectionView.h"

#include "ui/Theme.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace sonarill::ui {

namespace {

QFont boldSubheadline() {
    QFont bold = roleFont(FontRole::subheadline);
    bold.setBold(true);
    return bold;
}

} // namespace

DeviceSectionView::DeviceSectionView(const routing::AudioDevice& device,
                                     routing::AudioRoutingViewModel& model, RebuildGate& gate,
                                     QWidget* parent)
    : DeviceView(device, model, gate, 0, parent),
      icon_(new SymbolView(QString(), 13, Tint::accent, 1.0, this)),
      name_(new ElidedLabel(boldSubheadline(), Tint::primary, 1.0, this)),
      volume_(new VolumeSlider(gate, this)),
      percent_(new ElidedLabel(roleFont(FontRole::caption), Tint::secondary, 1.0, this)),
      dropHint_(new ElidedLabel(roleFont(FontRole::caption), Tint::secondary, 1.0, this)),
      rows_(new QVBoxLayout) {
    name_->setObjectName(QStringLiteral("name"));
    volume_->setObjectName(QStringLiteral("masterVolume"));
    percent_->setObjectName(QStringLiteral("percent"));
    percent_->setFixedWidth(32);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* block = new TintedPanel(0.05, this);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(6);
    nameRow->addWidget(icon_);
    nameRow->addWidget(name_);
    nameRow->addWidget(buttons_.rename);
    nameRow->addStretch();
    nameRow->addWidget(buttons_.useOnly);
    nameRow->addWidget(buttons_.remove);
    auto* volumeRow = new QHBoxLayout;
    volumeRow->setSpacing(6);
    volumeRow->addWidget(new SymbolView(QStringLiteral("speaker.fill"), 10, Tint::secondary));
    volumeRow->addWidget(volume_, 1);
    volumeRow->addWidget(
        new SymbolView(QStringLiteral("speaker.wave.3.fill"), 10, Tint::secondary));
    volumeRow->addWidget(percent_);
    auto* blockLayout = new QVBoxLayout(block);
    blockLayout->setContentsMargins(16, 6, 16, 6);
    blockLayout->setSpacing(4);
    blockLayout->addLayout(nameRow);
    blockLayout->addLayout(volumeRow);

    dropHint_->setObjectName(QStringLiteral("dropHint"));
    dropHint_->setText(QStringLiteral("Drop apps here"));
    dropHint_->setContentsMargins(32, 4, 32, 4);
    dropHint_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    auto* rowsBox = new QWidget(this);
    rowsBox->setLayout(rows_.layout());
    rows_.layout()->setContentsMargins(0, 0, 0, 0);
    rows_.layout()->setSpacing(2);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(block);
    layout->addWidget(rowsBox);
    layout->addWidget(dropHint_);

    connect(volume_, &VolumeSlider::volumeChanged, this,
            [this](float volume) { model_.setMasterVolume(device_.uid, volume); });
    display(device, true);
}

bool DeviceSectionView::display(const routing::AudioDevice& device, bool restructure) {
    displayDevice(device, *icon_, *name_, true);
    volume_->setVolume(device.masterVolume);
    percent_->setText(percentText(device.masterVolume));

    const bool complete =
        rows_.display(model_.apps(device.uid), restructure, [this](const routing::RoutedApp& app) {
            return new AppRouteRow(app, model_, gate_, this);
        });
    rows_.layout()->parentWidget()->setVisible(!rows_.empty());
    dropHint_->setVisible(rows_.empty());
    return complete;
}

} // namespace sonarill::ui
