#include "tools/virtual-meter/faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace vmeter {

namespace {

struct NamedKind
{
    FaultKind kind;
    const char* name;
};

constexpr NamedKind KindNames[] = {
    {FaultKind::NoAnswer, "noanswer"},
    {FaultKind::Late, "late"},
    {FaultKind::Cut, "cut"},
    {FaultKind::Corrupt, "corrupt"},
    {FaultKind::StrayBefore, "stray-before"},
    {FaultKind::StrayAfter, "stray-after"},
    {FaultKind::Split, "split"},
    {FaultKind::Echo, "echo"},
    {FaultKind::EchoOnly, "echo-only"},
    {FaultKind::Burst, "burst"},
    {FaultKind::HangUp, "hangup"},
};

const Bytes DefaultStrayBefore{0x00};
const Bytes DefaultStrayAfter{0x55, 0xAA};

// splitmix64: small, fast and the same sequence on every platform and standard library.
std::uint64_t NextRandom(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A whole unsigned number in decimal or, with 0x, hex.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max)
        return false;
    *out = value;
    return true;
}

std::vector<std::string> SplitOn(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

std::optional<Fault> Fail(std::string* error, const std::string& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}

void Append(Bytes& to, const Bytes& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace

const char* FaultName(FaultKind kind)
{
    for (const NamedKind& entry : KindNames) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "?";
}

std::optional<FaultKind> FaultFromName(const std::string& name)
{
    for (const NamedKind& entry : KindNames) {
        if (name == entry.name)
            return entry.kind;
    }
    return std::nullopt;
}

Fault Fault::NoAnswer()
{
    return Fault{};
}

Fault Fault::Late(std::chrono::milliseconds delay)
{
    Fault f;
    f.kind = FaultKind::Late;
    f.delay = delay;
    return f;
}

Fault Fault::Cut(std::size_t keep)
{
    Fault f;
    f.kind = FaultKind::Cut;
    f.keep = keep;
    return f;
}

Fault Fault::Corrupt(int index, std::uint8_t mask)
{
    Fault f;
    f.kind = FaultKind::Corrupt;
    f.index = index;
    f.mask = mask;
    return f;
}

Fault Fault::StrayBefore(Bytes stray)
{
    Fault f;
    f.kind = FaultKind::StrayBefore;
    f.stray = stray.empty() ? DefaultStrayBefore : std::move(stray);
    return f;
}

Fault Fault::StrayAfter(Bytes stray)
{
    Fault f;
    f.kind = FaultKind::StrayAfter;
    f.stray = stray.empty() ? DefaultStrayAfter : std::move(stray);
    return f;
}

Fault Fault::Split(std::vector<std::size_t> pieces, std::chrono::milliseconds gap)
{
    Fault f;
    f.kind = FaultKind::Split;
    f.pieces = std::move(pieces);
    f.gap = gap;
    return f;
}

Fault Fault::SplitEvery(std::size_t pieceSize, std::chrono::milliseconds gap)
{
    Fault f;
    f.kind = FaultKind::Split;
    f.pieceSize = pieceSize;
    f.gap = gap;
    return f;
}

Fault Fault::Echo()
{
    Fault f;
    f.kind = FaultKind::Echo;
    return f;
}

Fault Fault::EchoOnly()
{
    Fault f;
    f.kind = FaultKind::EchoOnly;
    return f;
}

Fault Fault::Burst(std::size_t length, Bytes content)
{
    Fault f;
    f.kind = FaultKind::Burst;
    f.burstLength = length;
    f.burst = std::move(content);
    return f;
}

Fault Fault::HangUp(std::chrono::milliseconds returnAfter)
{
    Fault f;
    f.kind = FaultKind::HangUp;
    f.returnAfter = returnAfter;
    return f;
}

std::string Fault::Describe() const
{
    std::string text = FaultName(kind);
    auto add = [&text](const std::string& field) { text += ' ' + field; };
    switch (kind) {
    case FaultKind::Late:
        add("ms=" + std::to_string(delay.count()));
        break;
    case FaultKind::Cut:
        add("keep=" + std::to_string(keep));
        break;
    case FaultKind::Corrupt:
        add(index < 0 ? std::string("index=middle") : "index=" + std::to_string(index));
        add("mask=" + Hex(Bytes{mask}));
        break;
    case FaultKind::StrayBefore:
    case FaultKind::StrayAfter: {
        std::string bytes = Hex(stray.empty() ? (kind == FaultKind::StrayBefore ? DefaultStrayBefore
                                                                                : DefaultStrayAfter)
                                              : stray);
        for (char& c : bytes) {
            if (c == ' ')
                c = ',';
        }
        add("bytes=" + bytes);
        break;
    }
    case FaultKind::Split: {
        std::string sizes;
        for (std::size_t n : pieces)
            sizes += (sizes.empty() ? "" : "+") + std::to_string(n);
        add(pieces.empty() ? "size=" + std::to_string(pieceSize) : "pieces=" + sizes);
        add("gap=" + std::to_string(gap.count()));
        break;
    }
    case FaultKind::Burst:
        add("length=" + std::to_string(burstLength));
        break;
    case FaultKind::HangUp:
        if (returnAfter.count() >= 0)
            add("return=" + std::to_string(returnAfter.count()));
        break;
    case FaultKind::NoAnswer:
    case FaultKind::Echo:
    case FaultKind::EchoOnly:
        break;
    }
    return text;
}

std::optional<Fault> ParseFault(const std::string& text, std::string* error)
{
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::string params = colon == std::string::npos ? "" : text.substr(colon + 1);
    const std::optional<FaultKind> kind = FaultFromName(name);
    if (!kind)
        return Fail(error, "unknown fault '" + name + "'");
    const std::string bad = "bad parameters for fault " + name + ": '" + params + "'";
    constexpr unsigned long long MaxMs = 3'600'000;
    unsigned long long n = 0;

    switch (*kind) {
    case FaultKind::NoAnswer:
    case FaultKind::Echo:
    case FaultKind::EchoOnly:
        if (!params.empty())
            return Fail(error, "fault " + name + " takes no parameters");
        return *kind == FaultKind::NoAnswer ? Fault::NoAnswer()
               : *kind == FaultKind::Echo   ? Fault::Echo()
                                            : Fault::EchoOnly();
    case FaultKind::Late:
        if (params.empty())
            return Fault::Late(Fault{}.delay);
        if (!ParseNumber(params, MaxMs, &n))
            return Fail(error, bad);
        return Fault::Late(std::chrono::milliseconds(n));
    case FaultKind::Cut:
        if (!ParseNumber(params, 1000, &n))
            return Fail(error, bad);
        return Fault::Cut(n);
    case FaultKind::Corrupt: {
        if (params.empty())
            return Fault::Corrupt();
        const std::vector<std::string> parts = SplitOn(params, ',');
        unsigned long long mask = 0xFF;
        if (parts.size() > 2 || !ParseNumber(parts[0], 1000, &n) ||
            (parts.size() == 2 && (!ParseNumber(parts[1], 0xFF, &mask) || mask == 0)))
            return Fail(error, bad);
        return Fault::Corrupt(static_cast<int>(n), static_cast<std::uint8_t>(mask));
    }
    case FaultKind::StrayBefore:
    case FaultKind::StrayAfter: {
        Bytes bytes;
        if (!params.empty()) {
            const std::optional<Bytes> parsed = ParseHex(params);
            if (!parsed || parsed->empty())
                return Fail(error, bad);
            bytes = *parsed;
        }
        return *kind == FaultKind::StrayBefore ? Fault::StrayBefore(bytes)
                                               : Fault::StrayAfter(bytes);
    }
    case FaultKind::Split: {
        if (params.empty())
            return Fault::SplitEvery(Fault{}.pieceSize, Fault{}.gap);
        const std::vector<std::string> halves = SplitOn(params, '/');
        unsigned long long gap = static_cast<unsigned long long>(Fault{}.gap.count());
        if (halves.size() > 2 || (halves.size() == 2 && !ParseNumber(halves[1], MaxMs, &gap)))
            return Fail(error, bad);
        std::vector<std::size_t> counts;
        for (const std::string& part : SplitOn(halves[0], '+')) {
            if (!ParseNumber(part, 1000, &n) || n == 0)
                return Fail(error, bad);
            counts.push_back(n);
        }
        if (counts.size() == 1)
            return Fault::SplitEvery(counts[0], std::chrono::milliseconds(gap));
        return Fault::Split(counts, std::chrono::milliseconds(gap));
    }
    case FaultKind::Burst: {
        if (params.empty())
            return Fault::Burst();
        const std::size_t comma = params.find(',');
        if (!ParseNumber(params.substr(0, comma), 65536, &n) || n == 0)
            return Fail(error, bad);
        Bytes content;
        if (comma != std::string::npos) {
            const std::optional<Bytes> parsed = ParseHex(params.substr(comma + 1));
            if (!parsed || parsed->empty())
                return Fail(error, bad);
            content = *parsed;
        }
        return Fault::Burst(n, content);
    }
    case FaultKind::HangUp:
        if (params.empty())
            return Fault::HangUp();
        if (!ParseNumber(params, MaxMs, &n))
            return Fail(error, bad);
        return Fault::HangUp(std::chrono::milliseconds(n));
    }
    return Fail(error, bad);
}

Schedule Schedule::Once()
{
    return Schedule{};
}

Schedule Schedule::Every(unsigned n)
{
    Schedule s;
    s.kind = Kind::Every;
    s.every = n == 0 ? 1 : n;
    return s;
}

Schedule Schedule::Random(double probability, std::uint64_t seed)
{
    Schedule s;
    s.kind = Kind::Random;
    s.probability = probability;
    s.seed = seed;
    return s;
}

ArmedFault::ArmedFault(Fault fault, Schedule schedule)
    : fault_(std::move(fault)), schedule_(schedule), rng_(schedule.seed)
{}

bool ArmedFault::Fires()
{
    if (spent_)
        return false;
    ++replies_;
    switch (schedule_.kind) {
    case Schedule::Kind::Once:
        spent_ = true;
        return true;
    case Schedule::Kind::Every:
        return replies_ % schedule_.every == 0;
    case Schedule::Kind::Random: {
        // 53 random bits as a double in [0, 1).
        const double draw = static_cast<double>(NextRandom(rng_) >> 11) * 0x1.0p-53;
        return draw < schedule_.probability;
    }
    }
    return false;
}

Bytes Plan::AllBytes() const
{
    Bytes all;
    for (const Piece& piece : pieces)
        Append(all, piece.bytes);
    return all;
}

Plan MakePlan(const Bytes& request, const Bytes& reply, std::chrono::milliseconds delay,
              const std::vector<Fault>& firing)
{
    auto find = [&firing](FaultKind kind) -> const Fault* {
        for (const Fault& f : firing) {
            if (f.kind == kind)
                return &f;
        }
        return nullptr;
    };

    Plan plan;
    plan.delay = delay;
    if (const Fault* hangUp = find(FaultKind::HangUp)) {
        plan.hangUp = true;
        plan.returnAfter = hangUp->returnAfter;
        return plan;
    }

    Bytes body = reply;
    if (const Fault* burst = find(FaultKind::Burst)) {
        const Bytes& pattern = burst->burst.empty() ? reply : burst->burst;
        body.clear();
        while (!pattern.empty() && body.size() < burst->burstLength)
            body.push_back(pattern[body.size() % pattern.size()]);
    }
    if (const Fault* cut = find(FaultKind::Cut)) {
        if (cut->keep < body.size())
            body.resize(cut->keep);
    }
    if (const Fault* corrupt = find(FaultKind::Corrupt)) {
        if (!body.empty()) {
            std::size_t at =
                corrupt->index < 0 ? body.size() / 2 : static_cast<std::size_t>(corrupt->index);
            if (at >= body.size())
                at = body.size() - 1;
            body[at] ^= corrupt->mask;
        }
    }
    const bool echoOnly = find(FaultKind::EchoOnly) != nullptr;
    if (echoOnly || find(FaultKind::NoAnswer))
        body.clear();

    Bytes stream;
    if (echoOnly || find(FaultKind::Echo))
        Append(stream, request);
    if (const Fault* stray = find(FaultKind::StrayBefore))
        Append(stream, stray->stray.empty() ? DefaultStrayBefore : stray->stray);
    Append(stream, body);
    if (const Fault* stray = find(FaultKind::StrayAfter))
        Append(stream, stray->stray.empty() ? DefaultStrayAfter : stray->stray);

    if (const Fault* late = find(FaultKind::Late))
        plan.delay = late->delay;

    if (stream.empty())
        return plan;
    const Fault* split = find(FaultKind::Split);
    if (!split) {
        plan.pieces.push_back(Piece{std::move(stream), {}});
        return plan;
    }
    std::size_t at = 0;
    std::size_t next = 0;
    while (at < stream.size()) {
        std::size_t size = split->pieces.empty()         ? split->pieceSize
                           : next < split->pieces.size() ? split->pieces[next]
                                                         : stream.size() - at;
        size = std::min(std::max<std::size_t>(size, 1), stream.size() - at);
        Piece piece;
        piece.bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        piece.gapBefore = plan.pieces.empty() ? std::chrono::milliseconds(0) : split->gap;
        plan.pieces.push_back(std::move(piece));
        at += size;
        ++next;
    }
    return plan;
}

} // namespace vmeter
