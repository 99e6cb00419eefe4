// Arbitrary bytes as the pickup pass takes them off the line: at most a reply buffer's worth is
// read, the verdict decides, and only a valid measurement may reach the display, shown exactly
// as its value, range and the model call for. The first input byte picks the model and the
// state the reply meets; the rest is the line.

#include "link/float.h"
#include "link/frame.h"
#include "link/worker.h"
#include "platform/radiobutton.h"
#include "window/Unit2.h"
#include "window/catalogue.h"
#include "window/display.h"
#include "window/ert.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QLocale>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

int lineMaster = -1;
thr* handler = nullptr;

void DrainLine()
{
    char sink[4096];
    while (::read(lineMaster, sink, sizeof sink) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int slave = -1;
    char name[128] = {};
    if (::openpty(&lineMaster, &slave, name, nullptr, nullptr) != 0)
        std::abort();
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(lineMaster, F_SETFL, O_NONBLOCK);
    ::setenv("ORVANTA_COM1", name, 1); // the commands that a reading raises go out somewhere
    static QApplication app(*argc, *argv);
    QLocale::setDefault(QLocale::c());
    new TForm1;
    new TForm2;
    handler = new thr; // never resumed: only its handler is used, on this thread
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t model = static_cast<std::uint8_t>(data[0] % ModelCount + 1);
    QAction* items[] = {Form1->ModelItem1, Form1->ModelItem2, Form1->ModelItem3, Form1->ModelItem4,
                        Form1->ModelItem5};
    items[model - 1]->trigger();
    RangeEntered = (data[0] & 0x80) ? 1 : 0;
    PollState = (data[0] >> 5) & 3;
    const std::uint8_t* line = data + 1;
    const std::size_t waiting = size - 1;

    // The pass: everything waiting counts, no more than the buffer holds is read.
    RxCount = static_cast<std::uint8_t>(std::min(waiting, sizeof ReplyBuf));
    std::memcpy(ReplyBuf, line, RxCount);
    const ReplyVerdict verdict = CheckReply(ReplyBuf, RxCount, waiting);

    Form1->Edit1->setText(QStringLiteral("before"));
    if (verdict == ReplyVerdict::HandOn)
        handler->HandleMeasurement();
    DrainLine();

    const bool shown = Form1->Edit1->text() != QLatin1String("before");
    const bool measurement = verdict == ReplyVerdict::HandOn && ReplyBuf[0] == CmdReadValue;
    if (shown != measurement) {
        std::fprintf(stderr, "display changed: %d, valid measurement: %d\n", shown, measurement);
        std::abort();
    }
    if (measurement) {
        if (RxCount != MeasurementReplyLength || waiting != MeasurementReplyLength)
            std::abort();
        const int decimals = 5 - ScaleDigits(FullScale(model, ReplyBuf[1]));
        const QString expected = FormatValue(DecodeFloat(ReplyBuf + 3), decimals, QLatin1Char('.'));
        if (Form1->Edit1->text() != expected)
            std::abort();
        if (PollState != 3 || Form1->CheckBox1->isChecked() != (ReplyBuf[2] == 1))
            std::abort();
    }
    return 0;
}
