// The main window: its controls, menu and pictures at start, the first activation, and closing
// it in every state of the exchange.

#include "link/worker.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "platform/timer.h"
#include "tests/support/boxes.h"
#include "tests/support/frames.h"
#include "tests/support/windowrig.h"
#include "window/Unit2.h"
#include "window/ert.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>
#include <QtTest>

using namespace std::chrono_literals;

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { rig_ = std::make_unique<WindowRig>(); }
    void cleanup() { rig_.reset(); }

    void geometry_data();
    void geometry();
    void initialState();
    void menu();
    void tabOrder();
    void firstActivationOnly();
    void versionEntryChangesNothing();
    void closingInEveryState_data();
    void closingInEveryState();
    void quittingWithTheDialogOpen();

private:
    TForm1& Form() { return rig_->Main(); }
    std::unique_ptr<WindowRig> rig_;
};

void TestMainWindow::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("rect");
    QTest::newRow("Edit1") << QStringLiteral("Edit1") << QRect(56, 8, 217, 81);
    QTest::newRow("Edit2") << QStringLiteral("Edit2") << QRect(280, 8, 97, 81);
    QTest::newRow("GroupBox2") << QStringLiteral("GroupBox2") << QRect(56, 104, 441, 57);
    QTest::newRow("CheckBox1") << QStringLiteral("CheckBox1") << QRect(408, 32, 25, 17);
    QTest::newRow("BitLoad") << QStringLiteral("BitLoad") << QRect(136, 176, 137, 25);
    QTest::newRow("BitBtnStop") << QStringLiteral("BitBtnStop") << QRect(288, 176, 65, 25);
    for (int k = 0; k < 8; ++k) {
        QTest::addRow("RadioButton%d", k + 4)
            << QStringLiteral("RadioButton%1").arg(k + 4) << QRect(16 + 48 * k, 32, 17, 17);
        QTest::addRow("Label%d", k + 1)
            << QStringLiteral("Label%1").arg(k + 1) << QRect(8 + 48 * k, 16, -1, -1);
    }
    QTest::newRow("Label9") << QStringLiteral("Label9") << QRect(408, 16, -1, -1);
}

void TestMainWindow::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, rect);
    auto* widget = Form().findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->pos(), rect.topLeft());
    if (rect.width() > 0)
        QCOMPARE(widget->size(), rect.size());
    else
        QCOMPARE(widget->size(), widget->sizeHint()); // labels are sized to their text
    const bool inGroup = name.startsWith(QLatin1String("Label")) ||
                         name.startsWith(QLatin1String("Radio")) ||
                         name == QLatin1String("CheckBox1");
    QCOMPARE(widget->parentWidget(),
             inGroup ? static_cast<QWidget*>(Form().GroupBox2) : Form().Client());
}

