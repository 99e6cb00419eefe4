#include "platform/workerthread.h"

namespace platform {

WorkerThread::~WorkerThread()
{
    Shutdown();
}

void WorkerThread::Resume()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (terminated_ || running_)
        return;
    running_ = true;
    if (thread_.joinable())
        wake_.notify_one();
    else
        thread_ = std::thread([this] { Execute(); });
}

void WorkerThread::Shutdown()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        terminated_ = true;
    }
    handoff_.Cancel();
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool WorkerThread::Terminated() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return terminated_;
}

void WorkerThread::Suspend()
{
    std::unique_lock<std::mutex> lock(mutex_);
    running_ = false;
    wake_.wait(lock, [this] { return running_ || terminated_; });
}

bool WorkerThread::Synchronize(const std::function<void()>& task)
{
    return handoff_.Run(task);
}

bool WorkerThread::SynchronizeUntil(std::function<void(UiHandoff::Done)> task)
{
    return handoff_.Run(std::move(task));
}

} // namespace platform
