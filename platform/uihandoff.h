#pragma once

#include <functional>
#include <memory>

namespace platform {

// Runs work of a background thread on the UI thread while the background thread waits for it.
// Construct on the UI thread. The wait is on a std::mutex and std::condition_variable, so the
// sanitizers see every hand-off; Cancel() releases every wait at once, for an orderly exit even
// when the UI thread's event loop has ended.
class UiHandoff
{
public:
    // Called by the UI-side task when its work is over; calling it again, or after Cancel(),
    // does nothing.
    using Done = std::function<void()>;

    UiHandoff();
    ~UiHandoff();
    UiHandoff(const UiHandoff&) = delete;
    UiHandoff& operator=(const UiHandoff&) = delete;

    // From a background thread: queues `task` for the UI thread and waits until it has called
    // its Done. False when cancelled first; the task then may not have run.
    bool Run(std::function<void(Done)> task);

    // The same for a task that is over when it returns.
    bool Run(const std::function<void()>& task);

    // From any thread: every waiting Run returns false, later ones return false at once, and
    // queued tasks that have not started are dropped.
    void Cancel();

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

} // namespace platform
