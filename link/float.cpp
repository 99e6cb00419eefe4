#include "link/float.h"

#include <cmath>

double DecodeFloat(const std::uint8_t bytes[4])
{
    const bool negative = (bytes[0] & 0x80u) != 0;
    const int exponent = (bytes[0] & 0x7F) * 2 + (bytes[1] >> 7);
    const std::uint32_t fraction =
        static_cast<std::uint32_t>(bytes[1] & 0x7F) << 16 | bytes[2] << 8 | bytes[3];
    // Exact in a double: a 24-bit significand scaled by a power of two within its range.
    const double magnitude = std::ldexp(1.0 + fraction / 8388608.0, exponent - 127);
    return negative ? -magnitude : magnitude;
}
