#include "window/display.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int SignificantDigits = 18; // the decimal form the value is first taken to
constexpr int KeptDigits = 7;         // what survives the rounding for the display
constexpr int LargestFixedExponent = 7;

// A magnitude as decimal digits d1 d2 ... (no trailing zeros) times 10^(exponent - digit count):
// `exponent` is the number of digits before the decimal point.
struct Decimal
{
    std::string digits;
    int exponent = 0;
};

Decimal ToDecimal(double magnitude)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.*e", SignificantDigits - 1, magnitude);
    Decimal d;
    d.digits.push_back(text[0]);
    const char* p = text + 2; // past "d."
    while (*p != 'e')
        d.digits.push_back(*p++);
    d.exponent = std::atoi(p + 1) + 1;
    return d;
}

// Keeps `count` significant digits, halves away from zero; a carry may add a digit in front.
// Empty digits mean the value rounds to zero.
Decimal Round(Decimal d, int count)
{
    if (count < 0)
        return {};
    const bool up = count < static_cast<int>(d.digits.size()) && d.digits[count] >= '5';
    d.digits.resize(std::min<std::size_t>(count, d.digits.size()));
    if (up) {
        int i = count - 1;
        for (; i >= 0 && d.digits[i] == '9'; --i)
            d.digits[i] = '0';
        if (i >= 0) {
            ++d.digits[i];
        } else {
            d.digits.insert(d.digits.begin(), '1');
            ++d.exponent;
        }
    }
    while (!d.digits.empty() && d.digits.back() == '0')
        d.digits.pop_back();
    return d;
}

QString Zero(int decimals, QChar separator)
{
    return QLatin1Char('0') + separator + QString(decimals, QLatin1Char('0'));
}

QString ExponentForm(const Decimal& d, QChar separator)
{
    QString text(QChar::fromLatin1(d.digits[0]));
    if (d.digits.size() > 1)
        text += separator + QString::fromLatin1(d.digits.c_str() + 1);
    return text + QLatin1Char('E') + QString::number(d.exponent - 1);
}

QString FixedForm(const Decimal& d, int decimals, QChar separator)
{
    const auto digitAt = [&d](int index) {
        return index >= 0 && index < static_cast<int>(d.digits.size())
                   ? QChar::fromLatin1(d.digits[index])
                   : QLatin1Char('0');
    };
    QString text;
    if (d.exponent <= 0)
        text += QLatin1Char('0');
    for (int i = 0; i < d.exponent; ++i)
        text += digitAt(i);
    text += separator;
    for (int i = 0; i < decimals; ++i)
        text += digitAt(d.exponent + i);
    return text;
}

} // namespace

QString FormatValue(double value, int decimals, QChar separator)
{
    if (!std::isfinite(value))
        return QString::number(value); // never from the wire: every decoded value is finite
    if (value == 0.0)
        return Zero(decimals, separator);
    const Decimal exact = ToDecimal(std::fabs(value));
    const Decimal kept = Round(exact, std::min(exact.exponent + decimals, KeptDigits));
    if (kept.digits.empty())
        return Zero(decimals, separator);
    const QString sign = value < 0 ? QStringLiteral("-") : QString();
    if (kept.exponent > LargestFixedExponent)
        return sign + ExponentForm(kept, separator);
    return sign + FixedForm(kept, decimals, separator);
}
