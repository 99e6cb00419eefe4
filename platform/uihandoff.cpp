#include "platform/uihandoff.h"

#include "platform/error.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform {

namespace {

// Only this type is ever posted to the receiver.
const QEvent::Type DrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct Call
{
    std::function<void(UiHandoff::Done)> task;
    bool done = false;
};

} // namespace

struct UiHandoff::Core
{
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<std::shared_ptr<Call>> queue;
    bool cancelled = false;

    // Lives on the UI thread. The posted event carries no data of ours, and our code never reads
    // it (Qt hands it to customEvent() by its type): the work itself travels through `queue`
    // under `mutex`, where the sanitizers can see it, not through Qt's uninstrumented queue.
    class Receiver : public QObject
    {
    public:
        explicit Receiver(Core* core) : core_(core) {}

    protected:
        void customEvent(QEvent*) override { core_->Drain(); }

    private:
        Core* core_;
    };
    std::unique_ptr<Receiver> receiver;

    void Drain();
    static Done MakeDone(const std::shared_ptr<Core>& core, const std::shared_ptr<Call>& call);
    std::weak_ptr<Core> self;
};

UiHandoff::Done UiHandoff::Core::MakeDone(const std::shared_ptr<Core>& core,
                                          const std::shared_ptr<Call>& call)
{
    return [core, call] {
        const std::lock_guard<std::mutex> lock(core->mutex);
        call->done = true;
        core->finished.notify_all();
    };
}

void UiHandoff::Core::Drain()
{
    const std::shared_ptr<Core> core = self.lock();
    for (;;) {
        std::shared_ptr<Call> call;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (cancelled || queue.empty())
                return;
            call = queue.front();
            queue.pop_front();
        }
        const Done done = MakeDone(core, call);
        bool finishedNormally = false;
        RunGuarded([&] {
            call->task(done);
            finishedNormally = true;
        });
        if (!finishedNormally)
            done(); // the task raised an error (shown already): do not leave its caller waiting
    }
}

UiHandoff::UiHandoff() : core_(std::make_shared<Core>())
{
    core_->self = core_;
    core_->receiver = std::make_unique<Core::Receiver>(core_.get());
}

UiHandoff::~UiHandoff()
{
    Cancel();
    core_->receiver.reset(); // on the UI thread, like its construction
}

bool UiHandoff::Run(std::function<void(Done)> task)
{
    auto call = std::make_shared<Call>();
    call->task = std::move(task);
    std::unique_lock<std::mutex> lock(core_->mutex);
    if (core_->cancelled)
        return false;
    core_->queue.push_back(call);
    QCoreApplication::postEvent(core_->receiver.get(), new QEvent(DrainEvent));
    core_->finished.wait(lock, [&] { return call->done || core_->cancelled; });
    return call->done;
}

bool UiHandoff::Run(const std::function<void()>& task)
{
    return Run([task](const Done& done) {
        task();
        done();
    });
}

void UiHandoff::Cancel()
{
    const std::lock_guard<std::mutex> lock(core_->mutex);
    core_->cancelled = true;
    core_->queue.clear();
    core_->finished.notify_all();
}

} // namespace platform
