#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Figures from the virtual meter's log, and the statistics the table prints.

namespace bench {

// CLOCK_MONOTONIC in microseconds: the clock of the meter's log, in this process and in the
// meter's own.
std::int64_t NowUs();

struct MeterEvent
{
    std::int64_t timeUs = 0;  // rx: the request's last byte; tx: the reply's last byte
    bool reply = false;       // tx, else rx
    std::int64_t firstUs = 0; // tx: the reply's first byte
    std::vector<std::uint8_t> bytes;
};

struct MeterLog
{
    std::vector<MeterEvent> events; // rx and tx lines, in order
    std::size_t otherEvents = 0;    // dropped or garbled requests, faults, hang-ups
};

// Reads a log written by `virtual-meter --log FILE`. False when it cannot be read.
bool ReadMeterLog(const std::string& path, MeterLog* log, std::string* error);

struct Summary
{
    std::size_t count = 0;
    double median = 0;
    double p99 = 0; // nearest rank
    double max = 0;
};

Summary Summarize(std::vector<double> samples);

struct CycleFigures
{
    std::size_t cycles = 0;     // complete cycles found (at most the number asked for)
    std::size_t unanswered = 0; // requests among them that got no reply
    Summary periodMs;           // request to the next request
    Summary gapMs;              // the reply's last byte to the next request
};

// The first `cycles` poll cycles of the log, from its first request on.
CycleFigures AnalyseCycles(const MeterLog& log, std::size_t cycles);

// Where the program's gap goes, cycle by cycle: the reply's last byte written by the meter to the
// port's trigger that finds it complete; that trigger to the value shown; the value shown to the
// next request heard by the meter (the poll timer's 100 ms and the request's sending).
struct GapBreakdown
{
    Summary deliveryMs;
    Summary pickupMs;
    Summary rearmMs;
};

GapBreakdown BreakDownGaps(const MeterLog& log, std::size_t cycles,
                           const std::vector<std::int64_t>& completeUs,
                           const std::vector<std::int64_t>& shownUs);

// One character on the line: start bit, eight data bits, stop bit.
double CharTimeMs(int baud);

// 100 ms poll period, the 3-byte request and the 9-byte reply on the line, the meter's delay.
double IdealPeriodMs(int baud, int delayMs);

// The same less the request's time on the line: a pseudo-terminal hands the request over at
// once, only the meter paces its bytes, so no poller can do better there.
double PtyFloorMs(int baud, int delayMs);

} // namespace bench
