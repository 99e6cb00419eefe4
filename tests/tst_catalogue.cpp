// The catalogue of models: full scales, decimals classes and the range numbering.

#include "window/catalogue.h"

#include <QtTest>

class TestCatalogue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scaleDigits_data();
    void scaleDigits();
    void decimalsOfEveryShownRange();
    void fullScaleOutsideTheTable();
};

void TestCatalogue::scaleDigits_data()
{
    QTest::addColumn<double>("fullScale");
    QTest::addColumn<int>("scaleClass");
    QTest::newRow("0.0") << 0.0 << 0;
    QTest::newRow("negative") << -5.0 << 0;
    QTest::newRow("0.999") << 0.999 << 0;
    QTest::newRow("1.0") << 1.0 << 1;
    QTest::newRow("9.999") << 9.999 << 1;
    QTest::newRow("10.0") << 10.0 << 2;
    QTest::newRow("100.0") << 100.0 << 3;
    QTest::newRow("999.999") << 999.999 << 3;
    QTest::newRow("1000.0") << 1000.0 << 4;
    QTest::newRow("1e30") << 1e30 << 4;
}

void TestCatalogue::scaleDigits()
{
    QFETCH(double, fullScale);
    QFETCH(int, scaleClass);
    QCOMPARE(int{ScaleDigits(fullScale)}, scaleClass);
}

void TestCatalogue::decimalsOfEveryShownRange()
{
    // Decimals by model and range index, as the window shows them.
    const int decimals[ModelCount][RangeSlots] = {{5, 5, 5, 4, 4},
                                                  {4, 4, 3, 3, 3},
                                                  {3, 2, 2, 2, 2, 2, 1},
                                                  {4, 4, 4, 4, 4, 3, 3, 3},
                                                  {3, 3, 3, 2, 2, 2, 2, 2}};
    const int counts[ModelCount] = {5, 5, 7, 8, 8};
    for (std::uint8_t model = 1; model <= ModelCount; ++model) {
        const ModelInfo& info = Model(model);
        QCOMPARE(info.rangeCount, counts[model - 1]);
        QCOMPARE(int{info.rangeOffset}, model == 3 ? 1 : 0);
        for (int index = 0; index < info.rangeCount; ++index) {
            const auto number = static_cast<std::uint8_t>(index + info.rangeOffset);
            QCOMPARE(5 - ScaleDigits(FullScale(model, number)), decimals[model - 1][index]);
            QVERIFY(info.labels[index] != nullptr);
        }
    }
    QCOMPARE(5 - ScaleDigits(FullScale(3, 0)), 3); // model 3's number 0: 75 mV, no selector
    QCOMPARE(5 - ScaleDigits(FullScale(1, 7)), 5); // empty entries of the current meters
}

void TestCatalogue::fullScaleOutsideTheTable()
{
    QCOMPARE(FullScale(3, 8), 0.0);
    QCOMPARE(FullScale(4, 255), 0.0);
    QCOMPARE(FullScale(0, 0), 0.0);
    QCOMPARE(FullScale(6, 0), 0.0);
}

QTEST_APPLESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
