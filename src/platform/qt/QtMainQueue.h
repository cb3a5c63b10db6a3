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

    // Posted work and timers run in this object's thread. Work still pending when the queue is
    // destroyed is dropped with it; the queue must outlive every thread that posts to it.
    QObject* context_;
};

} // namespace sonarill::platform
