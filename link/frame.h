#pragma once

#include <cstddef>
#include <cstdint>

// The meter's byte frames. A request is the command code, for CmdSetRange a range number, then
// two CRC bytes; a reply is the reply code, its payload, then two CRC bytes.

inline constexpr std::uint8_t CmdSetRange = 0x01;
inline constexpr std::uint8_t CmdAutoRangeOn = 0x02;
inline constexpr std::uint8_t CmdAutoRangeOff = 0x03;
inline constexpr std::uint8_t CmdReadValue = 0x41;
inline constexpr std::uint8_t CmdStage1 = 0x42;
inline constexpr std::uint8_t CmdStage2 = 0x43;

// Replies with a code from here up go to the measurement handler; lower codes go nowhere.
inline constexpr std::uint8_t FirstHandledReplyCode = 0x40;

inline constexpr std::size_t MeasurementReplyLength = 9;
inline constexpr std::size_t ShortReplyLength = 4;

// Byte positions of the measurement reply (code 0x41).
namespace measurement {
inline constexpr std::size_t Code = 0;
inline constexpr std::size_t Range = 1;     // range number in use
inline constexpr std::size_t AutoRange = 2; // 1 = automatic ranging on, anything else = off
inline constexpr std::size_t Value = 3;     // 4 bytes, IEEE-754 single, most significant first
inline constexpr std::uint8_t AutoRangeOn = 1;
} // namespace measurement

struct CommandInfo
{
    std::uint8_t code;
    std::uint8_t requestLength;
    std::uint8_t replyLength; // bytes that must be waiting before a reply counts as complete
};

// The command table; nullptr for a code that is not in it.
const CommandInfo* FindCommand(std::uint8_t code);

// Closes a request frame of `length` bytes whose code (and range number) stand in place: the CRC
// over the first length - 2 bytes goes into the last two, its high byte first.
void SealRequest(std::uint8_t* frame, std::uint8_t length);

// A frame that carries its own CRC leaves a residue of 0.
bool CrcResidueIsZero(const std::uint8_t* bytes, std::size_t count);

// What the pickup pass does with the bytes it took.
enum class ReplyVerdict
{
    NoAnswer,      // nothing arrived
    ChecksumError, // broken, cut, padded or overflowing reply
    HandOn,        // valid, code 0x40 or above: goes to the measurement handler
    Ignore,        // valid, code below 0x40: the short reply to a control command
};

// `taken` bytes were read out of `waiting`; more waiting than taken means the reply overflowed
// the buffer and is refused whatever its CRC. A measurement code in anything but a 9-byte frame
// is refused too (an echo of the request 41 7F 70 passes the CRC), since the handler would read
// bytes left over from an earlier reply.
ReplyVerdict CheckReply(const std::uint8_t* bytes, std::size_t taken, std::size_t waiting);
