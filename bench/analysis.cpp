#include "bench/analysis.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <time.h>

namespace bench {

namespace {

constexpr double PollPeriodMs = 100.0;
constexpr int RequestBytes = 3;
constexpr int ReplyBytes = 9;

bool ParseInt(const std::string& text, std::int64_t* out)
{
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return false;
    *out = value;
    return true;
}

void ReadHexBytes(std::istringstream& in, std::vector<std::uint8_t>* bytes)
{
    std::string word;
    while (in >> word)
        bytes->push_back(static_cast<std::uint8_t>(std::strtoul(word.c_str(), nullptr, 16)));
}

} // namespace

std::int64_t NowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

bool ReadMeterLog(const std::string& path, MeterLog* log, std::string* error)
{
    std::ifstream file(path);
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    *log = MeterLog{};
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::string time;
        std::string event;
        MeterEvent entry;
        if (!(in >> time >> event) || !ParseInt(time, &entry.timeUs)) {
            ++log->otherEvents;
            continue;
        }
        if (event == "rx") {
            ReadHexBytes(in, &entry.bytes);
        } else if (event == "tx") {
            std::string first;
            in >> first;
            if (first.rfind("first=", 0) != 0 || !ParseInt(first.substr(6), &entry.firstUs)) {
                ++log->otherEvents;
                continue;
            }
            entry.reply = true;
            ReadHexBytes(in, &entry.bytes);
        } else {
            ++log->otherEvents;
            continue;
        }
        log->events.push_back(std::move(entry));
    }
    return true;
}

Summary Summarize(std::vector<double> samples)
{
    Summary s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    s.p99 = samples[std::max<std::size_t>(rank, 1) - 1];
    s.max = samples.back();
    return s;
}

namespace {

// A request with the reply logged after it, if any, before the next request.
struct Exchange
{
    std::int64_t requestUs;
    std::int64_t replyEndUs; // -1: no reply
};

std::vector<Exchange> Exchanges(const MeterLog& log)
{
    std::vector<Exchange> exchanges;
    for (const MeterEvent& e : log.events) {
        if (!e.reply)
            exchanges.push_back({e.timeUs, -1});
        else if (!exchanges.empty() && exchanges.back().replyEndUs < 0)
            exchanges.back().replyEndUs = e.timeUs;
    }
    return exchanges;
}

double Ms(std::int64_t us)
{
    return static_cast<double>(us) / 1000.0;
}

} // namespace

CycleFigures AnalyseCycles(const MeterLog& log, std::size_t cycles)
{
    const std::vector<Exchange> exchanges = Exchanges(log);
    CycleFigures figures;
    std::vector<double> periods;
    std::vector<double> gaps;
    for (std::size_t i = 0; i + 1 < exchanges.size() && i < cycles; ++i) {
        const Exchange& now = exchanges[i];
        const std::int64_t nextUs = exchanges[i + 1].requestUs;
        periods.push_back(Ms(nextUs - now.requestUs));
        if (now.replyEndUs >= 0)
            gaps.push_back(Ms(nextUs - now.replyEndUs));
        else
            ++figures.unanswered;
    }
    figures.cycles = periods.size();
    figures.periodMs = Summarize(std::move(periods));
    figures.gapMs = Summarize(std::move(gaps));
    return figures;
}

GapBreakdown BreakDownGaps(const MeterLog& log, std::size_t cycles,
                           const std::vector<std::int64_t>& completeUs,
                           const std::vector<std::int64_t>& shownUs)
{
    const std::vector<Exchange> exchanges = Exchanges(log);
    std::vector<double> delivery;
    std::vector<double> pickup;
    std::vector<double> rearm;
    std::size_t k = 0; // the next reading of the program not yet matched
    for (std::size_t i = 0; i + 1 < exchanges.size() && i < cycles; ++i) {
        const std::int64_t replyUs = exchanges[i].replyEndUs;
        const std::int64_t nextUs = exchanges[i + 1].requestUs;
        if (replyUs < 0)
            continue;
        while (k < completeUs.size() && completeUs[k] < replyUs)
            ++k;
        if (k >= completeUs.size())
            break;
        if (completeUs[k] >= nextUs)
            continue;
        delivery.push_back(Ms(completeUs[k] - replyUs));
        if (shownUs[k] >= 0 && shownUs[k] < nextUs) {
            pickup.push_back(Ms(shownUs[k] - completeUs[k]));
            rearm.push_back(Ms(nextUs - shownUs[k]));
        }
        ++k;
    }
    return {Summarize(std::move(delivery)), Summarize(std::move(pickup)),
            Summarize(std::move(rearm))};
}

double CharTimeMs(int baud)
{
    return 10.0 * 1000.0 / baud;
}

double IdealPeriodMs(int baud, int delayMs)
{
    return PollPeriodMs + (RequestBytes + ReplyBytes) * CharTimeMs(baud) + delayMs;
}

double PtyFloorMs(int baud, int delayMs)
{
    return PollPeriodMs + ReplyBytes * CharTimeMs(baud) + delayMs;
}

} // namespace bench
