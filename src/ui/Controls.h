#pragma once

#include "ui/RebuildGate.h"
#include "ui/Theme.h"

#include <QSlider>
#include <QString>
#include <QWidget>

#include <optional>

// The small painted pieces the popover's rows are made of; each takes its colours from the
// palette when it paints, so a switch between light and dark needs no rebuild.
namespace sonarill::ui {

// A symbol image of `size` points in a palette tint.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(QString name, int size, Tint tint, qreal opacity = 1.0, QWidget* parent = nullptr);
    void setName(const QString& name);
    const QString& name() const { return name_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString name_;
    Tint tint_;
    qreal opacity_;
};

// One line of text cut off at the end with an ellipsis when the row is too narrow for it.
class ElidedLabel : public QWidget {
    Q_OBJECT
public:
    ElidedLabel(const QFont& font, Tint tint, qreal opacity = 1.0, QWidget* parent = nullptr);
    void setText(const QString& text);
    const QString& text() const { return text_; }
    void setAlignment(Qt::Alignment alignment);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    Tint tint_;
    qreal opacity_;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
};

// A one-point line across the width, starting `leadingIndent` points in.
class Divider : public QWidget {
    Q_OBJECT
public:
    explicit Divider(int leadingIndent = 0, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int leadingIndent_;
};

// A horizontal 0.0 to 1.0 volume slider. Every value the user moves it to is reported while the
// user drags; values set from the model leave a pressed slider alone. While pressed it holds the
// rebuild gate, so its row stays for the whole drag.
class VolumeSlider : public QSlider {
    Q_OBJECT
public:
    explicit VolumeSlider(RebuildGate& gate, QWidget* parent = nullptr);
    void setVolume(float volume);
    float volume() const;

signals:
    void volumeChanged(float volume);

protected:
    void hideEvent(QHideEvent* event) override;

private:
    std::optional<RebuildGate::Hold> pressed_;
};

// Something with a background of the secondary colour at a small opacity, behind its layout.
class TintedPanel : public QWidget {
    Q_OBJECT
public:
    explicit TintedPanel(qreal opacity, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal opacity_;
};

} // namespace sonarill::ui
