#include "link/frame.h"

#include "link/crc.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr CommandInfo Commands[] = {
    {CmdSetRange, 4, ShortReplyLength},     {CmdAutoRangeOn, 3, ShortReplyLength},
    {CmdAutoRangeOff, 3, ShortReplyLength}, {CmdReadValue, 3, MeasurementReplyLength},
    {CmdStage1, 3, ShortReplyLength},       {CmdStage2, 3, ShortReplyLength},
};

} // namespace

const CommandInfo* FindCommand(std::uint8_t code)
{
    const auto it = std::find_if(std::begin(Commands), std::end(Commands),
                                 [code](const CommandInfo& c) { return c.code == code; });
    return it == std::end(Commands) ? nullptr : it;
}

void SealRequest(std::uint8_t* frame, std::uint8_t length)
{
    const std::uint16_t crc = Crc16(frame, static_cast<std::uint16_t>(length - 2));
    frame[length - 2] = static_cast<std::uint8_t>(crc >> 8);   // first on the line
    frame[length - 1] = static_cast<std::uint8_t>(crc & 0xFF); // second
}

bool CrcResidueIsZero(const std::uint8_t* bytes, std::size_t count)
{
    // Crc16 takes a 16-bit count; callers never hold more than a reply buffer.
    return count <= 0xFFFF && Crc16(bytes, static_cast<std::uint16_t>(count)) == 0;
}

ReplyVerdict CheckReply(const std::uint8_t* bytes, std::size_t taken, std::size_t waiting)
{
    if (waiting == 0)
        return ReplyVerdict::NoAnswer;
    if (waiting > taken || !CrcResidueIsZero(bytes, taken))
        return ReplyVerdict::ChecksumError;
    if (bytes[0] == CmdReadValue && taken != MeasurementReplyLength)
        return ReplyVerdict::ChecksumError;
    return bytes[0] >= FirstHandledReplyCode ? ReplyVerdict::HandOn : ReplyVerdict::Ignore;
}
