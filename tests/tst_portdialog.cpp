// The port settings dialog: what it shows when opened, and each choice going to the port at once,
// with two virtual meters on COM1 and COM2.

#include "link/worker.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "tests/support/boxes.h"
#include "tests/support/pty.h"
#include "tests/support/windowrig.h"
#include "tools/virtual-meter/virtual_meter.h"
#include "window/Unit2.h"
#include "window/ert.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

std::unique_ptr<vmeter::VirtualMeter> StartMeter(double value)
{
    vmeter::Options options;
    options.model = 4;
    options.range = 2;
    options.value = value;
    auto meter = std::make_unique<vmeter::VirtualMeter>(options);
    return meter->Start() ? std::move(meter) : nullptr;
}

// The operator picks the entry next to the current one with the keyboard.
void Pick(QComboBox* box, Qt::Key key)
{
    box->setFocus();
    QTest::keyClick(box, key);
}

} // namespace

class TestPortDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void layout();
    void showsThePortComponentsSettings();
    void choosingAPortSendsTheNextCommandThere();
    void choosingASpeedSwitchesTheOpenLine();
    void openingAndClosingChangesNothing();
    void theEntryAlreadySelectedChangesNothing();
    void portChangedWhilePollingToASilentPort();
    void portThatDoesNotExist();
    void portHeldByAnotherProgram();

private:
    TForm1& Form() { return rig_->Main(); }
    // Opens the dialog from the menu, runs `whileOpen` inside it and closes it by its close box.
    void WithDialog(const std::function<void()>& whileOpen);
    QStringList Shown();

    std::unique_ptr<vmeter::VirtualMeter> com1_;
    std::unique_ptr<vmeter::VirtualMeter> com2_;
    std::unique_ptr<WindowRig> rig_;
};

void TestPortDialog::init()
{
    com1_ = StartMeter(1.0);
    com2_ = StartMeter(2.0);
    QVERIFY(com1_ && com2_);
    qputenv("ORVANTA_COM2", com2_->Path().c_str());
    rig_ = std::make_unique<WindowRig>(QString::fromStdString(com1_->Path()));
    rig_->ChooseModel(4);
}

void TestPortDialog::cleanup()
{
    rig_.reset();
    com1_.reset();
    com2_.reset();
    qunsetenv("ORVANTA_COM3");
}

void TestPortDialog::WithDialog(const std::function<void()>& whileOpen)
{
    bool ran = false;
    QTimer::singleShot(0, Form2, [&] {
        if (QTest::qWaitForWindowExposed(Form2) && Form2->isModal())
            whileOpen();
        ran = true;
        Form2->close();
    });
    Form().COMport1->trigger(); // returns when the dialog has been closed
    QVERIFY(ran);
    QVERIFY(!Form2->isVisible());
}

QStringList TestPortDialog::Shown()
{
    QStringList shown;
    WithDialog(
        [&] { shown << Form2->ComboBox1->currentText() << Form2->ComboBox2->currentText(); });
    return shown;
}

void TestPortDialog::layout()
{
    TForm2& d = rig_->Dialog();
    QVERIFY(!d.isVisible()); // made at start, hidden
    QCOMPARE(d.windowTitle(), QStringLiteral("Настройка"));
    QCOMPARE(d.pos(), QPoint(348, 314));
    QCOMPARE(d.Label1->text(), QStringLiteral("Порт"));
    QCOMPARE(d.Label1->pos(), QPoint(16, 24));
    QCOMPARE(d.Label1->font().pixelSize(), 13);
    QCOMPARE(d.ComboBox1->geometry().topLeft(), QPoint(72, 24));
    QCOMPARE(d.ComboBox1->width(), 73);
    QCOMPARE(d.ComboBox2->geometry().topLeft(), QPoint(160, 24));
    QCOMPARE(d.ComboBox2->width(), 73);
    QStringList ports, speeds;
    for (int i = 0; i < d.ComboBox1->count(); ++i)
        ports << d.ComboBox1->itemText(i);
    for (int i = 0; i < d.ComboBox2->count(); ++i)
        speeds << d.ComboBox2->itemText(i);
    QCOMPARE(ports, (QStringList{QStringLiteral("COM1"), QStringLiteral("COM2"),
                                 QStringLiteral("COM3"), QStringLiteral("COM4")}));
    QCOMPARE(speeds, (QStringList{QStringLiteral("4800"), QStringLiteral("9600")}));
    QVERIFY(!d.ComboBox1->isEditable()); // a list to choose from: nothing can be typed
    QVERIFY(!d.ComboBox2->isEditable());
    QCOMPARE(d.ComboBox1->nextInFocusChain(), static_cast<QWidget*>(d.ComboBox2));
    QVERIFY(d.findChildren<QPushButton*>().isEmpty()); // no OK, no Cancel
}

