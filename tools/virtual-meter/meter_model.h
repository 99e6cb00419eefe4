#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The simulated panel meter as pure byte logic: the catalogue of models, frame building with the
// meter's own CRC, the request framer and the answer to each command. No file descriptors, no
// threads, no clocks: time comes in as seconds since the meter was switched on.

namespace vmeter {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t CmdSetRange = 0x01;
inline constexpr std::uint8_t CmdAutoRangeOn = 0x02;
inline constexpr std::uint8_t CmdAutoRangeOff = 0x03;
inline constexpr std::uint8_t CmdReadValue = 0x41;
inline constexpr std::uint8_t CmdStage1 = 0x42;
inline constexpr std::uint8_t CmdStage2 = 0x43;

inline constexpr std::size_t MeasurementReplyLength = 9;
inline constexpr std::size_t ShortReplyLength = 4;

// CRC-16/MODBUS, one bit at a time. Deliberately not the program's table code: the meter and the
// program check each other. Returns the textbook value (0x707F over the single byte 0x41).
std::uint16_t Crc16Modbus(const std::uint8_t* data, std::size_t length);

// Appends the CRC of `frame`, low byte first as it travels on the line.
void AppendCrc(Bytes& frame);

// True when the CRC over the whole frame, its own CRC bytes included, leaves 0.
bool CrcResidueIsZero(const Bytes& frame);

// Length of the request that starts with `code`, or 0 for a code the meter does not know.
std::size_t RequestLength(std::uint8_t code);

// A complete request frame, as the program sends it.
Bytes RequestFrame(std::uint8_t code, std::uint8_t range = 0);

// Reply to CmdReadValue: code 0x41, range number, auto flag, float32 most significant byte first.
Bytes MeasurementReply(std::uint8_t range, bool autoRange, float value);

// Reply to every other command: the command's own code, one free byte, the CRC.
Bytes ShortReply(std::uint8_t code, std::uint8_t detail);

// "41 7F 70": upper-case hex pairs separated by single spaces.
std::string Hex(const Bytes& bytes);

// Reads hex pairs, with or without blanks, commas or colons between them ("55AA", "55 aa").
std::optional<Bytes> ParseHex(const std::string& text);

// The catalogue. Models are 1..5; a range number is valid while its full scale is above 0.
inline constexpr int ModelCount = 5;
inline constexpr int MaxRanges = 8;
bool ValidModel(int model);
int RangeCount(int model);
double FullScale(int model, int range); // 0 for an invalid model or range number
const char* ModelName(int model);
const char* ModelUnit(int model); // "A", "mV" or "V"
// Model 3 keeps range number 0 (a second 75 mV range) but starts on number 1 and never ranges
// down to 0 by itself, since the program's window has no selector for it.
int DefaultRange(int model);
// The smallest range whose full scale holds |value|; the top range when none does.
int AutoRangeFor(int model, double value);

// Period of the simulated signal.
inline constexpr double WavePeriodSeconds = 20.0;

// One character on the line: start bit, eight data bits, stop bit.
std::chrono::nanoseconds CharTime(int baud);
// A partial request followed by this much silence is given up, so the framer finds the next
// request's first byte even after a lost byte.
std::chrono::nanoseconds ResyncSilence(int baud);

// What the meter knows and answers. Not thread-safe; the server guards it.
class MeterModel
{
public:
    explicit MeterModel(int model = 4);

    int Model() const { return model_; }
    // Switches the model and puts it on its default range; false (and no change) when invalid.
    bool SetModel(int model);
    // False (and no change) for a range number the model does not have.
    bool SetRange(int range);
    void SetAutoRange(bool on) { autoRange_ = on; }
    bool AutoRange() const { return autoRange_; }
    void SetValue(double value);
    void SetWave() { fixed_.reset(); }
    bool Fixed() const { return fixed_.has_value(); }

    // The range in use and the measured value `seconds` after switch-on.
    int RangeAt(double seconds) const;
    double ValueAt(double seconds) const;

    // Acts on a request with a good CRC and a known code and returns the reply; empty for
    // anything else.
    Bytes Answer(const Bytes& request, double seconds);

private:
    int model_;
    int range_;
    bool autoRange_ = false;
    std::optional<double> fixed_;
};

// Cuts the byte stream from the program into requests.
class RequestFramer
{
public:
    enum class Outcome
    {
        Frame,   // a complete request with a good CRC
        BadCrc,  // a complete frame whose CRC failed: dropped whole
        Unknown, // a byte that cannot start a request: dropped
        Partial, // an incomplete frame given up after silence
    };
    struct Event
    {
        Outcome outcome;
        Bytes bytes;
    };

    std::optional<Event> Feed(std::uint8_t byte);
    // Called once the line has been silent for ResyncSilence with a frame begun.
    std::optional<Event> GiveUp();
    bool InFrame() const { return !buffer_.empty(); }

private:
    Bytes buffer_;
    std::size_t expected_ = 0;
};

} // namespace vmeter
