#pragma once

#include <array>
#include <cstdint>

// CRC-16/MODBUS (reflected polynomial 0xA001, initial value 0xFFFF, no final XOR), computed with
// one lookup per byte in two 8-bit registers. The value returned has its two bytes exchanged
// against the textbook CRC-16/MODBUS value: its high byte is the CRC byte that goes first on the
// line, its low byte the one that goes second.

namespace crc_detail {

// Entry i of the byte-wise CRC: a 16-bit register started at i, shifted right eight times with
// 0xA001 folded in after every shift whose outgoing bit was 1.
constexpr std::uint16_t ReflectedEntry(unsigned index)
{
    std::uint16_t reg = static_cast<std::uint16_t>(index);
    for (int bit = 0; bit < 8; ++bit) {
        const bool out = (reg & 1u) != 0;
        reg = static_cast<std::uint16_t>(reg >> 1);
        if (out)
            reg ^= 0xA001u;
    }
    return reg;
}

constexpr std::array<std::uint8_t, 256> MakeTable(bool highByte)
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        const std::uint16_t entry = ReflectedEntry(i);
        table[i] = static_cast<std::uint8_t>(highByte ? entry >> 8 : entry & 0xFFu);
    }
    return table;
}

} // namespace crc_detail

// The two tables published with the Modbus serial-line protocol. CrcHiTable holds the low byte
// of each register value: the names follow the register each table feeds, not the byte it holds.
inline constexpr std::array<std::uint8_t, 256> CrcHiTable = crc_detail::MakeTable(false);
inline constexpr std::array<std::uint8_t, 256> CrcLoTable = crc_detail::MakeTable(true);

// Zero bytes give 0xFFFF. Over a frame that carries its own CRC the result is 0.
std::uint16_t Crc16(const std::uint8_t* data, std::uint16_t length);