void TestPortDialog::showsThePortComponentsSettings()
{
    QCOMPARE(Shown(), (QStringList{QStringLiteral("COM1"), QStringLiteral("9600")}));
    Form().ComPort->SetComNumber(4);
    Form().ComPort->SetBaud(4800);
    QCOMPARE(Shown(), (QStringList{QStringLiteral("COM4"), QStringLiteral("4800")}));
}

void TestPortDialog::choosingAPortSendsTheNextCommandThere()
{
    WithDialog([&] { Pick(Form2->ComboBox1, Qt::Key_Down); });
    QCOMPARE(Form().ComPort->ComNumber(), std::uint16_t{2});
    Form().BitLoad->click();
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("2.0000"));
    QCOMPARE(com1_->RequestCount(), std::size_t{0});
    QCOMPARE(Shown(), (QStringList{QStringLiteral("COM2"), QStringLiteral("9600")}));
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestPortDialog::choosingASpeedSwitchesTheOpenLine()
{
    Form().CheckBox1->click(); // opens the port
    QVERIFY(Form().ComPort->IsOpen());
    // Its reply is taken first: left waiting, it would pass for the answer to the next request.
    QTRY_VERIFY(!RequestIsPending());
    QCOMPARE(com1_->LineBaud(), 9600);
    int seenInside = 0;
    WithDialog([&] {
        Pick(Form2->ComboBox2, Qt::Key_Up);
        seenInside = com1_->LineBaud(); // at once, with the dialog still up
    });
    QCOMPARE(seenInside, 4800);
    QCOMPARE(Form().ComPort->Baud(), 4800);
    QVERIFY(Form().ComPort->IsOpen());
    QCOMPARE(Shown(), (QStringList{QStringLiteral("COM1"), QStringLiteral("4800")}));

    // The meter runs at 9600 and now hears garbage: no answer.
    Form().BitLoad->click();
    QTRY_VERIFY_WITH_TIMEOUT(!VisibleMessageBoxes().isEmpty(), 3000);
    QCOMPARE(VisibleMessageBoxes().front()->text(), QStringLiteral("Нет ответа от прибора! "));
}

void TestPortDialog::openingAndClosingChangesNothing()
{
    Form().CheckBox1->click();
    QVERIFY(Form().ComPort->IsOpen());
    WithDialog([] {});
    QCOMPARE(Form().ComPort->ComNumber(), std::uint16_t{1});
    QCOMPARE(Form().ComPort->Baud(), 9600);
    QVERIFY(Form().ComPort->IsOpen());
    QCOMPARE(Worker != nullptr, true); // coming back activates the window: no second worker
}

void TestPortDialog::theEntryAlreadySelectedChangesNothing()
{
    Form().CheckBox1->click(); // opens the port, the meter answers
    QTRY_VERIFY(!RequestIsPending());
    com1_->SendRaw({0x55, 0xAA}); // bytes waiting: a reopening would drop them
    QTRY_COMPARE(Form().ComPort->InBuffUsed(), std::uint16_t{2});
    WithDialog([] {
        Q_EMIT Form2->ComboBox1->activated(Form2->ComboBox1->currentIndex());
        Q_EMIT Form2->ComboBox2->activated(Form2->ComboBox2->currentIndex());
    });
    QVERIFY(Form().ComPort->IsOpen());
    QCOMPARE(Form().ComPort->InBuffUsed(), std::uint16_t{2});
    QCOMPARE(Form().ComPort->ComNumber(), std::uint16_t{1});
}

