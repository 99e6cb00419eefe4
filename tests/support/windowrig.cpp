#include "tests/support/windowrig.h"

#include "link/frame.h"
#include "link/worker.h"
#include "tests/support/boxes.h"
#include "window/Unit2.h"
#include "window/ert.h"

#include <QAction>
#include <QtTest>

bool RequestIsPending()
{
    const std::lock_guard<std::mutex> lock(ExchangeLock);
    return RequestPending != 0;
}

WindowRig::WindowRig(const QString& com1)
{
    if (com1.isEmpty())
        line_ = std::make_unique<PtyPeer>();
    qputenv("ORVANTA_COM1", (line_ ? line_->SlavePath() : com1).toLocal8Bit());
    main_ = std::make_unique<TForm1>();
    dialog_ = std::make_unique<TForm2>();
    main_->show();
    main_->activateWindow();
    if (!QTest::qWaitForWindowActive(main_.get()) || !Worker)
        qWarning("the main window was not activated");
}

WindowRig::~WindowRig()
{
    Close();
    CloseMessageBoxes();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TForm1& WindowRig::Main()
{
    return *main_;
}

TForm2& WindowRig::Dialog()
{
    return *dialog_;
}

QByteArray WindowRig::NextRequest(std::chrono::milliseconds timeout)
{
    // The first byte tells the length, as it tells the meter.
    const QByteArray code = line_->Read(1, timeout);
    if (code.isEmpty())
        return {};
    const CommandInfo* command = FindCommand(static_cast<std::uint8_t>(code[0]));
    return code + line_->Read(command ? command->requestLength - 1 : 0, timeout);
}

void WindowRig::ChooseModel(int model)
{
    QAction* items[] = {main_->ModelItem1, main_->ModelItem2, main_->ModelItem3, main_->ModelItem4,
                        main_->ModelItem5};
    items[model - 1]->trigger();
}

void WindowRig::Close()
{
    if (!main_)
        return;
    main_->close();
    dialog_.reset();
    main_.reset();
}
