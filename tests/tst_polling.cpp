// Polling and range control: Read, Stop, the poll cycle, what a measurement does to the window,
// and the range and automatic-ranging commands. The realistic cases run against the virtual
// meter; the ones that need a reply at a chosen moment hold the far end of the line themselves.

#include "link/frame.h"
#include "link/worker.h"
#include "platform/radiobutton.h"
#include "platform/timer.h"
#include "tests/support/boxes.h"
#include "tests/support/frames.h"
#include "tests/support/windowrig.h"
#include "tools/virtual-meter/virtual_meter.h"
#include "window/catalogue.h"
#include "window/ert.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QByteArray ReadValue = QByteArray::fromHex("417F70");

int CheckedIndex(TForm1& f)
{
    return f.CheckedRangeIndex();
}

bool Locked(TForm1& f)
{
    for (int k = 0; k < 8; ++k) {
        if (f.Selector(k)->isEnabled())
            return false;
    }
    return !f.CheckBox1->isEnabled();
}

// Requests of one code the meter has heard.
std::size_t Heard(const vmeter::VirtualMeter& meter, std::uint8_t code)
{
    std::size_t n = 0;
    for (const vmeter::LogEntry& e : meter.Log()) {
        if (e.event == vmeter::Event::Rx && !e.bytes.empty() && e.bytes[0] == code)
            ++n;
    }
    return n;
}

// The operator's mouse on a selector: the press activates the window and gives the selector the
// focus, the release clicks it.
void MouseOn(platform::RadioButton* selector)
{
    selector->window()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(selector->window()));
    selector->setFocus(Qt::MouseFocusReason);
    selector->click();
}

} // namespace

class TestPolling : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void cleanup();

    // Against the virtual meter.
    void readPollsUntilStop();
    void meterChangesRangeWhilePolling();
    void meterSwitchesAutomaticRanging();
    void modelChosenWhilePolling();

    // With the far end of the line in the test's hands.
    void measurementShowsOnTheWindow_data();
    void measurementShowsOnTheWindow();
    void readDuringAPollPeriod();
    void tickInStageTwo();
    void stopWithARequestOutstanding();
    void stopWithNoReplyComing();
    void selectorSendsTheRange_data();
    void selectorSendsTheRange();
    void selectorAfterAnErrorEndsTheCycle();
    void arrowKeySendsTheNeighbour();
    void boxBeforeAnyModel();
    void rangeEnteredLeftSetBeforeRead();
    void russianSeparator();

private:
    void StartMeter(int model, int range, double value);
    void StartLine(int model);
    TForm1& Form() { return rig_->Main(); }
    QByteArray Request() { return rig_->NextRequest(); }

    std::unique_ptr<vmeter::VirtualMeter> meter_;
    std::unique_ptr<WindowRig> rig_;
};

void TestPolling::cleanup()
{
    rig_.reset();
    meter_.reset();
    QLocale::setDefault(QLocale::c());
}

void TestPolling::StartMeter(int model, int range, double value)
{
    vmeter::Options options;
    options.model = model;
    options.range = range;
    options.value = value;
    meter_ = std::make_unique<vmeter::VirtualMeter>(options);
    std::string error;
    QVERIFY2(meter_->Start(&error), error.c_str());
    rig_ = std::make_unique<WindowRig>(QString::fromStdString(meter_->Path()));
    rig_->ChooseModel(model);
}

void TestPolling::StartLine(int model)
{
    rig_ = std::make_unique<WindowRig>();
    if (model > 0)
        rig_->ChooseModel(model);
}