void TestPortDialog::portChangedWhilePollingToASilentPort()
{
    PtyPeer silent;
    qputenv("ORVANTA_COM3", silent.SlavePath().toLocal8Bit());
    Form().BitLoad->click();
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("1.0000"));
    WithDialog([&] {
        Pick(Form2->ComboBox1, Qt::Key_Down);
        Pick(Form2->ComboBox1, Qt::Key_Down);
    });
    QCOMPARE(Form().ComPort->ComNumber(), std::uint16_t{3});
    QTRY_VERIFY_WITH_TIMEOUT(!VisibleMessageBoxes().isEmpty(), 3000);
    QCOMPARE(VisibleMessageBoxes().front()->text(), QStringLiteral("Нет ответа от прибора! "));
    CloseMessageBoxes();
    QTRY_VERIFY(Form().RadioButton5->isEnabled()); // unlocked: polling has stopped
    const QByteArray asked = silent.ReadAvailable();
    QVERIFY(asked.isEmpty() || asked.endsWith(QByteArray::fromHex("417F70")));
    QCOMPARE(silent.Read(1, 400ms), QByteArray());
}

void TestPortDialog::portThatDoesNotExist()
{
    qputenv("ORVANTA_COM3", "/dev/orvanta-no-such-port");
    Form().BitLoad->click();
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("1.0000"));
    com1_->SetReplyDelay(450ms); // so that the change falls on a pending request
    QString errorText;
    bool dialogStayedOpen = false;
    WithDialog([&] {
        const std::size_t heard = com1_->RequestCount();
        if (!QTest::qWaitFor([&] { return com1_->RequestCount() > heard; }, 2000))
            return;
        Pick(Form2->ComboBox1, Qt::Key_Down);
        Pick(Form2->ComboBox1, Qt::Key_Down);
        if (QTest::qWaitFor([] { return !VisibleMessageBoxes().isEmpty(); }, 2000)) {
            errorText = VisibleMessageBoxes().front()->text();
            dialogStayedOpen = Form2->isVisible();
        }
        CloseMessageBoxes();
    });
    QCOMPARE(errorText, QStringLiteral("ie_BadId - Specified comport doesn't exist."));
    QVERIFY(dialogStayedOpen);
    QVERIFY(!Form().ComPort->IsOpen());
    QCOMPARE(Form().ComPort->ComNumber(), std::uint16_t{3}); // stays in effect

    // The pending request meets a closed port: no answer, and nothing else breaks.
    QTRY_VERIFY_WITH_TIMEOUT(!VisibleMessageBoxes().isEmpty(), 3000);
    QCOMPARE(VisibleMessageBoxes().front()->text(), QStringLiteral("Нет ответа от прибора! "));
    CloseMessageBoxes();
    QTRY_VERIFY(Form().RadioButton5->isEnabled());

    // The next command tries that port again.
    Form().CheckBox1->click();
    QTRY_VERIFY(!VisibleMessageBoxes().isEmpty());
    QCOMPARE(VisibleMessageBoxes().front()->text(),
             QStringLiteral("ie_BadId - Specified comport doesn't exist."));
}

void TestPortDialog::portHeldByAnotherProgram()
{
    Form().CheckBox1->click(); // opens COM1
    QSerialPort holder(QString::fromStdString(com2_->Path()));
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QString errorText;
    WithDialog([&] {
        Pick(Form2->ComboBox1, Qt::Key_Down);
        if (QTest::qWaitFor([] { return !VisibleMessageBoxes().isEmpty(); }, 2000))
            errorText = VisibleMessageBoxes().front()->text();
        CloseMessageBoxes();
    });
    QCOMPARE(errorText, QStringLiteral("ie_Open - device already open."));
    QVERIFY(!Form().ComPort->IsOpen());
    holder.close();
    Form().BitLoad->click(); // the next command opens COM2 now that it is free
    QTRY_COMPARE(Form().Edit1->text(), QStringLiteral("2.0000"));
}

QTEST_MAIN(TestPortDialog)
#include "tst_portdialog.moc"
