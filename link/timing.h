#pragma once

#include <chrono>

// The exchange's timing, in one place.

// A reply counts as missing this long after the request, or after the last byte received.
inline constexpr std::chrono::milliseconds ReplyTimeout{500};

// The next measurement request goes out this long after a measurement has been handled.
inline constexpr std::chrono::milliseconds PollPeriod{100};
