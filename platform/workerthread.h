#pragma once

#include "platform/uihandoff.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

// A background thread that is created suspended, runs when resumed and suspends itself at the
// end of each pass. A resume that comes while it runs is dropped, not remembered. Create it on
// the UI thread: Synchronize() hands work to the thread it was created on.
class WorkerThread
{
public:
    WorkerThread() = default;
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Wakes the thread if it sleeps (the first resume starts it).
    void Resume();

    // Asks the thread to end, releases any wait of it for the UI thread, and joins it. Call it
    // from the owning thread, and from the destructor of every derived class, before the derived
    // part of the object is gone.
    void Shutdown();

protected:
    // The thread's body: loops on Terminated(), calling Suspend() after each pass.
    virtual void Execute() = 0;

    bool Terminated() const;
    // Sleeps until the next resume, or until Shutdown().
    void Suspend();

    // Runs `task` on the UI thread and waits for it. False when the thread is being shut down:
    // the caller must then leave the window and its components alone and return.
    bool Synchronize(const std::function<void()>& task);
    // For a task that is over only when it calls its Done, such as a message box being closed.
    bool SynchronizeUntil(std::function<void(UiHandoff::Done)> task);

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = false;
    bool terminated_ = false;
    std::thread thread_;
    UiHandoff handoff_;
};

} // namespace platform
