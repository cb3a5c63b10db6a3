#include "ui/OutputDeviceRenameDialog.h"

#include "ui/SymbolImages.h"
#include "ui/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace sonarill::ui {

namespace {

constexpr int kIconSize = 48;

} // namespace

OutputDeviceRenameDialog::OutputDeviceRenameDialog(const routing::AudioDevice& device,
                                                   QWidget* parent)
    : QDialog(parent), field_(new QLineEdit(this)),
      save_(new QPushButton(QStringLiteral("Save"), this)),
      useSystemName_(new QPushButton(QStringLiteral("Use System Name"), this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(QStringLiteral("Rename Output"));
    setWindowModality(Qt::ApplicationModal);

    auto* icon = new QLabel(this);
    icon->setPixmap(symbolPixmap(qText(device.iconName()), kIconSize,
                                 tintColor(palette(), Tint::accent), devicePixelRatioF()));
    icon->setAccessibleName(QStringLiteral("Output Device"));
    icon->setAlignment(Qt::AlignTop);

    auto* message = new QLabel(QStringLiteral("Rename Output"), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    auto* informative = new QLabel(QStringLiteral("System name: ") + qText(device.name), this);
    informative->setObjectName(QStringLiteral("informative"));

    field_->setFixedSize(260, 24);
    field_->setText(qText(device.displayName()));
    field_->setPlaceholderText(qText(device.name));

    auto* texts = new QVBoxLayout;
    texts->setSpacing(8);
    texts->addWidget(message);
    texts->addWidget(informative);
    texts->addWidget(field_);

    auto* body = new QHBoxLayout;
    body->setSpacing(16);
    body->addWidget(icon);
    body->addLayout(texts);

    // As an alert lays out its buttons: the first, the default, on the right.
    save_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    buttons->addWidget(useSystemName_);
    buttons->addWidget(save_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(16);
    layout->addLayout(body);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(save_, &QPushButton::clicked, this, [this] { done(save); });
    connect(useSystemName_, &QPushButton::clicked, this, [this] { done(useSystemName); });
    connect(cancel_, &QPushButton::clicked, this, [this] { done(cancel); });

    field_->setFocus();
    field_->selectAll();
}

QPushButton* OutputDeviceRenameDialog::button(Choice choice) const {
    switch (choice) {
    case save:
        return save_;
    case useSystemName:
        return useSystemName_;
    case cancel:
        break;
    }
    return cancel_;
}

void OutputDeviceRenameDialog::present(const routing::AudioDevice& device,
                                       routing::AudioRoutingViewModel& model, RebuildGate& gate,
                                       QWidget* parent) {
    // The caller's record may be replaced while the dialog runs; the answer is about this one.
    const routing::AudioDevice shown = device;
    const RebuildGate::Hold hold = gate.hold();
    // Quitting ends the modal loop with the initial result, cancel, or closes the dialog first,
    // which rejects it. A parent destroyed meanwhile takes the dialog with it: cancel too.
    QPointer<OutputDeviceRenameDialog> dialog = new OutputDeviceRenameDialog(shown, parent);
    const int choice = dialog->exec();
    if (dialog.isNull())
        return;
    const std::string typed = dialog->nameField()->text().toStdString();
    delete dialog.data();
    switch (choice) {
    case save:
        model.setCustomName(shown.uid, typed);
        break;
    case useSystemName:
        model.setCustomName(shown.uid, std::nullopt);
        break;
    default:
        break;
    }
}

} // namespace sonarill::ui
