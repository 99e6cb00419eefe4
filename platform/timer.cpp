#include "platform/timer.h"

namespace platform {

Timer::Timer(std::chrono::milliseconds interval, QObject* parent) : QObject(parent)
{
    // The coarse default may be 5 % off: too much for a 100 ms poll period.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &Timer::Tick);
}

void Timer::SetEnabled(bool enabled)
{
    if (!enabled)
        timer_.stop();
    else if (!timer_.isActive()) // QTimer::start() would restart a running period
        timer_.start();
}

} // namespace platform
