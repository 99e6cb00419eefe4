#include "platform/timer.h"

#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

#ifdef Q_OS_LINUX
timespec ToTimespec(std::chrono::milliseconds ms)
{
    timespec t{};
    t.tv_sec = static_cast<time_t>(ms.count() / 1000);
    t.tv_nsec = static_cast<long>(ms.count() % 1000 * 1000000);
    return t;
}
#endif

} // namespace

Timer::Timer(std::chrono::milliseconds interval, QObject* parent)
    : QObject(parent), interval_(interval)
{
#ifdef Q_OS_LINUX
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ >= 0) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &Timer::OnExpired);
        return;
    }
#endif
    // The coarse default may be 5 % off: too much for a 100 ms poll period.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &Timer::Tick);
}

Timer::~Timer()
{
#ifdef Q_OS_LINUX
    if (fd_ >= 0) {
        delete notifier_;
        ::close(fd_);
    }
#endif
}

void Timer::SetEnabled(bool enabled)
{
#ifdef Q_OS_LINUX
    if (fd_ >= 0) {
        if (enabled == armed_)
            return; // a running period goes on
        itimerspec setting{};
        if (enabled)
            setting.it_value = setting.it_interval = ToTimespec(interval_);
        ::timerfd_settime(fd_, 0, &setting, nullptr); // also forgets expirations not yet read
        armed_ = enabled;
        return;
    }
#endif
    if (!enabled)
        timer_.stop();
    else if (!timer_.isActive()) // QTimer::start() would restart a running period
        timer_.start();
}

bool Timer::Enabled() const
{
    return fd_ >= 0 ? armed_ : timer_.isActive();
}

std::chrono::milliseconds Timer::Remaining() const
{
#ifdef Q_OS_LINUX
    if (fd_ >= 0) {
        itimerspec setting{};
        if (!armed_ || ::timerfd_gettime(fd_, &setting) != 0)
            return std::chrono::milliseconds(-1);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::seconds(setting.it_value.tv_sec) +
            std::chrono::nanoseconds(setting.it_value.tv_nsec));
    }
#endif
    return timer_.remainingTimeAsDuration();
}

void Timer::OnExpired()
{
#ifdef Q_OS_LINUX
    // An activation queued before the timer was disabled or restarted finds nothing to read.
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) == sizeof expirations && expirations > 0 &&
        armed_)
        Q_EMIT Tick(); // periods missed while the thread was busy come as one tick, as with QTimer
#endif
}

} // namespace platform