void TestPolling::readPollsUntilStop()
{
    StartMeter(4, 3, -0.75);
    Form().BitLoad->click();
    QCOMPARE(PollState, std::uint8_t{1});
    QVERIFY(Locked(Form()));
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("-0.7500"));
    QCOMPARE(CheckedIndex(Form()), 3);
    QVERIFY(!Form().CheckBox1->isChecked());
    QCOMPARE(PollState, std::uint8_t{3});

    // The cycle goes on by itself: each handled reading arms the next request.
    QTRY_VERIFY(meter_->ReplyCount() >= 5);
    meter_->SetValue(5.25);
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("5.2500"));
    QVERIFY(VisibleMessageBoxes().isEmpty());

    Form().BitBtnStop->click();
    QCOMPARE(PollState, std::uint8_t{0});
    QVERIFY(!Locked(Form()));
    QVERIFY(!Form().interval->Enabled());
    QVERIFY(!Form().timeout->Enabled());
    // A reply on its way may still be shown once; after that nothing more is asked.
    QTest::qWait(700);
    const std::size_t heard = meter_->RequestCount();
    QTest::qWait(400);
    QCOMPARE(meter_->RequestCount(), heard);
    QCOMPARE(Heard(*meter_, CmdSetRange), std::size_t{0});
}

void TestPolling::meterChangesRangeWhilePolling()
{
    StartMeter(4, 3, 2.5);
    Form().BitLoad->click();
    QTRY_COMPARE(CheckedIndex(Form()), 3);
    meter_->SetRange(6); // the 30 V range
    QTRY_COMPARE(CheckedIndex(Form()), 6);
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("2.500"));
    const std::size_t replies = meter_->ReplyCount();
    QTRY_VERIFY(meter_->ReplyCount() >= replies + 3);      // no gap in the polling
    QCOMPARE(Heard(*meter_, CmdSetRange), std::size_t{0}); // the reported range is not sent back
    QCOMPARE(PollState, std::uint8_t{3});
    QVERIFY(Locked(Form()));
}

void TestPolling::meterSwitchesAutomaticRanging()
{
    StartMeter(4, 7, 2.0);
    Form().BitLoad->click();
    QTRY_COMPARE(CheckedIndex(Form()), 7);
    meter_->SetAutoRange(true); // it moves to the smallest range holding 2.0 V: 3.0 V
    QTRY_VERIFY(Form().CheckBox1->isChecked());
    QTRY_COMPARE(Heard(*meter_, CmdAutoRangeOn), std::size_t{1}); // sent within that measurement
    QTRY_COMPARE(CheckedIndex(Form()), 1);
    QCOMPARE(Form().Edit1->text(), QStringLiteral("2.0000"));

    meter_->SetAutoRange(false);
    QTRY_VERIFY(!Form().CheckBox1->isChecked());
    QTRY_COMPARE(Heard(*meter_, CmdAutoRangeOff), std::size_t{1});
    const std::size_t replies = meter_->ReplyCount();
    QTRY_VERIFY(meter_->ReplyCount() >= replies + 3); // an unchanged flag sends nothing more
    QCOMPARE(Heard(*meter_, CmdAutoRangeOn), std::size_t{1});
    QCOMPARE(Heard(*meter_, CmdAutoRangeOff), std::size_t{1});
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestPolling::modelChosenWhilePolling()
{
    StartMeter(4, 1, 1.25);
    Form().BitLoad->click();
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("1.2500"));
    const std::size_t heard = meter_->RequestCount();
    rig_->ChooseModel(5); // the meter's range 1 is now read as 60 V: 3 decimals
    QCOMPARE(PollState, std::uint8_t{3});
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("1.250"));
    QVERIFY(meter_->RequestCount() > heard);
    QCOMPARE(Heard(*meter_, CmdSetRange), std::size_t{0});
}

