// Choosing a model from the menu dresses the window for it.

#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "tests/support/windowrig.h"
#include "window/ert.h"
#include <QCheckBox>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

struct Look
{
    QString caption;
    QString unit;
    QStringList labels; // of the shown ranges
};

QStringList ShownLabels(TForm1& f)
{
    QStringList texts;
    for (int k = 0; k < 8; ++k) {
        if (f.RangeLabel(k)->isVisible() != f.Selector(k)->isVisible())
            return {QStringLiteral("label and selector %1 disagree").arg(k)};
        if (f.RangeLabel(k)->isVisible())
            texts << f.RangeLabel(k)->text();
    }
    return texts;
}

} // namespace

class TestModelSelection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { rig_ = std::make_unique<WindowRig>(); }
    void cleanup() { rig_.reset(); }

    void dressesTheWindow_data();
    void dressesTheWindow();
    void fromFourToThree();
    void fromFiveToOneKeepsAHiddenCheck();
    void changesNothingElse();

private:
    TForm1& Form() { return rig_->Main(); }
    std::unique_ptr<WindowRig> rig_;
};

void TestModelSelection::dressesTheWindow_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("1") << 1 << QStringLiteral("MK-21/1") << QStringLiteral("А")
                       << QStringList{QStringLiteral(" 0.1A"), QStringLiteral(" 0.25A"),
                                      QStringLiteral(" 0.5A"), QStringLiteral("  1A"),
                                      QStringLiteral(" 2.5A")};
    QTest::newRow("2") << 2 << QStringLiteral("MK-21/2") << QStringLiteral("А")
                       << QStringList{QStringLiteral(" 2.5A"), QStringLiteral("  5A"),
                                      QStringLiteral("  10A"), QStringLiteral("  20A"),
                                      QStringLiteral("  50A")};
    QTest::newRow("3") << 3 << QStringLiteral("MK-23/1") << QStringLiteral("мВ")
                       << QStringList{QStringLiteral("0.075V"), QStringLiteral(" 0.15V"),
                                      QStringLiteral(" 0.3V"),  QStringLiteral(" 0.45V"),
                                      QStringLiteral(" 0.6V"),  QStringLiteral(" 0.75V"),
                                      QStringLiteral(" 1.5V")};
    QTest::newRow("4") << 4 << QStringLiteral("MK-23/2") << QStringLiteral("В")
                       << QStringList{QStringLiteral(" 1.5V"), QStringLiteral(" 3.0V"),
                                      QStringLiteral(" 4.5V"), QStringLiteral(" 6.0V"),
                                      QStringLiteral(" 7.5V"), QStringLiteral(" 15V"),
                                      QStringLiteral(" 30V"),  QStringLiteral(" 45V")};
    QTest::newRow("5") << 5 << QStringLiteral("MK-23/3") << QStringLiteral("В")
                       << QStringList{QStringLiteral(" 45V"),  QStringLiteral(" 60V"),
                                      QStringLiteral(" 75V"),  QStringLiteral(" 150V"),
                                      QStringLiteral(" 300V"), QStringLiteral(" 450V"),
                                      QStringLiteral(" 600V"), QStringLiteral(" 750V")};
}

void TestModelSelection::dressesTheWindow()
{
    QFETCH(int, model);
    QFETCH(QString, caption);
    QFETCH(QString, unit);
    QFETCH(QStringList, labels);
    for (int twice = 0; twice < 2; ++twice) { // the same model again gives the same window
        rig_->ChooseModel(model);
        QCOMPARE(CurrentModel, static_cast<std::uint8_t>(model));
        QCOMPARE(Form().windowTitle(), caption);
        QCOMPARE(Form().Edit2->text(), unit);
        QCOMPARE(ShownLabels(Form()), labels);
        QVERIFY(Form().BitLoad->isEnabled());
    }
    // The unit texts are Cyrillic, the labels' letters Latin.
    QVERIFY(unit.back().unicode() == 0x0410 || unit.back().unicode() == 0x0412);
    QVERIFY(labels.front().back() == QLatin1Char('A') || labels.front().back() == QLatin1Char('V'));
}

void TestModelSelection::fromFourToThree()
{
    rig_->ChooseModel(4);
    rig_->ChooseModel(3);
    QVERIFY(!Form().Label8->isVisible());
    QVERIFY(!Form().RadioButton11->isVisible());
    QVERIFY(Form().Label6->isVisible() && Form().Label7->isVisible());
    QVERIFY(Form().RadioButton9->isVisible() && Form().RadioButton10->isVisible());
    QCOMPARE(Form().Edit2->text(), QStringLiteral("мВ"));
    QCOMPARE(Form().Label1->text(), QStringLiteral("0.075V"));
    QCOMPARE(Form().Label7->text(), QStringLiteral(" 1.5V"));
    QCOMPARE(Form().Label8->text(), QStringLiteral(" 45V")); // hidden, keeps its caption
}

void TestModelSelection::fromFiveToOneKeepsAHiddenCheck()
{
    rig_->ChooseModel(5);
    Form().RadioButton10->setChecked(true);
    rig_->ChooseModel(1);
    for (QWidget* w :
         {static_cast<QWidget*>(Form().Label6), static_cast<QWidget*>(Form().Label7),
          static_cast<QWidget*>(Form().Label8), static_cast<QWidget*>(Form().RadioButton9),
          static_cast<QWidget*>(Form().RadioButton10), static_cast<QWidget*>(Form().RadioButton11)})
        QVERIFY(!w->isVisible());
    QCOMPARE(Form().Edit2->text(), QStringLiteral("А"));
    QVERIFY(Form().RadioButton10->isChecked()); // hidden, still checked: no visible check
    for (int k = 0; k < 5; ++k)
        QVERIFY(!Form().Selector(k)->isChecked());
}

void TestModelSelection::changesNothingElse()
{
    Form().Edit1->setText(QStringLiteral("1.0"));
    Form().CheckBox1->setChecked(false);
    rig_->ChooseModel(2);
    rig_->ChooseModel(3);
    QCOMPARE(Form().Edit1->text(), QStringLiteral("1.0"));
    QCOMPARE(PollState, std::uint8_t{0});
    QVERIFY(!Form().ComPort->IsOpen()); // nothing was sent
    QCOMPARE(RangeEntered, std::uint8_t{0});
}

QTEST_MAIN(TestModelSelection)
#include "tst_modelselection.moc"
