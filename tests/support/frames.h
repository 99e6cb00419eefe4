#pragma once

#include <QByteArray>

#include <cstdint>

// Frames as the meter sends them, closed by a bit-at-a-time CRC-16/MODBUS of the test's own
// (low byte first on the line), so that the program's table code is checked, not reused.
QByteArray Sealed(QByteArray payload);
QByteArray MeasurementReply(std::uint8_t range, std::uint8_t autoRange, float value);
QByteArray ShortReply(std::uint8_t code);
