#pragma once

#include <cstdint>

// The measured value of a measurement reply: IEEE-754 single precision, most significant byte
// first (bytes[0] holds the sign and the top seven exponent bits). Every exponent is read as a
// normal number: 0 gives (1 + M/2^23) x 2^-127 rather than zero or a subnormal, and 255 gives
// (1 + M/2^23) x 2^128 rather than infinity or NaN. The result is always finite.
double DecodeFloat(const std::uint8_t bytes[4]);