void TestMainWindow::initialState()
{
    TForm1& f = Form();
    QCOMPARE(f.windowTitle(), QStringLiteral("Orvanta"));
    QVERIFY(!f.windowIcon().isNull());
    QCOMPARE(f.windowIcon().availableSizes().value(0), QSize(32, 32));
    QCOMPARE(f.font().pixelSize(), 11);
    QCOMPARE(f.pos(), QPoint(270, 233));

    for (QLineEdit* edit : {f.Edit1, f.Edit2}) {
        QVERIFY(edit->text().isEmpty());
        QVERIFY(edit->isReadOnly());
        QVERIFY(edit->isVisible());
        QCOMPARE(edit->font().pixelSize(), 64);
        QCOMPARE(edit->font().styleHint(), QFont::Serif);
    }
    QCOMPARE(f.GroupBox2->title(), QStringLiteral("Предел"));
    for (int k = 0; k < 8; ++k) {
        QCOMPARE(f.RangeLabel(k)->text(), QStringLiteral("0.075В"));
        QVERIFY(!f.RangeLabel(k)->isVisible());
        QVERIFY(!f.Selector(k)->isVisible());
        QVERIFY(f.Selector(k)->isEnabled());
        QVERIFY(!f.Selector(k)->isChecked());
        QVERIFY(f.Selector(k)->text().isEmpty());
    }
    QCOMPARE(f.Label9->text(), QStringLiteral("Авт"));
    QVERIFY(f.Label9->isVisible());
    QVERIFY(f.CheckBox1->isVisible() && f.CheckBox1->isEnabled() && !f.CheckBox1->isChecked());
    QVERIFY(f.CheckBox1->text().isEmpty());
    QCOMPARE(f.BitLoad->text(), QStringLiteral("Чтение показаний"));
    QVERIFY(!f.BitLoad->isEnabled());
    QVERIFY(!f.BitLoad->icon().isNull());
    QCOMPARE(f.BitBtnStop->text(), QStringLiteral("Стоп"));
    QVERIFY(f.BitBtnStop->isEnabled());
    QVERIFY(!f.BitBtnStop->icon().isNull());
    // A disabled button shows its picture greyed.
    const QImage normal = f.BitLoad->icon().pixmap(16, QIcon::Normal).toImage();
    const QImage greyed = f.BitLoad->icon().pixmap(16, QIcon::Disabled).toImage();
    QVERIFY(normal != greyed);

    QCOMPARE(f.interval->Interval(), 100ms);
    QCOMPARE(f.timeout->Interval(), 500ms);
    QVERIFY(!f.interval->Enabled());
    QVERIFY(!f.timeout->Enabled());
    QCOMPARE(f.ComPort->ComNumber(), std::uint16_t{1});
    QCOMPARE(f.ComPort->Baud(), 9600);
    QVERIFY(!f.ComPort->IsOpen()); // opened by the first command

    QVERIFY(Worker);
    QCOMPARE(PollState, std::uint8_t{0});
    QCOMPARE(CurrentModel, std::uint8_t{2});
    for (const char* name : {"ComPort", "interval", "timeout", "MainMenu"})
        QVERIFY2(f.findChild<QObject*>(QLatin1String(name)), name);
}

void TestMainWindow::menu()
{
    auto* bar = Form().findChild<QMenuBar*>(QStringLiteral("MainMenu"));
    QVERIFY(bar);
    const QList<QAction*> top = bar->actions();
    QCOMPARE(top.size(), 3);
    const QStringList names{QStringLiteral("D1"), QStringLiteral("N2"), QStringLiteral("N1")};
    const QStringList titles{QStringLiteral("Выбор прибора"), QStringLiteral("Настройка"),
                             QStringLiteral("?")};
    const QList<QStringList> entries{
        {QStringLiteral("ModelItem1:MK-21/1"), QStringLiteral("ModelItem2:MK-21/2"),
         QStringLiteral("ModelItem3:MK-23/1"), QStringLiteral("ModelItem4:MK-23/2"),
         QStringLiteral("ModelItem5:MK-23/3")},
        {QStringLiteral("COMport1:Порт")},
        {QStringLiteral("Version101:Version 1.1")}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(top[i]->objectName(), names[i]);
        QCOMPARE(top[i]->text(), titles[i]);
        QStringList seen;
        for (QAction* item : top[i]->menu()->actions()) {
            seen << item->objectName() + QLatin1Char(':') + item->text();
            QVERIFY(item->isEnabled());
            QVERIFY(item->shortcut().isEmpty());
        }
        QCOMPARE(seen, entries[i]);
    }
}

void TestMainWindow::tabOrder()
{
    TForm1& f = Form();
    const QList<QWidget*> expected{f.BitLoad,      f.Edit1,         f.Edit2,         f.RadioButton4,
                                   f.RadioButton5, f.RadioButton6,  f.RadioButton7,  f.RadioButton8,
                                   f.RadioButton9, f.RadioButton10, f.RadioButton11, f.CheckBox1,
                                   f.BitBtnStop};
    QList<QWidget*> chain;
    QWidget* w = f.BitLoad;
    do {
        if (expected.contains(w))
            chain << w;
        w = w->nextInFocusChain();
    } while (w != f.BitLoad);
    QCOMPARE(chain, expected);

    // With a model chosen and nothing checked, Tab passes over the selectors.
    rig_->ChooseModel(4);
    f.Edit2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(f.Edit2, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.CheckBox1));
    QCOMPARE(RangeEntered, std::uint8_t{0});
}

