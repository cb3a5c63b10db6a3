#pragma once

#include "ui/Controls.h"
#include "ui/Theme.h"

#include <QAbstractButton>
#include <QString>

#include <optional>

namespace sonarill::ui {

// A borderless full-width button of the popover's footer: a 12-point symbol in a 16-point frame,
// 8 points of space and the title in caption font, all in one tint, padded 16 points left and
// right and at least 28 points high. Its tooltip is `help`, or the title without one.
class FooterButtonRow : public QAbstractButton {
    Q_OBJECT
public:
    FooterButtonRow(const QString& title, QString systemName, Tint foreground,
                    const std::optional<QString>& help = std::nullopt, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString systemName_;
    Tint foreground_;
};

// The divider between footer rows, starting under their titles.
class FooterDivider : public Divider {
    Q_OBJECT
public:
    explicit FooterDivider(QWidget* parent = nullptr);
};

} // namespace sonarill::ui
