// Every fault of the line, while polling and while a range command is outstanding, end to end
// with the virtual meter: which message the operator sees, whether polling goes on, the state
// of the controls, and that the display keeps its last good reading. It prints the matrix.

#include "link/worker.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "platform/timer.h"
#include "tests/support/boxes.h"
#include "tests/support/windowrig.h"
#include "tools/virtual-meter/virtual_meter.h"
#include "window/ert.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

enum class Message
{
    None,
    NoAnswer,
    Checksum,
    Other, // any other box, such as a port that cannot be opened
};

const char* Describe(Message m)
{
    switch (m) {
    case Message::None:
        return "none";
    case Message::NoAnswer:
        return "Нет ответа от прибора!";
    case Message::Checksum:
        return "Ошибка контрольной суммы!";
    case Message::Other:
        return "another message";
    }
    return "";
}

enum class LineFault
{
    NoAnswer,
    Late,
    Cut,
    Corrupt,
    StrayBefore,
    StrayAfter,
    PiecesShortGaps,
    PiecesLongGap,
    Echo,
    EchoOnly,
    Burst,
    HangUp,
    WrongSpeed,
};

// The fault as the virtual meter plays it, sized for a 9-byte or a 4-byte reply.
vmeter::Fault MeterFault(LineFault fault, bool measurement)
{
    switch (fault) {
    case LineFault::NoAnswer:
        return vmeter::Fault::NoAnswer();
    case LineFault::Late:
        return vmeter::Fault::Late(600ms);
    case LineFault::Cut:
        return vmeter::Fault::Cut(measurement ? 5 : 2);
    case LineFault::Corrupt:
        return vmeter::Fault::Corrupt();
    case LineFault::StrayBefore:
        return vmeter::Fault::StrayBefore();
    case LineFault::StrayAfter:
        return vmeter::Fault::StrayAfter();
    case LineFault::PiecesShortGaps:
        return vmeter::Fault::SplitEvery(measurement ? 3 : 2, 200ms);
    case LineFault::PiecesLongGap:
        return vmeter::Fault::Split({measurement ? 3u : 2u}, 600ms);
    case LineFault::Echo:
        return vmeter::Fault::Echo();
    case LineFault::EchoOnly:
        return vmeter::Fault::EchoOnly();
    case LineFault::Burst: // not made of replies, so that no 9 of its bytes pass for one
        return vmeter::Fault::Burst(300, {0x55});
    case LineFault::HangUp:
        return vmeter::Fault::HangUp();
    case LineFault::WrongSpeed:
        break;
    }
    return vmeter::Fault::NoAnswer();
}

struct Outcome
{
    Message message = Message::None;
    bool newReading = false; // the faulted reply's value reached the display
    bool pollingGoesOn = false;
    bool locked = false; // the range controls, once any message is closed
    int pollState = 0;
    bool settled = true; // nothing left pending
    bool lastGoodKept = true;
};

QString Row(const QString& name, const Outcome& o, bool polling)
{
    return QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |")
        .arg(name, polling ? QStringLiteral("polling") : QStringLiteral("range command"),
             QString::fromUtf8(Describe(o.message)),
             polling ? (o.pollingGoesOn ? QStringLiteral("yes") : QStringLiteral("no"))
                     : QStringLiteral("-"),
             o.locked ? QStringLiteral("locked") : QStringLiteral("unlocked"),
             QString::number(o.pollState),
             o.newReading ? QStringLiteral("new reading") : QStringLiteral("last good reading"));
}

} // namespace

Q_DECLARE_METATYPE(LineFault)
Q_DECLARE_METATYPE(Message)

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void matrix_data();
    void matrix();
    void unplugAndReturn();

private:
    void Start();
    void AtNextReading(const std::function<void()>& action);
    Outcome WhilePolling(LineFault fault);
    Outcome WithRangeCommand(LineFault fault);
    Message TakeMessage();

    std::unique_ptr<vmeter::VirtualMeter> meter_;
    std::unique_ptr<WindowRig> rig_;
    QStringList table_;
};

void TestFaultMatrix::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    table_ << QStringLiteral("| Fault | During | Message | Polling goes on | Controls after | "
                             "PollState | Display |")
           << QStringLiteral("|---|---|---|---|---|---|---|");
}

void TestFaultMatrix::cleanupTestCase()
{
    for (const QString& line : table_)
        qInfo("%s", qPrintable(line));
}

void TestFaultMatrix::cleanup()
{
    rig_.reset();
    meter_.reset();
}