void TestMainWindow::firstActivationOnly()
{
    thr* const worker = Worker;
    rig_->ChooseModel(5);
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(&Form(), &activate);
    QCOMPARE(Worker, worker);
    QCOMPARE(CurrentModel, std::uint8_t{5}); // not reset to 2
}

void TestMainWindow::versionEntryChangesNothing()
{
    TForm1& f = Form();
    const auto snapshot = [&f] {
        QStringList s{f.windowTitle(), f.Edit1->text(), f.Edit2->text()};
        for (QWidget* w : f.Client()->findChildren<QWidget*>())
            s << w->objectName() + QString::number(w->isVisible()) +
                     QString::number(w->isEnabled());
        return s << QString::number(PollState) << QString::number(CurrentModel);
    };
    const QStringList before = snapshot();
    f.Version101->trigger();
    QCOMPARE(snapshot(), before);
    QVERIFY(!f.ComPort->IsOpen());
    QVERIFY(VisibleMessageBoxes().isEmpty());
}

void TestMainWindow::closingInEveryState_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("idle") << QStringLiteral("idle");
    QTest::newRow("request pending") << QStringLiteral("pending");
    QTest::newRow("polling") << QStringLiteral("polling");
    QTest::newRow("message box up") << QStringLiteral("box");
}

void TestMainWindow::closingInEveryState()
{
    QFETCH(QString, state);
    rig_->ChooseModel(4);
    if (state != QLatin1String("idle")) {
        Form().BitLoad->click();
        QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("417F70"));
    }
    if (state == QLatin1String("polling")) {
        rig_->Line().Write(MeasurementReply(2, 0, 1.5f));
        QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("417F70"));
        rig_->Line().Write(MeasurementReply(2, 0, 1.5f).left(4)); // mid-reply
    }
    if (state == QLatin1String("box"))
        QTRY_COMPARE(VisibleMessageBoxes().size(), 1); // the pass waits for it to be closed

    const QString device = rig_->Line().SlavePath();
    QElapsedTimer clock;
    clock.start();
    rig_->Close();
    qInfo("closed in %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() < 5000); // a guard against a hang, not a speed goal
    QVERIFY(!Worker);
    QVERIFY(VisibleMessageBoxes().isEmpty());
    QSerialPort again(device); // the port has been released
    QVERIFY(again.open(QIODevice::ReadWrite));
}

void TestMainWindow::quittingWithTheDialogOpen()
{
    // The program's own message loop, as in main(): the dialog runs a loop of its own inside it.
    rig_->ChooseModel(4);
    Form().BitLoad->click(); // a request pending as well
    QCOMPARE(rig_->NextRequest(), QByteArray::fromHex("417F70"));
    bool dialogWasUp = false;
    bool hung = false;
    QTimer::singleShot(0, &Form(), [this] { Form().COMport1->trigger(); });
    QTimer::singleShot(100, &Form(), [&] {
        dialogWasUp = QApplication::activeModalWidget() == static_cast<QWidget*>(&rig_->Dialog());
        Form().close(); // the main window's close box ends the program
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [&hung] {
        hung = true;
        QCoreApplication::exit(1);
    });
    watchdog.start(5000);
    const int result = QCoreApplication::exec();
    QVERIFY(!hung);
    QCOMPARE(result, 0);
    QVERIFY(dialogWasUp);
    QVERIFY(!rig_->Dialog().isVisible());
    rig_->Close();
    QVERIFY(!Worker);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
