#include "bench/programrun.h"

#include "bench/analysis.h"
#include "link/frame.h"
#include "link/worker.h"
#include "platform/error.h"
#include "platform/serialport.h"
#include "window/Unit2.h"
#include "window/ert.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>

#include <sys/resource.h>

namespace bench {

namespace {

using namespace std::chrono_literals;

// A reading that does not come this long after the last one means polling has stopped.
constexpr auto StallTimeout = 2s;

// CPU time and context switches, of the whole process or of the calling (UI) thread.
struct Usage
{
    std::int64_t cpuUs = 0;
    long switches = 0;

    static Usage Of(int who)
    {
        rusage usage{};
        getrusage(who, &usage);
        return {(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000LL +
                    usage.ru_utime.tv_usec + usage.ru_stime.tv_usec,
                usage.ru_nvcsw + usage.ru_nivcsw};
    }
};

double PeakRssMb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0; // the kernel gives kB
    }
    return 0;
}

// Runs the event loop until `done` holds or the time is up. Only outside measured stretches: it
// checks every few milliseconds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    if (done())
        return true;
    const std::int64_t deadline = NowUs() + timeout.count() * 1000;
    QEventLoop loop;
    QTimer check;
    check.setInterval(5ms);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || NowUs() >= deadline)
            loop.quit();
    });
    check.start();
    loop.exec();
    return done();
}

void Settle(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

std::size_t CloseMessageBoxes()
{
    std::size_t closed = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible()) {
            box->done(QMessageBox::Ok);
            ++closed;
        }
    }
    return closed;
}

struct Windows
{
    std::unique_ptr<TForm1> main;
    std::unique_ptr<TForm2> dialog;

    Windows() : main(std::make_unique<TForm1>()), dialog(std::make_unique<TForm2>()) {}
    ~Windows()
    {
        // The dialog first, as at the program's exit; the main window ends the worker.
        dialog.reset();
        main.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;
};

} // namespace

StartupRun MeasureStartup(std::int64_t mainStartUs)
{
    StartupRun run;
    Windows windows;
    std::int64_t activatedUs = -1;
    QObject probe;
    // Connected after the window's own binding, so it runs once FormActivate has made the worker.
    QObject::connect(windows.main.get(), &platform::Form::Activate, &probe, [&activatedUs] {
        if (Worker && activatedUs < 0)
            activatedUs = NowUs();
    });
    windows.main->show();
    const auto activated = [&activatedUs] { return activatedUs >= 0; };
    if (!WaitUntil(activated, 1s)) {
        // A window system that does not activate a shown window by itself.
        run.neededActivateWindow = true;
        windows.main->activateWindow();
        WaitUntil(activated, 10s);
    }
    if (!activated()) {
        run.error = "the main window was never activated";
        return run;
    }
    run.firstActivationMs = static_cast<double>(activatedUs - mainStartUs) / 1000.0;
    run.ok = true;
    return run;
}

ProgramRun RunProgram(const std::string& path, int baud, std::size_t cycles)
{
    ProgramRun run;
    qputenv("ORVANTA_COM1", QByteArray::fromStdString(path));
    Windows windows;
    TForm1& form = *windows.main;
    form.show();
    form.activateWindow();
    if (!WaitUntil([] { return Worker != nullptr; }, 10s)) {
        run.error = "the main window was never activated";
        return run;
    }
    form.ComPort->SetBaud(baud);
    form.ModelItem4->trigger();

    QEventLoop loop;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setInterval(StallTimeout);
    bool stalled = false;
    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
        stalled = true;
        loop.quit();
    });

    std::int64_t markUs = -1; // a complete reply waits for its pickup since then
    std::size_t complete = 0; // complete replies seen
    std::size_t shown = 0;    // readings shown
    Usage processStart;
    Usage uiStart;
    std::int64_t wallStart = 0;
    std::size_t completeAtStart = 0;
    run.pickupMs.reserve(cycles + 2);
    run.completeUs.reserve(cycles + 2);
    run.shownUs.reserve(cycles + 2);
    QObject probe;
    // The probe must see the bytes before the worker can take them: it goes first, and the
    // window's own binding is made again after it.
    QObject::disconnect(form.ComPort, &platform::SerialPort::Trigger, &form, nullptr);
    QObject::connect(form.ComPort, &platform::SerialPort::Trigger, &probe, [&] {
        if (!form.RangeControlsLocked() || form.ComPort->InBuffUsed() < MeasurementReplyLength)
            return;
        if (markUs >= 0)
            ++run.unmatched; // the last reading showed the same text as the one before
        markUs = NowUs();
        run.completeUs.push_back(markUs);
        run.shownUs.push_back(-1);
        ++complete;
        watchdog.start();
        if (complete > cycles + 1)
            loop.quit();
    });
    platform::Bind(form.ComPort, &platform::SerialPort::Trigger, &form,
                   [&form] { form.ComPortTrigger(); });
    // setText is the handler's last visible step; only enabling the poll timer follows it.
    QObject::connect(form.Edit1, &QLineEdit::textChanged, &probe, [&] {
        if (markUs < 0)
            return;
        const std::int64_t nowUs = NowUs();
        run.pickupMs.push_back(static_cast<double>(nowUs - markUs) / 1000.0);
        run.shownUs.back() = nowUs;
        markUs = -1;
        if (++shown == 1) {
            processStart = Usage::Of(RUSAGE_SELF);
            uiStart = Usage::Of(RUSAGE_THREAD);
            wallStart = nowUs;
            completeAtStart = complete;
        }
        if (complete >= cycles + 1)
            loop.quit();
    });
    QTimer::singleShot(std::chrono::milliseconds(10'000 + 1000 * cycles), &loop, [&] {
        stalled = true;
        loop.quit();
    });

    watchdog.start();
    form.BitLoad->click();
    loop.exec();
    const Usage processEnd = Usage::Of(RUSAGE_SELF);
    const Usage uiEnd = Usage::Of(RUSAGE_THREAD);
    const std::int64_t wallEnd = NowUs();
    watchdog.stop();

    form.BitBtnStop->click();
    Settle(200ms); // a pickup under way finishes; Stop keeps it from sending again
    run.messageBoxes = CloseMessageBoxes();
    run.peakRssMb = PeakRssMb();
    if (shown > 0 && wallEnd > wallStart) {
        const auto wall = static_cast<double>(wallEnd - wallStart);
        run.cpuPercent = 100.0 * static_cast<double>(processEnd.cpuUs - processStart.cpuUs) / wall;
        run.uiCpuPercent = 100.0 * static_cast<double>(uiEnd.cpuUs - uiStart.cpuUs) / wall;
        const auto measured =
            static_cast<double>(std::max<std::size_t>(complete - completeAtStart, 1));
        run.switchesPerCycle =
            static_cast<double>(processEnd.switches - processStart.switches) / measured;
        run.uiSwitchesPerCycle = static_cast<double>(uiEnd.switches - uiStart.switches) / measured;
    }
    if (stalled)
        run.error = "polling stopped after " + std::to_string(complete) + " replies";
    else if (run.messageBoxes > 0)
        run.error = std::to_string(run.messageBoxes) + " error box(es) came up";
    run.ok = run.error.empty();
    return run;
}

} // namespace bench
