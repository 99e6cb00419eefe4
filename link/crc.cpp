#include "link/crc.h"

static_assert(CrcHiTable[1] == 0xC1 && CrcHiTable[7] == 0x41, "Modbus high table");
static_assert(CrcLoTable[1] == 0xC0 && CrcLoTable[7] == 0xC2, "Modbus low table");

std::uint16_t Crc16(const std::uint8_t* data, std::uint16_t length)
{
    std::uint8_t hi = 0xFF;
    std::uint8_t lo = 0xFF;
    for (std::uint16_t i = 0; i < length; ++i) {
        const std::uint8_t index = data[i] ^ hi;
        hi = CrcHiTable[index] ^ lo;
        lo = CrcLoTable[index];
    }
    return static_cast<std::uint16_t>(hi << 8 | lo);
}
