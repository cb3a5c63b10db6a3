#include "platform/qt/QtMainQueue.h"

#include <QTimer>

#include <algorithm>
#include <limits>

#include <algorithm>

namespace sonarill::platform {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
    // Pending posts and timers are children or targets of the context and go with it.
    delete context_;
}

void QtMainQueue::post(std::function<void()> work) {
    QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
}

Timer QtMainQueue::scheduleAfter(Duration delay, std::function<void()> work) {
    return schedule(delay, false, std::move(work));
}

Timer QtMainQueue::scheduleRepeating(Duration interval, std::function<void()> work) {
    return schedule(std::max<Duration>(interval, std::chrono::milliseconds(1)), true,
                    std::move(work));
}

Timer QtMainQueue::schedule(Duration interval, bool repeating, std::function<void()> work) {
    auto cancelled = newCancelFlag();
    auto* timer = new QTimer(context_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeating);
    // Rounded up: a timer must not fire sooner than asked.
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(
        std::max<Duration>(interval, Duration::zero()));
    timer->setInterval(static_cast<int>(std::min<std::chrono::milliseconds::rep>(
        milliseconds.count(), std::numeric_limits<int>::max())));
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, cancelled, repeating, work = std::move(work)] {
                         // Cancelled from another thread or by earlier work: the QTimer itself
                         // belongs to this thread, so it is stopped and freed here.
                         if (cancelled->load()) {
                             timer->deleteLater();
                             timer->stop();
                             return;
                         }
                         if (!repeating)
                             timer->deleteLater();
                         work();
                     });
    timer->start();
    return Timer(std::move(cancelled));
}

} // namespace sonarill::platform
