#pragma once

#include "tools/virtual-meter/faults.h"
#include "tools/virtual-meter/meter_model.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A simulated panel meter serving on a Linux pseudo-terminal (or on a real serial device), with
// faults on demand. One thread per meter reads requests from the line and writes the replies,
// paced at the line speed; every public method may be called from any other thread.
//
// The log: one line per event, fields separated by single blanks,
//
//   <usec> <event> [<word> | <key>=<value>]... [<hex byte>]...
//
// <usec> is CLOCK_MONOTONIC in microseconds (std::chrono::steady_clock in the same process),
// hex bytes are two upper-case digits each. Events:
//
//   rx 41 7F 70                   a request taken for an answer; time of its last byte
//   rx-dropped crc 41 7F 71       a complete frame with a bad CRC: no answer
//   rx-dropped unknown 55         a byte that cannot start a request, skipped
//   rx-dropped partial 41 7F      a frame cut short by silence, given up
//   rx-garbage baud 41 7F 70      heard while the line speed differs from the meter's: no answer
//   fault late ms=600             a fault striking the request just logged (one line each);
//                                 "fault scripted" for a reply queued through the API
//   tx first=<usec> 41 03 ...     what went out for a request, logged when its last byte was
//                                 written; first= is when its first byte was written
//   tx-raw first=<usec> 55 AA     bytes sent on their own through the API
//   hangup                        the device went away
//   comeback /dev/pts/7           the device is back, on this path
//
// A request that gets nothing back has an rx line and no tx line.

namespace vmeter {

enum class Event
{
    Rx,
    RxBadCrc,
    RxUnknown,
    RxPartial,
    RxGarbage,
    Fault,
    Tx,
    TxRaw,
    HangUp,
    ComeBack,
};
inline constexpr std::size_t EventKinds = 10;

// "rx", "rx-dropped crc", ...: the event and its reason word as they stand in a log line.
const char* EventName(Event event);

struct LogEntry
{
    std::int64_t timeUs = 0;
    Event event = Event::Rx;
    std::string detail;       // fault description, path
    Bytes bytes;              // bytes heard or sent
    std::int64_t firstUs = 0; // Tx, TxRaw: when the first byte went out

    std::string Line() const;
};

// CLOCK_MONOTONIC in microseconds, the clock of the log.
std::int64_t MonotonicMicros();

struct Options
{
    int model = 4;
    int range = -1; // -1: the model's default range
    bool autoRange = false;
    std::optional<double> value; // fixed value; none: a slow sine wave
    int baud = 9600;             // the meter's own line speed, 4800 or 9600
    bool baudCheck = true;       // on a pty: ignore requests sent at another speed
    bool pace = true;            // write reply bytes one character time apart
    std::chrono::milliseconds replyDelay{10};
    std::string device;            // serve this serial device instead of a new pty
    std::string link;              // keep a symlink here pointing at the pty
    std::size_t logLimit = 100000; // log entries kept in memory; counts are kept regardless
    // Called on the serving thread with every log line (without newline).
    std::function<void(const std::string&)> logLine;
};

class VirtualMeter
{
public:
    explicit VirtualMeter(Options options = {});
    ~VirtualMeter();
    VirtualMeter(const VirtualMeter&) = delete;
    VirtualMeter& operator=(const VirtualMeter&) = delete;

    // Opens the pty (or the device), sets the link, starts serving.
    bool Start(std::string* error = nullptr);
    // Ends the serving thread, closes everything and removes the link. Idempotent.
    void Stop();
    bool Running() const;

    // The link when one is set, else the pty's slave path.
    std::string Path() const;
    // The current /dev/pts/N (or the device); empty while the device is gone.
    std::string SlavePath() const;

    // The meter's state; takes effect from the next request on.
    bool SetModel(int model);
    bool SetRange(int range);
    void SetAutoRange(bool on);
    void SetValue(double value);
    void SetWave();
    void SetReplyDelay(std::chrono::milliseconds delay);

    void InjectFault(const Fault& fault, const Schedule& schedule = Schedule::Once());
    void ClearFaults();
    // The next request is answered with exactly these bytes (paced like a reply, no faults);
    // the request still acts on the meter. Several queue up in order.
    void QueueReply(Bytes reply);
    // Writes bytes on the line as soon as no reply is going out.
    void SendRaw(Bytes bytes);

    // The device goes away: the far end's port fails. Back after `returnAfter` when it is not
    // negative. Returns once done; false when not running or already gone.
    bool HangUp(std::chrono::milliseconds returnAfter = std::chrono::milliseconds(-1));
    // A new pty (or the device reopened), the link re-pointed at it.
    bool ComeBack(std::string* error = nullptr);

    // The speed the far end set on the pty (the meter's own on a device); 0 when unknown.
    int LineBaud() const;

    std::vector<LogEntry> Log() const;
    std::size_t Count(Event event) const;
    // Complete frames heard: rx, rx-dropped crc and rx-garbage.
    std::size_t RequestCount() const;
    // tx lines.
    std::size_t ReplyCount() const;
    bool WaitFor(Event event, std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForReplies(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vmeter
