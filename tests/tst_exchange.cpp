// The exchange with the meter: requests on the line, the reply time-out, the pickup of replies
// by the worker and the messages for missing and broken replies. The far end of the line is a
// pseudo-terminal the test writes to byte by byte.

#include "link/frame.h"
#include "link/worker.h"
#include "platform/error.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "platform/timer.h"
#include "tests/support/boxes.h"
#include "tests/support/frames.h"
#include "tests/support/windowrig.h"
#include "window/ert.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QByteArray Sample = QByteArray::fromHex("410300BF4000006E37"); // -0.75, range 3, auto off

QMessageBox* WaitForBox()
{
    if (!QTest::qWaitFor([] { return !VisibleMessageBoxes().isEmpty(); }, 3000))
        return nullptr;
    return VisibleMessageBoxes().front();
}

bool ControlsEnabled(TForm1& form)
{
    for (int k = 0; k < 8; ++k) {
        if (!form.Selector(k)->isEnabled())
            return false;
    }
    return form.CheckBox1->isEnabled();
}

} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void init();
    void cleanup();

    void requestsOnTheLine_data();
    void requestsOnTheLine();
    void noAnswer();
    void brokenReplies_data();
    void brokenReplies();
    void replyInPiecesWhilePolling();
    void replyOutsidePollingIsTakenByTheTimer();
    void validReplyBelow0x40();
    void crcOfNothingGoesToTheHandler();
    void secondCommandDiscardsTheFirstReply();
    void strayBytesArmTheReplyTimer();
    void portThatCannotBeOpened();

private:
    TForm1& Form() { return rig_->Main(); }
    QByteArray StartPolling();

    std::unique_ptr<WindowRig> rig_;
};

void TestExchange::init()
{
    rig_ = std::make_unique<WindowRig>();
    QVERIFY(Worker);
    rig_->ChooseModel(4);
}

void TestExchange::cleanup()
{
    rig_.reset();
}

QByteArray TestExchange::StartPolling()
{
    Form().BitLoad->click();
    return rig_->NextRequest();
}

void TestExchange::requestsOnTheLine_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("range");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("read value") << int{CmdReadValue} << 0 << QByteArray::fromHex("417F70");
    QTest::newRow("auto on") << int{CmdAutoRangeOn} << 0 << QByteArray::fromHex("023E81");
    QTest::newRow("auto off") << int{CmdAutoRangeOff} << 0 << QByteArray::fromHex("03FF41");
    QTest::newRow("stage 1") << int{CmdStage1} << 0 << QByteArray::fromHex("423F71");
    QTest::newRow("stage 2") << int{CmdStage2} << 0 << QByteArray::fromHex("43FEB1");
    QTest::newRow("set range 5") << int{CmdSetRange} << 5 << QByteArray::fromHex("0105C023");
}

void TestExchange::requestsOnTheLine()
{
    QFETCH(int, code);
    QFETCH(int, range);
    QFETCH(QByteArray, frame);
    QVERIFY(!Form().ComPort->IsOpen()); // opened by the first command only
    SendCommand(CmdStage1);             // leaves its CRC in byte 1
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("423F71"));
    RequestBuf[1] = static_cast<std::uint8_t>(range);
    SendCommand(static_cast<std::uint8_t>(code));
    QCOMPARE(rig_->NextRequest(), frame);
    QVERIFY(Form().timeout->Enabled());
    QVERIFY(RequestIsPending());
    QCOMPARE(int{RequestLength}, frame.size());
    QCOMPARE(int{ReplyLength}, code == CmdReadValue ? 9 : 4);
}

