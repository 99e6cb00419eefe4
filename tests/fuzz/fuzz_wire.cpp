// The wire format's pure functions against independent references, for every input: the table
// CRC against a bit loop, the value decoding against the float the bytes encode (or the formula
// where IEEE-754 would read a subnormal, infinity or NaN), and the display format against the
// value it shows.

#include "link/crc.h"
#include "link/float.h"
#include "window/display.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::uint16_t BitwiseSwapped(const std::uint8_t* data, std::size_t size)
{
    std::uint16_t reg = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        reg ^= data[i];
        for (int b = 0; b < 8; ++b)
            reg = (reg & 1) ? static_cast<std::uint16_t>((reg >> 1) ^ 0xA001) : reg >> 1;
    }
    return static_cast<std::uint16_t>(reg << 8 | reg >> 8);
}

double Reference(const std::uint8_t* b)
{
    const std::uint32_t bits =
        std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
    const int exponent = (bits >> 23) & 0xFF;
    if (exponent != 0 && exponent != 255) {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    const double magnitude = (1.0 + (bits & 0x7FFFFF) / 8388608.0) * std::pow(2.0, exponent - 127);
    return (bits >> 31) ? -magnitude : magnitude;
}

void Fail(const char* what, double value, int decimals, const QString& text)
{
    std::fprintf(stderr, "%s: %.17g with %d decimals shown as %s\n", what, value, decimals,
                 qPrintable(text));
    std::abort();
}

void CheckFormat(double value, int decimals)
{
    const QString text = FormatValue(value, decimals, QLatin1Char('.'));
    const double shown = std::strtod(text.toLatin1().constData(), nullptr);
    const bool exponentForm = text.contains(QLatin1Char('E'));
    const double tolerance =
        std::fabs(value) * 5.000001e-7 + (exponentForm ? 0 : 0.5000001 * std::pow(10.0, -decimals));
    if (std::fabs(shown - value) > tolerance)
        Fail("off", value, decimals, text);
    if (exponentForm != (std::fabs(shown) >= 1e7))
        Fail("form", value, decimals, text);
    if (!exponentForm && text.size() - text.indexOf(QLatin1Char('.')) - 1 != decimals)
        Fail("decimals", value, decimals, text);
    if (text.startsWith(QLatin1Char('-')) && shown == 0)
        Fail("minus zero", value, decimals, text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 0xFFFF)
        return 0;
    if (Crc16(data, static_cast<std::uint16_t>(size)) != BitwiseSwapped(data, size))
        std::abort();
    if (size >= 4) {
        const double value = DecodeFloat(data);
        const double reference = Reference(data);
        if (!(value == reference) || !std::isfinite(value))
            std::abort();
        CheckFormat(value, size > 4 ? data[4] % 5 + 1 : 3);
    }
    return 0;
}
