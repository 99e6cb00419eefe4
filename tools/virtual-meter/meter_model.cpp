#include "tools/virtual-meter/meter_model.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace vmeter {

namespace {

// Full scale per model (rows) and range number (columns), in the model's own unit.
constexpr double FullScaleTable[ModelCount][MaxRanges] = {
    {0.1, 0.25, 0.5, 1.0, 2.5, 0.0, 0.0, 0.0},
    {2.5, 5.0, 10.0, 20.0, 50.0, 0.0, 0.0, 0.0},
    {75.0, 75.0, 150.0, 300.0, 450.0, 600.0, 750.0, 1500.0},
    {1.5, 3.0, 4.5, 6.0, 7.5, 15.0, 30.0, 45.0},
    {45.0, 60.0, 75.0, 150.0, 300.0, 450.0, 600.0, 750.0},
};

constexpr const char* Names[ModelCount] = {"MK-21/1", "MK-21/2", "MK-23/1", "MK-23/2", "MK-23/3"};
constexpr const char* Units[ModelCount] = {"A", "A", "mV", "V", "V"};

// The wave stays a little inside full scale so that a fixed range never reads over.
constexpr double WaveHeadroom = 0.9;

constexpr double Pi = 3.14159265358979323846;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::uint16_t Crc16Modbus(const std::uint8_t* data, std::size_t length)
{
    std::uint16_t reg = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool out = (reg & 1u) != 0;
            reg = static_cast<std::uint16_t>(reg >> 1);
            if (out)
                reg ^= 0xA001u;
        }
    }
    return reg;
}

void AppendCrc(Bytes& frame)
{
    const std::uint16_t crc = Crc16Modbus(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFFu));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool CrcResidueIsZero(const Bytes& frame)
{
    return frame.size() >= 2 && Crc16Modbus(frame.data(), frame.size()) == 0;
}

std::size_t RequestLength(std::uint8_t code)
{
    switch (code) {
    case CmdSetRange:
        return 4;
    case CmdAutoRangeOn:
    case CmdAutoRangeOff:
    case CmdReadValue:
    case CmdStage1:
    case CmdStage2:
        return 3;
    default:
        return 0;
    }
}

Bytes RequestFrame(std::uint8_t code, std::uint8_t range)
{
    Bytes frame{code};
    if (code == CmdSetRange)
        frame.push_back(range);
    AppendCrc(frame);
    return frame;
}

Bytes MeasurementReply(std::uint8_t range, bool autoRange, float value)
{
    std::uint32_t bits = 0;
    static_assert(sizeof bits == sizeof value, "float32 expected");
    std::memcpy(&bits, &value, sizeof bits);
    Bytes frame{CmdReadValue,
                range,
                static_cast<std::uint8_t>(autoRange ? 1 : 0),
                static_cast<std::uint8_t>(bits >> 24),
                static_cast<std::uint8_t>(bits >> 16),
                static_cast<std::uint8_t>(bits >> 8),
                static_cast<std::uint8_t>(bits)};
    AppendCrc(frame);
    return frame;
}

Bytes ShortReply(std::uint8_t code, std::uint8_t detail)
{
    Bytes frame{code, detail};
    AppendCrc(frame);
    return frame;
}

std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::optional<Bytes> ParseHex(const std::string& text)
{
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') {
            if (high >= 0)
                return std::nullopt; // a lone digit between separators
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0)
            return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
}

bool ValidModel(int model)
{
    return model >= 1 && model <= ModelCount;
}

int RangeCount(int model)
{
    if (!ValidModel(model))
        return 0;
    int count = 0;
    while (count < MaxRanges && FullScaleTable[model - 1][count] > 0.0)
        ++count;
    return count;
}

double FullScale(int model, int range)
{
    if (!ValidModel(model) || range < 0 || range >= MaxRanges)
        return 0.0;
    return FullScaleTable[model - 1][range];
}

const char* ModelName(int model)
{
    return ValidModel(model) ? Names[model - 1] : "";
}

