#include "link/worker.h"

#include "link/Mes.h"
#include "link/float.h"
#include "link/frame.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "platform/timer.h"
#include "window/catalogue.h"
#include "window/display.h"
#include "window/ert.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QLocale>

#include <algorithm>

thr* Worker = nullptr;
std::atomic<std::uint8_t> LinkError{LinkOk};

namespace {

// Takes over the pending request and the bytes waiting for it, as many as ReplyBuf holds; bytes
// beyond are read and dropped, since they can only belong to a broken reply. Under the exchange
// lock, so that no request is sent between the two: its flush would take the bytes. False when
// nothing is pending.
bool TakePendingReply(std::size_t& waiting)
{
    const std::lock_guard<std::mutex> lock(ExchangeLock);
    if (!RequestPending)
        return false;
    RequestPending = 0;
    platform::SerialPort& port = *Form1->ComPort;
    waiting = port.InBuffUsed();
    RxCount = static_cast<std::uint8_t>(std::min(waiting, sizeof ReplyBuf));
    port.GetBlock(ReplyBuf, RxCount);
    std::uint8_t excess[256];
    while (port.GetBlock(excess, sizeof excess) > 0) {
    }
    return true;
}

QChar DecimalSeparator()
{
    const QString point = QLocale().decimalPoint();
    return point.isEmpty() ? QLatin1Char('.') : point.front();
}

} // namespace

void thr::Execute()
{
    while (!Terminated()) {
        PickupPass();
        Suspend();
    }
}

void thr::PickupPass()
{
    LinkError = LinkOk;
    std::size_t waiting = 0;
    if (!TakePendingReply(waiting))
        return;
    const ReplyVerdict verdict = CheckReply(ReplyBuf, RxCount, waiting);
    if (verdict == ReplyVerdict::NoAnswer || verdict == ReplyVerdict::ChecksumError) {
        LinkError = verdict == ReplyVerdict::NoAnswer ? LinkNoAnswer : LinkChecksumError;
        ReportLinkError();
        return;
    }
    // One hand-off to the UI thread per reply: the timer, then the reading.
    Synchronize([this, verdict] {
        StopReplyTimer();
        if (verdict == ReplyVerdict::HandOn)
            HandleMeasurement();
    });
}

void thr::ReportLinkError()
{
    const QString text =
        QString::fromUtf8(LinkError == LinkNoAnswer ? NoAnswerText : ChecksumErrorText);
    const bool closed = SynchronizeUntil([&text](platform::UiHandoff::Done done) {
        StopReplyTimer();
        ShowError(text, std::move(done));
    });
    if (closed)
        Synchronize([] { Form1->LockRangeControls(false); });
}

void thr::HandleMeasurement()
{
    using namespace measurement;
    if (ReplyBuf[Code] != CmdReadValue)
        return;
    const std::uint8_t range = ReplyBuf[Range];
    ScaleClass = ScaleDigits(FullScale(CurrentModel, range));
    // Unsigned on purpose: model 3's range number 0 gives 255 and checks no selector.
    const auto index = static_cast<std::uint8_t>(range - Model(CurrentModel).rangeOffset);
    if (index < RangeSlots)
        Form1->Selector(index)->setChecked(true); // a change raises RadioButton4Click here
    Form1->CheckBox1->setChecked(ReplyBuf[AutoRange] == AutoRangeOn); // and CheckBox1Click
    const double value = DecodeFloat(ReplyBuf + Value);
    Form1->Edit1->setText(FormatValue(value, 5 - ScaleClass, DecimalSeparator()));
    Form1->interval->SetEnabled(true);
    PollState = 3;
}