void TestExchange::noAnswer()
{
    QCOMPARE(StartPolling(), QByteArray::fromHex("417F70"));
    QElapsedTimer clock;
    clock.start();
    QMessageBox* box = WaitForBox();
    QVERIFY(box);
    QVERIFY(clock.elapsed() >= 450); // the reply time-out, not sooner
    QCOMPARE(box->text(), QStringLiteral("Нет ответа от прибора! "));
    QCOMPARE(box->windowTitle(), QStringLiteral("Ошибка"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QCOMPARE(box->buttons().size(), 1);
    QVERIFY(box->button(QMessageBox::Ok));
    QCOMPARE(int{LinkError}, int{LinkNoAnswer});

    // The window stays usable while the box is up; the controls unlock when it is closed.
    QVERIFY(Form().isEnabled());
    QVERIFY(!ControlsEnabled(Form()));
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(ControlsEnabled(Form()));
    QCOMPARE(PollState, std::uint8_t{1}); // kept
    QVERIFY(!Form().interval->Enabled());
    QCOMPARE(rig_->NextRequest(700ms), QByteArray()); // polling has stopped
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestExchange::brokenReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("cut after 5 bytes") << Sample.left(5);
    QTest::newRow("one byte changed") << QByteArray(Sample).replace(4, 1, "\x41");
    QTest::newRow("stray byte before") << QByteArray(1, '\0') + Sample;
    QTest::newRow("stray byte after") << Sample + QByteArray(1, '\0');
    QTest::newRow("echo only") << QByteArray::fromHex("417F70");
    QTest::newRow("echo, then the reply") << QByteArray::fromHex("417F70") + Sample;
    QTest::newRow("over 72 bytes") << Sample.repeated(34);
    QTest::newRow("a valid 0x41 frame of 5 bytes") << Sealed(QByteArray::fromHex("410300"));
}

void TestExchange::brokenReplies()
{
    QFETCH(QByteArray, reply);
    Form().Edit1->setText(QStringLiteral("1.2345"));
    QCOMPARE(StartPolling(), QByteArray::fromHex("417F70"));
    rig_->Line().Write(reply);
    QMessageBox* box = WaitForBox();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Ошибка контрольной суммы! "));
    QCOMPARE(int{LinkError}, int{LinkChecksumError});
    QCOMPARE(Form().Edit1->text(), QStringLiteral("1.2345")); // nothing handed on
    QVERIFY(RxCount <= sizeof ReplyBuf);
    QCOMPARE(Form().ComPort->InBuffUsed(), std::uint16_t{0}); // the excess went too
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(ControlsEnabled(Form()));
    QCOMPARE(rig_->NextRequest(300ms), QByteArray());
}

void TestExchange::replyInPiecesWhilePolling()
{
    QCOMPARE(StartPolling(), QByteArray::fromHex("417F70"));
    // Each piece restarts the 500 ms: together the pieces take longer than that.
    rig_->Line().Write(Sample.left(4));
    QTest::qWait(300);
    rig_->Line().Write(Sample.mid(4, 4));
    QTest::qWait(300);
    QVERIFY(RequestIsPending()); // eight bytes are no reply yet
    QElapsedTimer clock;
    clock.start();
    rig_->Line().Write(Sample.mid(8));
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("-0.7500"));
    // Taken at the ninth byte, not by the reply timer 500 ms later.
    QVERIFY2(clock.elapsed() < 450, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(VisibleMessageBoxes().isEmpty());
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("417F70")); // polling goes on
}

void TestExchange::replyOutsidePollingIsTakenByTheTimer()
{
    Form().CheckBox1->click(); // not polling: the command goes out at once
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("023E81"));
    rig_->Line().Write(ShortReply(CmdAutoRangeOn));
    QTRY_COMPARE(Form().ComPort->InBuffUsed(), std::uint16_t{4});
    QTest::qWait(250);
    QVERIFY(RequestIsPending()); // complete, but waiting for the timer
    QTRY_VERIFY(!RequestIsPending());
    QTRY_VERIFY(!Form().timeout->Enabled());
    QCOMPARE(int{LinkError}, int{LinkOk});
    QTest::qWait(50);
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestExchange::validReplyBelow0x40()
{
    QCOMPARE(StartPolling(), QByteArray::fromHex("417F70"));
    rig_->Line().Write(ShortReply(0x01));
    QTRY_VERIFY(!RequestIsPending());
    QTRY_VERIFY(!Form().timeout->Enabled());
    QVERIFY(!Form().interval->Enabled());
    QCOMPARE(Form().Edit1->text(), QString());
    QVERIFY(!ControlsEnabled(Form())); // still locked: only Stop or Read go on from here
    QCOMPARE(rig_->NextRequest(300ms), QByteArray());
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestExchange::crcOfNothingGoesToTheHandler()
{
    QCOMPARE(StartPolling(), QByteArray::fromHex("417F70"));
    rig_->Line().Write(QByteArray::fromHex("FFFF")); // the CRC of no bytes: it passes
    QTRY_VERIFY(!RequestIsPending());
    QCOMPARE(int{LinkError}, int{LinkOk});
    QCOMPARE(RxCount, std::uint8_t{2});
    QVERIFY(!Form().interval->Enabled()); // the handler ignores code 0xFF
    QCOMPARE(rig_->NextRequest(300ms), QByteArray());
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestExchange::secondCommandDiscardsTheFirstReply()
{
    SendCommand(CmdAutoRangeOn);
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("023E81"));
    rig_->Line().Write(ShortReply(CmdAutoRangeOn).left(2));
    QTRY_COMPARE(Form().ComPort->InBuffUsed(), std::uint16_t{2});
    QTest::qWait(100);
    const auto left = Form().timeout->Remaining();
    SendCommand(CmdReadValue);
    QVERIFY(Form().timeout->Remaining() <= left); // not restarted
    QCOMPARE(Form().ComPort->InBuffUsed(), std::uint16_t{0});
    QCOMPARE(ReplyLength, std::uint8_t{9});
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("417F70"));
    rig_->Line().Write(Sample);
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("-0.7500"));
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestExchange::strayBytesArmTheReplyTimer()
{
    QVERIFY(!Form().timeout->Enabled());
    SendCommand(CmdAutoRangeOff); // opens the port; its reply is taken as usual
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("03FF41"));
    rig_->Line().Write(ShortReply(CmdAutoRangeOff));
    QTRY_VERIFY_WITH_TIMEOUT(!RequestIsPending(), 2000);
    QTRY_VERIFY(!Form().timeout->Enabled());

    rig_->Line().Write(QByteArray::fromHex("55AA")); // nothing pending
    QTRY_VERIFY(Form().timeout->Enabled());
    QTest::qWait(700); // ticks with nothing pending do nothing
    QVERIFY(VisibleMessageBoxes().isEmpty());
    QVERIFY(Form().timeout->Enabled());

    // A request now gets only the rest of the running period.
    const auto left = Form().timeout->Remaining();
    SendCommand(CmdReadValue);
    QVERIFY(Form().timeout->Remaining() <= left);
    QVERIFY(WaitForBox());
    QCOMPARE(VisibleMessageBoxes().front()->text(), QStringLiteral("Нет ответа от прибора! "));
}

void TestExchange::portThatCannotBeOpened()
{
    qputenv("ORVANTA_COM1", "/dev/orvanta-no-such-port");
    bool raised = false;
    try {
        SendCommand(CmdReadValue);
    } catch (const platform::Error& e) {
        raised = e.Text() == QLatin1String(platform::port_errors::NoSuchPort);
    }
    QVERIFY(raised);
    QVERIFY(!Form().timeout->Enabled());
    QVERIFY(!RequestIsPending());

    // From Read: the platform's box, the controls stay locked and Read stays in state 1.
    Form().BitLoad->click();
    QMessageBox* box = WaitForBox();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("ie_BadId - Specified comport doesn't exist."));
    QCOMPARE(box->windowTitle(), QStringLiteral("tst_exchange"));
    QCOMPARE(PollState, std::uint8_t{1});
    QVERIFY(!ControlsEnabled(Form()));
    QVERIFY(!Form().timeout->Enabled());
    box->button(QMessageBox::Ok)->click();

    // The next command tries again, and the port is there now.
    qputenv("ORVANTA_COM1", rig_->Line().SlavePath().toLocal8Bit());
    Form().BitLoad->click();
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("417F70"));
}

QTEST_MAIN(TestExchange)
#include "tst_exchange.moc"
