#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

class QSocketNotifier;

namespace platform {

// A periodic timer with an enabled state, ticking on the thread that owns it. Enabling a timer
// that runs keeps its current period going; disabling and enabling it again starts a new one.
class Timer : public QObject
{
    Q_OBJECT

public:
    explicit Timer(std::chrono::milliseconds interval, QObject* parent = nullptr);
    ~Timer() override;

    void SetEnabled(bool enabled);
    bool Enabled() const;
    std::chrono::milliseconds Interval() const { return interval_; }
    // Time left of the running period; negative while disabled.
    std::chrono::milliseconds Remaining() const;

Q_SIGNALS:
    void Tick();

private:
    void OnExpired();

    std::chrono::milliseconds interval_;
    // On Linux a timerfd: the event loop wakes the moment it expires, where QTimer's wake-up is
    // rounded up to the next whole millisecond and more, about 0.8 ms a period. Elsewhere, or
    // when no timerfd can be had, a QTimer.
    int fd_ = -1;
    bool armed_ = false;
    QSocketNotifier* notifier_ = nullptr;
    QTimer timer_;
};

} // namespace platform
