#pragma once

#include <QAbstractButton>
#include <QString>

namespace sonarill::ui {

// A borderless 20 × 20 point button showing a 12-point symbol: the accent colour when enabled,
// the secondary colour at 35% when disabled (then clicks do nothing). Its tooltip is `help`.
class DeviceIconButton : public QAbstractButton {
    Q_OBJECT
public:
    DeviceIconButton(QString systemName, const QString& help, QWidget* parent = nullptr);
    const QString& systemName() const { return systemName_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString systemName_;
};

} // namespace sonarill::ui
