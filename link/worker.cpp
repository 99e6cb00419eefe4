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

// The reply bytes, as many as ReplyBuf holds; bytes beyond are read and dropped, since they can
// only belong to a broken reply. False when a request was sent since the pass claimed its own:
// that request's flush took the bytes, and they are the new exchange's business.
bool TakeWaitingBytes(std::size_t& waiting)
{
    const std::lock_guard<std::mutex> lock(ExchangeLock);
    if (RequestPending)
        return false;
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
    bool claimed = false;
    if (!Synchronize([&claimed] { claimed = ClaimPendingRequest(); }) || !claimed)
        return;
    std::size_t waiting = 0;
    if (!TakeWaitingBytes(waiting))
        return;
    switch (CheckReply(ReplyBuf, RxCount, waiting)) {
    case ReplyVerdict::NoAnswer:
        LinkError = LinkNoAnswer;
        break;
    case ReplyVerdict::ChecksumError:
        LinkError = LinkChecksumError;
        break;
    case ReplyVerdict::HandOn:
        Synchronize([this] { HandleMeasurement(); });
        break;
    case ReplyVerdict::Ignore:
        break;
    }
    if (LinkError != LinkOk)
        ReportLinkError();
}

void thr::ReportLinkError()
{
    const QString text =
        QString::fromUtf8(LinkError == LinkNoAnswer ? NoAnswerText : ChecksumErrorText);
    const bool closed = SynchronizeUntil(
        [&text](platform::UiHandoff::Done done) { ShowError(text, std::move(done)); });
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