void TestFaultMatrix::Start()
{
    vmeter::Options options;
    options.model = 4;
    options.range = 2;
    options.value = 1.25;
    options.link =
        QDir::temp()
            .filePath(QStringLiteral("orvanta-matrix-%1").arg(QCoreApplication::applicationPid()))
            .toStdString();
    meter_ = std::make_unique<vmeter::VirtualMeter>(options);
    QVERIFY(meter_->Start());
    rig_ = std::make_unique<WindowRig>(QString::fromStdString(meter_->Path()));
    rig_->ChooseModel(4);
    // A good reading first: the display must keep it through the fault.
    rig_->Main().BitLoad->click();
    QTRY_COMPARE(rig_->Main().Edit1->text(), QStringLiteral("1.2500"));
}

Message TestFaultMatrix::TakeMessage()
{
    // Long enough for a time-out after a 600 ms gap or a late reply.
    if (!QTest::qWaitFor([] { return !VisibleMessageBoxes().isEmpty(); }, 1500))
        return Message::None;
    const QString text = VisibleMessageBoxes().front()->text();
    CloseMessageBoxes();
    if (text == QStringLiteral("Нет ответа от прибора! "))
        return Message::NoAnswer;
    if (text == QStringLiteral("Ошибка контрольной суммы! "))
        return Message::Checksum;
    qWarning("message: %s", qPrintable(text));
    return Message::Other;
}

void TestFaultMatrix::AtNextReading(const std::function<void()>& action)
{
    // Right after a reading has been handled the meter is idle until the next request: what is
    // done then meets that request, and no other. The value changes so that the reading does.
    TForm1& f = rig_->Main();
    auto hook = std::make_shared<QMetaObject::Connection>();
    *hook = connect(f.Edit1, &QLineEdit::textChanged, this, [hook, action](const QString& text) {
        if (text != QLatin1String("1.5000"))
            return;
        disconnect(*hook);
        action();
    });
    meter_->SetValue(1.5);
    QTRY_COMPARE(f.Edit1->text(), QStringLiteral("1.5000"));
}

Outcome TestFaultMatrix::WhilePolling(LineFault fault)
{
    TForm1& f = rig_->Main();
    AtNextReading([&, fault] {
        meter_->SetValue(3.5);
        if (fault == LineFault::WrongSpeed)
            f.ComPort->SetBaud(4800);
        else
            meter_->InjectFault(MeterFault(fault, true));
    });
    Outcome o;
    o.message = TakeMessage();
    const std::size_t heard = meter_->RequestCount();
    QTest::qWait(fault == LineFault::PiecesShortGaps ? 900 : 400);
    o.pollingGoesOn = meter_->RequestCount() > heard;
    o.newReading = f.Edit1->text() == QStringLiteral("3.5000");
    o.lastGoodKept = o.newReading || f.Edit1->text() == QStringLiteral("1.5000");
    o.locked = !f.RadioButton5->isEnabled();
    o.pollState = PollState;
    return o;
}

Outcome TestFaultMatrix::WithRangeCommand(LineFault fault)
{
    TForm1& f = rig_->Main();
    f.BitBtnStop->click();
    // Let the reply in flight, if any, be taken before the command.
    QTest::qWait(150);
    static_cast<void>(QTest::qWaitFor([] { return !RequestIsPending(); }, 1500));
    meter_->SetValue(3.5);
    if (fault == LineFault::WrongSpeed)
        f.ComPort->SetBaud(4800);
    else
        meter_->InjectFault(MeterFault(fault, false));
    f.CheckBox1->click(); // automatic ranging on, sent at once while not polling
    Outcome o;
    o.message = TakeMessage();
    if (o.message == Message::None) // a valid reply is taken when the reply timer runs out
        o.settled = QTest::qWaitFor([] { return !RequestIsPending(); }, 1500);
    o.newReading = f.Edit1->text() != QStringLiteral("1.2500");
    o.lastGoodKept = !o.newReading;
    o.locked = !f.RadioButton5->isEnabled();
    o.pollState = PollState;
    return o;
}

