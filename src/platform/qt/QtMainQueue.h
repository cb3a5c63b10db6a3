#pragma once

#include "platform/MainQueue.h"

#include <QObject>
#include <QPointer>

namespace sonarill::platform {

// The main queue of the application: Qt's event loop on the thread that creates it. Timers are
// QTimers on that thread; a repeating QTimer that falls behind already fires once, not once per
// missed interval.
class QtMainQueue final : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void post(std::function<void()> work) override;
    Timer scheduleAfter(Duration delay, std::function<void()> work) override;
    Timer scheduleRepeating(Duration interval, std::function<void()> work) override;

private:
    Timer schedule(Duration interval, bool repeating, std::function<void()> work);

    // Work posted from any thread runs in this object's thread; posts after it is gone are
    // dropped by Qt.
    QObject* context_;
};

} // namespace sonarill::platform
