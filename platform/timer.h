#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

namespace platform {

// A periodic timer with an enabled state, ticking on the thread that owns it. Enabling a timer
// that runs keeps its current period going; disabling and enabling it again starts a new one.
class Timer : public QObject
{
    Q_OBJECT

public:
    explicit Timer(std::chrono::milliseconds interval, QObject* parent = nullptr);

    void SetEnabled(bool enabled);
    bool Enabled() const { return timer_.isActive(); }
    std::chrono::milliseconds Interval() const { return timer_.intervalAsDuration(); }
    // Time left of the running period; negative while disabled.
    std::chrono::milliseconds Remaining() const { return timer_.remainingTimeAsDuration(); }

Q_SIGNALS:
    void Tick();

private:
    QTimer timer_;
};

} // namespace platform