const char* ModelUnit(int model)
{
    return ValidModel(model) ? Units[model - 1] : "";
}

int DefaultRange(int model)
{
    return model == 3 ? 1 : 0;
}

int AutoRangeFor(int model, double value)
{
    const double magnitude = std::fabs(value);
    const int count = RangeCount(model);
    for (int range = DefaultRange(model); range < count; ++range) {
        if (magnitude <= FullScale(model, range))
            return range;
    }
    return count - 1;
}

std::chrono::nanoseconds CharTime(int baud)
{
    return std::chrono::nanoseconds(10'000'000'000LL / (baud > 0 ? baud : 9600));
}

std::chrono::nanoseconds ResyncSilence(int baud)
{
    return std::max<std::chrono::nanoseconds>(std::chrono::milliseconds(5), 4 * CharTime(baud));
}

MeterModel::MeterModel(int model)
    : model_(ValidModel(model) ? model : 4), range_(DefaultRange(model_))
{}

bool MeterModel::SetModel(int model)
{
    if (!ValidModel(model))
        return false;
    model_ = model;
    range_ = DefaultRange(model);
    return true;
}

bool MeterModel::SetRange(int range)
{
    if (FullScale(model_, range) <= 0.0)
        return false;
    range_ = range;
    return true;
}

void MeterModel::SetValue(double value)
{
    fixed_ = value;
}

int MeterModel::RangeAt(double seconds) const
{
    return autoRange_ ? AutoRangeFor(model_, ValueAt(seconds)) : range_;
}

double MeterModel::ValueAt(double seconds) const
{
    if (fixed_)
        return *fixed_;
    // With automatic ranging the signal sweeps the model's whole span, so the meter has to
    // change range; without it, it stays inside the selected range.
    const double scale =
        autoRange_ ? FullScale(model_, RangeCount(model_) - 1) : FullScale(model_, range_);
    return WaveHeadroom * scale * std::sin(2.0 * Pi * seconds / WavePeriodSeconds);
}

Bytes MeterModel::Answer(const Bytes& request, double seconds)
{
    if (request.empty() || RequestLength(request[0]) != request.size() ||
        !CrcResidueIsZero(request))
        return {};
    const std::uint8_t code = request[0];
    switch (code) {
    case CmdSetRange:
        // An unknown range number is still acknowledged; the reply carries the range kept.
        if (SetRange(request[1]))
            autoRange_ = false;
        return ShortReply(code, static_cast<std::uint8_t>(RangeAt(seconds)));
    case CmdAutoRangeOn:
        autoRange_ = true;
        return ShortReply(code, 0);
    case CmdAutoRangeOff:
        // The meter stays on the range it had moved to.
        range_ = RangeAt(seconds);
        autoRange_ = false;
        return ShortReply(code, 0);
    case CmdReadValue:
        return MeasurementReply(static_cast<std::uint8_t>(RangeAt(seconds)), autoRange_,
                                static_cast<float>(ValueAt(seconds)));
    case CmdStage1:
    case CmdStage2:
        return ShortReply(code, 0);
    default:
        return {};
    }
}

std::optional<RequestFramer::Event> RequestFramer::Feed(std::uint8_t byte)
{
    if (buffer_.empty()) {
        expected_ = RequestLength(byte);
        if (expected_ == 0)
            return Event{Outcome::Unknown, Bytes{byte}};
    }
    buffer_.push_back(byte);
    if (buffer_.size() < expected_)
        return std::nullopt;
    Event event{CrcResidueIsZero(buffer_) ? Outcome::Frame : Outcome::BadCrc, std::move(buffer_)};
    buffer_.clear();
    return event;
}

std::optional<RequestFramer::Event> RequestFramer::GiveUp()
{
    if (buffer_.empty())
        return std::nullopt;
    Event event{Outcome::Partial, std::move(buffer_)};
    buffer_.clear();
    return event;
}

} // namespace vmeter
