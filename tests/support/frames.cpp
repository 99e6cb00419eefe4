#include "tests/support/frames.h"

#include <cstring>

QByteArray Sealed(QByteArray payload)
{
    std::uint16_t reg = 0xFFFF;
    for (char c : payload) {
        reg ^= static_cast<std::uint8_t>(c);
        for (int i = 0; i < 8; ++i)
            reg = (reg & 1) ? static_cast<std::uint16_t>((reg >> 1) ^ 0xA001) : reg >> 1;
    }
    payload.append(static_cast<char>(reg & 0xFF));
    payload.append(static_cast<char>(reg >> 8));
    return payload;
}

QByteArray MeasurementReply(std::uint8_t range, std::uint8_t autoRange, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    QByteArray payload;
    payload.append(char(0x41))
        .append(static_cast<char>(range))
        .append(static_cast<char>(autoRange));
    for (int shift = 24; shift >= 0; shift -= 8)
        payload.append(static_cast<char>(bits >> shift & 0xFF));
    return Sealed(payload);
}

QByteArray ShortReply(std::uint8_t code)
{
    return Sealed(QByteArray(1, static_cast<char>(code)).append('\0'));
}
