// The value display: decimals, rounding, the exponent form and the separator.

#include "window/display.h"

#include <QtTest>

#include <cmath>

class TestDisplay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void format_data();
    void format();
    void separatorIsTheOneGiven();
};

void TestDisplay::format_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    const double two128 = std::ldexp(1.0, 128);

    // Readings on the catalogue's ranges.
    QTest::newRow("0.25 A range") << 0.24999 << 5 << QStringLiteral("0.24999");
    QTest::newRow("7.5 V range") << 7.4999 << 4 << QStringLiteral("7.4999");
    QTest::newRow("1500 mV range") << 1499.9 << 1 << QStringLiteral("1499.9");
    QTest::newRow("0.1 A range") << 0.0523 << 5 << QStringLiteral("0.05230");
    QTest::newRow("1 A range, negative") << -0.75 << 4 << QStringLiteral("-0.7500");
    QTest::newRow("75 V range rounds up") << 74.9996 << 3 << QStringLiteral("75.000");
    QTest::newRow("1500 mV range rounds") << 1234.56 << 1 << QStringLiteral("1234.6");

    // Zero and values that round to it: no minus sign.
    for (int d = 1; d <= 5; ++d)
        QTest::addRow("zero, %d decimals", d)
            << 0.0 << d << QStringLiteral("0.") + QString(d, QLatin1Char('0'));
    QTest::newRow("negative zero") << -0.0 << 2 << QStringLiteral("0.00");
    QTest::newRow("below the last place") << -0.000001 << 5 << QStringLiteral("0.00000");
    QTest::newRow("far below") << 1e-30 << 3 << QStringLiteral("0.000");
    QTest::newRow("exponent 0 field") << std::ldexp(1.0, -127) << 5 << QStringLiteral("0.00000");
    QTest::newRow("half of the last place rounds up") << 0.000006 << 5 << QStringLiteral("0.00001");
    QTest::newRow("and keeps its sign") << -0.000006 << 5 << QStringLiteral("-0.00001");

    // Halves away from zero, on the 18-digit decimal form.
    QTest::newRow("0.125, 2 decimals") << 0.125 << 2 << QStringLiteral("0.13");
    QTest::newRow("-0.125, 2 decimals") << -0.125 << 2 << QStringLiteral("-0.13");
    QTest::newRow("2.5, 1 decimal stays") << 2.5 << 1 << QStringLiteral("2.5");

    // Carries.
    QTest::newRow("999.96, 1 decimal") << 999.96 << 1 << QStringLiteral("1000.0");
    QTest::newRow("9.99999, 4 decimals") << 9.99999 << 4 << QStringLiteral("10.0000");
    QTest::newRow("0.099999, 5 decimals") << 0.099999 << 5 << QStringLiteral("0.10000");

    // At most 7 significant digits; further places show 0.
    QTest::newRow("12345.678, 3 decimals") << 12345.678 << 3 << QStringLiteral("12345.680");
    QTest::newRow("1234567.8, 5 decimals") << 1234567.8 << 5 << QStringLiteral("1234568.00000");
    QTest::newRow("9999999.4, 1 decimal") << 9999999.4 << 1 << QStringLiteral("9999999.0");

    // The exponent form from 10 000 000 up.
    QTest::newRow("9999999.5 carries into it") << 9999999.5 << 1 << QStringLiteral("1E7");
    QTest::newRow("10 000 000") << 10000000.0 << 3 << QStringLiteral("1E7");
    QTest::newRow("12345678.9") << 12345678.9 << 1 << QStringLiteral("1.234568E7");
    QTest::newRow("negative") << -12345678.9 << 5 << QStringLiteral("-1.234568E7");
    QTest::newRow("2^128") << two128 << 3 << QStringLiteral("3.402824E38");
    QTest::newRow("1.5 x 2^128") << 1.5 * two128 << 5 << QStringLiteral("5.104236E38");
    QTest::newRow("largest decoded value")
        << (2.0 - std::ldexp(1.0, -23)) * two128 << 1 << QStringLiteral("6.805647E38");
    QTest::newRow("smallest decoded value")
        << -(2.0 - std::ldexp(1.0, -23)) * two128 << 1 << QStringLiteral("-6.805647E38");
    QTest::newRow("trailing zeros go") << 2.5e10 << 2 << QStringLiteral("2.5E10");
}

void TestDisplay::format()
{
    QFETCH(double, value);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(FormatValue(value, decimals, QLatin1Char('.')), text);
}

void TestDisplay::separatorIsTheOneGiven()
{
    QCOMPARE(FormatValue(-0.75, 4, QLatin1Char(',')), QStringLiteral("-0,7500"));
    QCOMPARE(FormatValue(0.0, 2, QLatin1Char(',')), QStringLiteral("0,00"));
    QCOMPARE(FormatValue(std::ldexp(1.0, 128), 3, QLatin1Char(',')), QStringLiteral("3,402824E38"));
    QCOMPARE(FormatValue(1e7, 3, QLatin1Char(',')), QStringLiteral("1E7"));
}

QTEST_APPLESS_MAIN(TestDisplay)
#include "tst_display.moc"