void TestPolling::measurementShowsOnTheWindow_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("checked"); // range index, -1 for none
    QTest::addColumn<bool>("autoBox");
    QTest::addColumn<QString>("text");
    QTest::newRow("model 1, 0.1 A")
        << 1 << MeasurementReply(0, 0, 0.0523f) << 0 << false << QStringLiteral("0.05230");
    QTest::newRow("model 1, 1 A") << 1 << MeasurementReply(3, 1, -0.75f) << 3 << true
                                  << QStringLiteral("-0.7500");
    for (int r = 5; r <= 7; ++r) {
        QTest::addRow("model 2 reports %d: a hidden selector", r)
            << 2 << MeasurementReply(static_cast<std::uint8_t>(r), 0, 1.5f) << r << false
            << QStringLiteral("1.50000");
    }
    QTest::newRow("model 3, leftmost")
        << 3 << MeasurementReply(1, 0, 74.9996f) << 0 << false << QStringLiteral("75.000");
    QTest::newRow("model 3, 1500 mV")
        << 3 << MeasurementReply(7, 0, 1234.56f) << 6 << false << QStringLiteral("1234.6");
    QTest::newRow("model 3 reports 0: no selector")
        << 3 << MeasurementReply(0, 0, 12.5f) << -1 << false << QStringLiteral("12.500");
    QTest::newRow("model 3 reports 8: the hidden eighth")
        << 3 << MeasurementReply(8, 0, 12.5f) << 7 << false << QStringLiteral("12.50000");
    QTest::newRow("model 4 reports 200: no selector")
        << 4 << MeasurementReply(200, 0, 1.0f) << -1 << false << QStringLiteral("1.00000");
    QTest::newRow("auto flag 2 is off")
        << 4 << MeasurementReply(2, 2, 4.5f) << 2 << false << QStringLiteral("4.5000");
    QTest::newRow("2^128") << 5 << Sealed(QByteArray::fromHex("4101007F800000")) << 1 << false
                           << QStringLiteral("3.402824E38");
}

void TestPolling::measurementShowsOnTheWindow()
{
    QFETCH(int, model);
    QFETCH(QByteArray, reply);
    QFETCH(int, checked);
    QFETCH(bool, autoBox);
    QFETCH(QString, text);
    StartLine(model);
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(reply);
    QTRY_COMPARE(Form().Edit1->text(), text);
    QCOMPARE(CheckedIndex(Form()), checked);
    QCOMPARE(Form().CheckBox1->isChecked(), autoBox);
    QCOMPARE(PollState, std::uint8_t{3});
    QVERIFY(Form().interval->Enabled());
    if (checked >= 0) // a hidden checked selector shows no visible check
        QCOMPARE(Form().Selector(checked)->isVisible(), checked < Model(model).rangeCount);
    // The reported flag differs from the box only when it was switched on: the command follows.
    QCOMPARE(Request(), autoBox ? QByteArray::fromHex("023E81") : ReadValue);
}

void TestPolling::readDuringAPollPeriod()
{
    StartLine(4);
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(MeasurementReply(2, 0, 1.0f));
    QTRY_VERIFY(Form().interval->Enabled());

    // Read again inside the poll period, answered before the period ends: polling goes on.
    Form().BitLoad->click();
    QCOMPARE(PollState, std::uint8_t{1});
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(MeasurementReply(2, 0, 2.0f));
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("2.0000"));
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(MeasurementReply(2, 0, 3.0f));
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("3.0000"));

    // Read again, and the tick comes first: stage 1 goes out instead.
    QTRY_VERIFY(Form().interval->Enabled());
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    QCOMPARE(Request(), QByteArray::fromHex("423F71"));
    QCOMPARE(PollState, std::uint8_t{2});
    rig_->Line().Write(ShortReply(CmdStage1)); // code 0x42: handed on, ignored
    QTRY_VERIFY(!RequestIsPending());
    QCOMPARE(rig_->NextRequest(400ms), QByteArray()); // polling rests
    QCOMPARE(PollState, std::uint8_t{2});
    QVERIFY(Locked(Form()));
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestPolling::tickInStageTwo()
{
    StartLine(4);
    PollState = 2;
    Form().LockRangeControls(true);
    Form().interval->SetEnabled(true);
    QCOMPARE(Request(), QByteArray::fromHex("43FEB1"));
    QCOMPARE(PollState, std::uint8_t{3});
    QVERIFY(!Form().interval->Enabled());
}

void TestPolling::stopWithARequestOutstanding()
{
    StartLine(4);
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    Form().BitBtnStop->click();
    QVERIFY(!Locked(Form()));
    rig_->Line().Write(MeasurementReply(4, 0, 7.25f));
    QTest::qWait(250);
    QCOMPARE(Form().Edit1->text(), QString()); // not polling: taken by the timer, not at once
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("7.2500"));
    QCOMPARE(PollState, std::uint8_t{3});
    QCOMPARE(CheckedIndex(Form()), 4);
    QCOMPARE(rig_->NextRequest(400ms), QByteArray()); // the tick finds the controls unlocked
    QCOMPARE(PollState, std::uint8_t{3});
}

