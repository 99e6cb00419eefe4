// virtual-meter: a simulated panel meter on a pseudo-terminal, for running and testing the
// program without the instrument.

#include "tools/virtual-meter/virtual_meter.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <getopt.h>
#include <signal.h>
#include <time.h>

namespace {

const char Usage[] = R"(Usage: virtual-meter [OPTION]...
Serves a simulated panel meter on a new pseudo-terminal (or on a serial device) and prints the
path to open on one line of standard output; with no --link, a new path is printed each time
the device comes back after a hang-up. Runs until SIGINT or SIGTERM.

Meter:
  --model N          model 1..5 (default 4): 1 MK-21/1 (A), 2 MK-21/2 (A), 3 MK-23/1 (mV),
                     4 MK-23/2 (V), 5 MK-23/3 (V)
  --range N          range number to start on (default: the model's first, 1 for model 3)
  --auto             start with automatic ranging on
  --value X          fixed measured value in the model's unit (default: a sine wave with a
                     20 s period, inside the range's full scale, or over the model's whole
                     span with automatic ranging)
  --baud B           the meter's line speed, 4800 or 9600 (default 9600)
  --no-baud-check    answer whatever speed the program set on the pty (by default requests
                     sent at another speed are heard as garbage and not answered)
  --no-pace          write each reply at once instead of one byte per character time
  --delay MS         delay from a request's last byte to the reply (default 10)

Line:
  --device PATH      serve on this serial device (e.g. a null-modem cable) instead of a pty;
                     set raw at the meter's speed, no speed check
  --link PATH        keep a symlink at PATH pointing at the current pty, replaced atomically
                     and removed at exit
  --log FILE         log every request and reply to FILE, or to standard error with -

Faults (each --fault strikes the next reply only, unless --every or --random follows it):
  --fault KIND[:PARAMS]
                     add a fault, one of
                       noanswer              no reply at all
                       late[:MS]             reply MS ms after the request (default 600)
                       cut:K                 only the first K bytes of the reply
                       corrupt[:I[,MASK]]    byte I xor MASK (default: middle byte, FF)
                       stray-before[:HEX]    bytes before the reply (default 00)
                       stray-after[:HEX]     bytes after the reply (default 55AA)
                       split[:N|A+B+..][/MS] reply in pieces of N bytes, or of A, B, ...
                                             bytes, MS ms apart (default 3/50)
                       echo                  the request echoed before the reply
                       echo-only             the echo and no reply
                       burst[:LEN[,HEX]]     LEN bytes (default 300) instead of the reply,
                                             HEX repeated (default: the reply repeated)
                       hangup[:MS]           the device goes away instead of replying; back
                                             after MS ms when given
  --every N          the fault just before strikes every Nth reply
  --random P         the fault just before strikes each reply with probability P (0..1)
  --seed S           seed for --random (default 1); the same seed repeats the same choices
  --hangup-after MS  the device goes away MS ms after start
  --return-after MS  and comes back MS ms after that (on the same --link path)

  --help             show this help

Log format, one line per event:
  <usec> <event> [<word>|<key>=<value>]... [<hex byte>]...
<usec> is CLOCK_MONOTONIC in microseconds. Events:
  rx 41 7F 70                   request taken for an answer (time of its last byte)
  rx-dropped crc|unknown|partial <bytes>
                                bad CRC, a byte no request starts with, a frame cut
                                short by silence: no answer
  rx-garbage baud <bytes>       heard at another line speed: no answer
  fault <kind> [<key>=<value>]  a fault striking the request just logged
  tx first=<usec> <bytes>       what went out for a request, at the time its last byte was
                                written; first= the time of its first byte
  tx-raw first=<usec> <bytes>   bytes sent outside a reply
  hangup                        the device went away
  comeback <path>               the device is back
A request that gets nothing back has an rx line and no tx line.
)";

enum OptionId
{
    OptModel = 1000,
    OptRange,
    OptAuto,
    OptValue,
    OptBaud,
    OptNoBaudCheck,
    OptNoPace,
    OptDelay,
    OptDevice,
    OptLink,
    OptLog,
    OptFault,
    OptEvery,
    OptRandom,
    OptSeed,
    OptHangUpAfter,
    OptReturnAfter,
    OptHelp,
};

const option LongOptions[] = {
    {"model", required_argument, nullptr, OptModel},
    {"range", required_argument, nullptr, OptRange},
    {"auto", no_argument, nullptr, OptAuto},
    {"value", required_argument, nullptr, OptValue},
    {"baud", required_argument, nullptr, OptBaud},
    {"no-baud-check", no_argument, nullptr, OptNoBaudCheck},
    {"no-pace", no_argument, nullptr, OptNoPace},
    {"delay", required_argument, nullptr, OptDelay},
    {"device", required_argument, nullptr, OptDevice},
    {"link", required_argument, nullptr, OptLink},
    {"log", required_argument, nullptr, OptLog},
    {"fault", required_argument, nullptr, OptFault},
    {"every", required_argument, nullptr, OptEvery},
    {"random", required_argument, nullptr, OptRandom},
    {"seed", required_argument, nullptr, OptSeed},
    {"hangup-after", required_argument, nullptr, OptHangUpAfter},
    {"return-after", required_argument, nullptr, OptReturnAfter},
    {"help", no_argument, nullptr, OptHelp},
    {nullptr, 0, nullptr, 0},
};

bool ToLong(const char* text, long min, long max, long* out)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool ToDouble(const char* text, double* out)
{
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value))
        return false;
    *out = value;
    return true;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "virtual-meter: %s\nTry 'virtual-meter --help'.\n", message.c_str());
    return 2;
}

std::int64_t NowMs()
{
    return vmeter::MonotonicMicros() / 1000;
}

} // namespace

