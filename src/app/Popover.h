#pragma once

#include <QElapsedTimer>
#include <QWidget>

namespace sonarill::app {

// The window under the status item: a frameless popup that closes when the user clicks
// elsewhere. Without a status item it is a small ordinary window instead, and closing it quits.
class Popover : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 480;

    explicit Popover(bool underStatusItem);

    void setContent(QWidget* content);
    // Whether the popup was closed an instant ago, as by the click on the status item that is
    // meant to close it: that click must not open it again.
    bool justClosed() const;

signals:
    void closedAsWindow();

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool underStatusItem_;
    QElapsedTimer sinceHidden_;
};

} // namespace sonarill::app