void TestFaultMatrix::matrix_data()
{
    QTest::addColumn<LineFault>("fault");
    QTest::addColumn<bool>("polling");
    QTest::addColumn<Message>("message");
    struct Row
    {
        const char* name;
        LineFault fault;
        Message polling;
        Message command;
    };
    const Row rows[] = {
        {"no answer", LineFault::NoAnswer, Message::NoAnswer, Message::NoAnswer},
        {"late answer (600 ms)", LineFault::Late, Message::NoAnswer, Message::NoAnswer},
        {"cut", LineFault::Cut, Message::Checksum, Message::Checksum},
        {"one byte corrupted", LineFault::Corrupt, Message::Checksum, Message::Checksum},
        {"stray bytes before", LineFault::StrayBefore, Message::Checksum, Message::Checksum},
        {"stray bytes after", LineFault::StrayAfter, Message::None, Message::Checksum},
        {"pieces with 200 ms gaps", LineFault::PiecesShortGaps, Message::None, Message::None},
        {"pieces with a 600 ms gap", LineFault::PiecesLongGap, Message::Checksum,
         Message::Checksum},
        {"echo, then the reply", LineFault::Echo, Message::Checksum, Message::Checksum},
        {"echo only", LineFault::EchoOnly, Message::Checksum, Message::None},
        {"burst of 300 bytes", LineFault::Burst, Message::Checksum, Message::Checksum},
        {"hang-up", LineFault::HangUp, Message::NoAnswer, Message::NoAnswer},
        {"wrong speed", LineFault::WrongSpeed, Message::NoAnswer, Message::NoAnswer},
    };
    for (const Row& row : rows) {
        QTest::addRow("%s / polling", row.name) << row.fault << true << row.polling;
        QTest::addRow("%s / range command", row.name) << row.fault << false << row.command;
    }
}

void TestFaultMatrix::matrix()
{
    QFETCH(LineFault, fault);
    QFETCH(bool, polling);
    QFETCH(Message, message);
    Start();
    const Outcome o = polling ? WhilePolling(fault) : WithRangeCommand(fault);
    table_ << Row(QString::fromUtf8(QTest::currentDataTag()).section(QStringLiteral(" / "), 0, 0),
                  o, polling);

    if (polling && fault == LineFault::StrayAfter) {
        // Polling takes a reply at its ninth byte: the stray bytes usually come after the pickup
        // and go with the next request's flush; when they are there first, the CRC fails.
        QVERIFY(o.message != Message::NoAnswer);
        QCOMPARE(o.newReading, o.message == Message::None);
        return;
    }
    QCOMPARE(o.message, message);
    QVERIFY(o.settled);
    QVERIFY(o.lastGoodKept);
    const bool fine = message == Message::None;
    QCOMPARE(o.newReading, fine && polling); // a broken reply never reaches the display
    QVERIFY(!o.locked || (polling && fine)); // a message unlocks the controls
    if (polling) {
        QCOMPARE(o.pollingGoesOn, fine);
        QCOMPARE(o.pollState, 3); // kept through an error
    } else {
        QCOMPARE(o.pollState, 0);
    }
}

void TestFaultMatrix::unplugAndReturn()
{
    Start();
    TForm1& f = rig_->Main();
    // Unplugged while a request waits for its reply.
    AtNextReading([this] { meter_->InjectFault(vmeter::Fault::HangUp()); });
    QCOMPARE(TakeMessage(), Message::NoAnswer);
    QTRY_VERIFY(f.RadioButton5->isEnabled());
    QVERIFY(!f.ComPort->IsOpen());
    QCOMPARE(f.Edit1->text(), QStringLiteral("1.5000"));

    QVERIFY(meter_->ComeBack()); // the same path, a new device behind it
    meter_->SetValue(2.75);
    f.BitLoad->click();
    QTRY_COMPARE(f.Edit1->text(), QStringLiteral("2.7500"));
    const std::size_t replies = meter_->ReplyCount();
    QTRY_VERIFY(meter_->ReplyCount() >= replies + 3); // polling again, without a restart

    // Unplugged between two requests: the next one finds no device to open. The controls stay
    // locked, as after any command that cannot be sent, until Stop.
    meter_->SetValue(1.25);
    QTRY_COMPARE(f.Edit1->text(), QStringLiteral("1.2500"));
    AtNextReading([this] { QVERIFY(meter_->HangUp()); });
    QTRY_VERIFY(!VisibleMessageBoxes().isEmpty());
    QCOMPARE(VisibleMessageBoxes().front()->text(),
             QStringLiteral("ie_BadId - Specified comport doesn't exist."));
    CloseMessageBoxes();
    QVERIFY(!f.RadioButton5->isEnabled());
    f.BitBtnStop->click();
    QVERIFY(meter_->ComeBack());
    f.BitLoad->click();
    QTRY_VERIFY(meter_->ReplyCount() >= replies + 6);
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

QTEST_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