int main(int argc, char** argv)
{
    vmeter::Options options;
    std::vector<std::pair<vmeter::Fault, vmeter::Schedule>> faults;
    std::string logPath;
    long hangUpAfter = -1;
    long returnAfter = -1;

    opterr = 0;
    for (;;) {
        const int id = getopt_long(argc, argv, "", LongOptions, nullptr);
        if (id == -1)
            break;
        const std::string name = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        long n = 0;
        double x = 0;
        switch (id) {
        case OptModel:
            if (!ToLong(optarg, 1, vmeter::ModelCount, &n))
                return UsageError("--model takes 1..5");
            options.model = static_cast<int>(n);
            break;
        case OptRange:
            if (!ToLong(optarg, 0, vmeter::MaxRanges - 1, &n))
                return UsageError("--range takes 0..7");
            options.range = static_cast<int>(n);
            break;
        case OptAuto:
            options.autoRange = true;
            break;
        case OptValue:
            if (!ToDouble(optarg, &x))
                return UsageError("--value takes a number");
            options.value = x;
            break;
        case OptBaud:
            if (!ToLong(optarg, 0, 1'000'000, &n) || (n != 4800 && n != 9600))
                return UsageError("--baud takes 4800 or 9600");
            options.baud = static_cast<int>(n);
            break;
        case OptNoBaudCheck:
            options.baudCheck = false;
            break;
        case OptNoPace:
            options.pace = false;
            break;
        case OptDelay:
            if (!ToLong(optarg, 0, 3'600'000, &n))
                return UsageError("--delay takes milliseconds");
            options.replyDelay = std::chrono::milliseconds(n);
            break;
        case OptDevice:
            options.device = optarg;
            break;
        case OptLink:
            options.link = optarg;
            break;
        case OptLog:
            logPath = optarg;
            break;
        case OptFault: {
            std::string error;
            std::optional<vmeter::Fault> fault = vmeter::ParseFault(optarg, &error);
            if (!fault)
                return UsageError(error);
            faults.emplace_back(*fault, vmeter::Schedule::Once());
            break;
        }
        case OptEvery:
            if (faults.empty())
                return UsageError("--every must follow a --fault");
            if (!ToLong(optarg, 1, 1'000'000, &n))
                return UsageError("--every takes a count of 1 or more");
            faults.back().second = vmeter::Schedule::Every(static_cast<unsigned>(n));
            break;
        case OptRandom: {
            if (faults.empty())
                return UsageError("--random must follow a --fault");
            if (!ToDouble(optarg, &x) || x < 0.0 || x > 1.0)
                return UsageError("--random takes a probability 0..1");
            const std::uint64_t seed = faults.back().second.seed;
            faults.back().second = vmeter::Schedule::Random(x, seed);
            break;
        }
        case OptSeed:
            if (faults.empty())
                return UsageError("--seed must follow a --fault");
            if (!ToLong(optarg, 0, 0x7FFFFFFFL, &n))
                return UsageError("--seed takes a whole number");
            faults.back().second.seed = static_cast<std::uint64_t>(n);
            break;
        case OptHangUpAfter:
            if (!ToLong(optarg, 0, 86'400'000, &n))
                return UsageError("--hangup-after takes milliseconds");
            hangUpAfter = n;
            break;
        case OptReturnAfter:
            if (!ToLong(optarg, 0, 86'400'000, &n))
                return UsageError("--return-after takes milliseconds");
            returnAfter = n;
            break;
        case OptHelp:
            std::fputs(Usage, stdout);
            return 0;
        default:
            return UsageError("unknown or incomplete option " + name);
        }
    }
    if (optind < argc)
        return UsageError(std::string("unexpected argument ") + argv[optind]);
    if (options.range >= 0 && vmeter::FullScale(options.model, options.range) <= 0.0)
        return UsageError("model " + std::to_string(options.model) + " has no range " +
                          std::to_string(options.range));

    FILE* logFile = nullptr;
    if (logPath == "-") {
        logFile = stderr;
    } else if (!logPath.empty()) {
        logFile = std::fopen(logPath.c_str(), "w");
        if (!logFile) {
            std::fprintf(stderr, "virtual-meter: %s: %s\n", logPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    if (logFile) {
        options.logLine = [logFile](const std::string& line) {
            std::fprintf(logFile, "%s\n", line.c_str());
            std::fflush(logFile);
        };
    }
    const bool stablePath = !options.link.empty();

    // Blocked before the serving thread exists, so that it inherits the mask and the signals
    // reach sigtimedwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    vmeter::VirtualMeter meter(std::move(options));
    for (const auto& [fault, schedule] : faults)
        meter.InjectFault(fault, schedule);
    std::string error;
    if (!meter.Start(&error)) {
        std::fprintf(stderr, "virtual-meter: %s\n", error.c_str());
        return 1;
    }
    std::string shown = meter.Path();
    std::printf("%s\n", shown.c_str());
    std::fflush(stdout);

    std::int64_t hangUpAt = hangUpAfter >= 0 ? NowMs() + hangUpAfter : -1;
    for (;;) {
        const timespec tick{0, 100'000'000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM)
            break;
        if (hangUpAt >= 0 && NowMs() >= hangUpAt) {
            meter.HangUp(std::chrono::milliseconds(returnAfter));
            hangUpAt = -1;
        }
        if (!stablePath) {
            const std::string path = meter.SlavePath();
            if (!path.empty() && path != shown) {
                shown = path;
                std::printf("%s\n", shown.c_str());
                std::fflush(stdout);
            }
        }
    }
    meter.Stop();
    if (logFile && logFile != stderr)
        std::fclose(logFile);
    return 0;
}
