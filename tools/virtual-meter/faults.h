#pragma once

#include "tools/virtual-meter/meter_model.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Line and device faults the virtual meter can put on its replies, when they strike, and how a
// reply is turned into the bytes and pauses that actually go out. Pure: no clocks, no fds.

namespace vmeter {

enum class FaultKind
{
    NoAnswer,    // the request is heard and ignored
    Late,        // the reply starts `delay` after the request instead of the normal delay
    Cut,         // only the first `keep` bytes go out
    Corrupt,     // one byte xor `mask`
    StrayBefore, // `stray` bytes go out just before the reply
    StrayAfter,  // `stray` bytes follow the reply
    Split,       // the bytes go out in pieces with `gap` between them
    Echo,        // the request comes back first, as from an adapter with a loopback
    EchoOnly,    // the echo and nothing else
    Burst,       // `burstLength` bytes instead of the reply, more than a 255-byte buffer holds
    HangUp,      // the device goes away instead of answering
};

// Lower-case names used by the command line and the log: "noanswer", "stray-before", ...
const char* FaultName(FaultKind kind);
std::optional<FaultKind> FaultFromName(const std::string& name);

struct Fault
{
    FaultKind kind = FaultKind::NoAnswer;
    std::chrono::milliseconds delay{600};      // Late
    std::size_t keep = 4;                      // Cut
    int index = -1;                            // Corrupt; -1: the middle byte
    std::uint8_t mask = 0xFF;                  // Corrupt
    Bytes stray;                               // StrayBefore/After; empty: 00 before, 55 AA after
    std::vector<std::size_t> pieces;           // Split: byte counts, the rest in one last piece
    std::size_t pieceSize = 3;                 // Split, when `pieces` is empty
    std::chrono::milliseconds gap{50};         // Split
    std::size_t burstLength = 300;             // Burst
    Bytes burst;                               // Burst content, repeated; empty: the reply's bytes
    std::chrono::milliseconds returnAfter{-1}; // HangUp: back after this long; negative: stays gone

    static Fault NoAnswer();
    static Fault Late(std::chrono::milliseconds delay);
    static Fault Cut(std::size_t keep);
    static Fault Corrupt(int index = -1, std::uint8_t mask = 0xFF);
    static Fault StrayBefore(Bytes stray = {});
    static Fault StrayAfter(Bytes stray = {});
    static Fault Split(std::vector<std::size_t> pieces, std::chrono::milliseconds gap);
    static Fault SplitEvery(std::size_t pieceSize, std::chrono::milliseconds gap);
    static Fault Echo();
    static Fault EchoOnly();
    static Fault Burst(std::size_t length = 300, Bytes content = {});
    static Fault HangUp(std::chrono::milliseconds returnAfter = std::chrono::milliseconds(-1));

    // "late ms=600", "corrupt index=4 mask=FF": the name and the parameters that matter.
    std::string Describe() const;
};

// Parses the command-line form KIND[:PARAMS]:
//   noanswer | echo | echo-only
//   late:MS             cut:K               corrupt[:INDEX[,MASK]]
//   stray-before[:HEX]  stray-after[:HEX]   burst[:LENGTH[,HEX]]
//   split[:SIZE|A+B+...[/GAP_MS]]           hangup[:RETURN_MS]
std::optional<Fault> ParseFault(const std::string& text, std::string* error);

struct Schedule
{
    enum class Kind
    {
        Once,   // the next reply only
        Every,  // replies n, 2n, 3n, ... after the fault was set
        Random, // each reply with `probability`, drawn from a generator seeded with `seed`
    };
    Kind kind = Kind::Once;
    unsigned every = 1;
    double probability = 1.0;
    std::uint64_t seed = 1;

    static Schedule Once();
    static Schedule Every(unsigned n);
    static Schedule Random(double probability, std::uint64_t seed);
};

// A fault with its schedule, asked once for every reply.
class ArmedFault
{
public:
    ArmedFault(Fault fault, Schedule schedule);

    bool Fires();
    // A Once fault that has fired is done with.
    bool Spent() const { return spent_; }
    const Fault& GetFault() const { return fault_; }

private:
    Fault fault_;
    Schedule schedule_;
    std::uint64_t replies_ = 0;
    std::uint64_t rng_;
    bool spent_ = false;
};

// What goes out for one request: wait `delay` after the request's last byte, then each piece,
// each after its `gapBefore`.
struct Piece
{
    Bytes bytes;
    std::chrono::milliseconds gapBefore{0};
};
struct Plan
{
    std::chrono::milliseconds delay{0};
    std::vector<Piece> pieces;
    bool hangUp = false;
    std::chrono::milliseconds returnAfter{-1};

    Bytes AllBytes() const;
};

// Applies the firing faults to `reply`. Whatever the order they were given in, the body is
// replaced first (burst), then shortened (cut), then damaged (corrupt), then silenced (noanswer,
// echo-only); the echo and stray bytes go around it; split cuts the whole stream; hang-up sends
// nothing.
Plan MakePlan(const Bytes& request, const Bytes& reply, std::chrono::milliseconds delay,
              const std::vector<Fault>& firing);

} // namespace vmeter