void TestPolling::stopWithNoReplyComing()
{
    StartLine(4);
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    Form().BitBtnStop->click();
    QTest::qWait(800);
    QVERIFY(VisibleMessageBoxes().isEmpty()); // Stop stopped the reply timer
    QVERIFY(RequestIsPending());
    Form().BitBtnStop->click(); // again: nothing changes
    QCOMPARE(PollState, std::uint8_t{0});
    QVERIFY(!Locked(Form()));
}

void TestPolling::selectorSendsTheRange_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("model 3 leftmost is number 1") << 3 << 0 << QByteArray::fromHex("0101C1E0");
    QTest::newRow("model 3 rightmost is number 7") << 3 << 6 << QByteArray::fromHex("010741E2");
    QTest::newRow("model 4 index 5") << 4 << 5 << QByteArray::fromHex("0105C023");
    QTest::newRow("model 1 index 0") << 1 << 0 << QByteArray::fromHex("01000020");
}

void TestPolling::selectorSendsTheRange()
{
    QFETCH(int, model);
    QFETCH(int, index);
    QFETCH(QByteArray, frame);
    StartLine(model);
    MouseOn(Form().Selector(index));
    QCOMPARE(Request(), frame);
    QCOMPARE(RangeEntered, std::uint8_t{0});
    // Clicking the checked one again sends nothing.
    rig_->Line().Write(ShortReply(CmdSetRange));
    MouseOn(Form().Selector(index));
    QCOMPARE(rig_->NextRequest(200ms), QByteArray());
}

void TestPolling::selectorAfterAnErrorEndsTheCycle()
{
    StartLine(4);
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(MeasurementReply(2, 0, 1.0f));
    QCOMPARE(Request(), ReadValue); // polling, state 3; this one stays unanswered
    QTRY_VERIFY(!VisibleMessageBoxes().isEmpty());
    CloseMessageBoxes();
    QTRY_VERIFY(!Locked(Form()));
    QCOMPARE(PollState, std::uint8_t{3});
    MouseOn(Form().Selector(6));
    QCOMPARE(PollState, std::uint8_t{0});
    QCOMPARE(Request(), QByteArray::fromHex("01068022"));
}

void TestPolling::arrowKeySendsTheNeighbour()
{
    StartLine(5);
    MouseOn(Form().Selector(3));
    QCOMPARE(Request(), QByteArray::fromHex("01034021"));
    rig_->Line().Write(ShortReply(CmdSetRange));
    QTest::keyClick(Form().Selector(3), Qt::Key_Right);
    QCOMPARE(CheckedIndex(Form()), 4);
    QCOMPARE(Request(), QByteArray::fromHex("010401E3"));
}

void TestPolling::boxBeforeAnyModel()
{
    StartLine(0);
    QVERIFY(!Form().BitLoad->isEnabled());
    Form().CheckBox1->click();
    QCOMPARE(Request(), QByteArray::fromHex("023E81"));
    Form().CheckBox1->click();
    QCOMPARE(Request(), QByteArray::fromHex("03FF41"));
}

void TestPolling::rangeEnteredLeftSetBeforeRead()
{
    StartLine(4);
    MouseOn(Form().Selector(2));
    QCOMPARE(Request(), QByteArray::fromHex("010281E1"));
    rig_->Line().Write(ShortReply(CmdSetRange));
    // The operator tabs onto the checked selector, then presses Read.
    Form().Edit2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Form().Edit2, Qt::Key_Tab);
    QCOMPARE(RangeEntered, std::uint8_t{1});
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(MeasurementReply(5, 0, 10.0f));    // another range than the checked one
    QCOMPARE(Request(), QByteArray::fromHex("0105C023")); // sent back, once
    QCOMPARE(RangeEntered, std::uint8_t{0});
    QCOMPARE(CheckedIndex(Form()), 5);
}

void TestPolling::russianSeparator()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    StartLine(4);
    Form().BitLoad->click();
    QCOMPARE(Request(), ReadValue);
    rig_->Line().Write(MeasurementReply(3, 0, -0.75f));
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("-0,7500"));
}

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"
