// orvanta-bench: the poll cycle's timing, the pickup latency, CPU time and memory of the program
// against a virtual meter, beside a plain blocking poller on the same kind of line. Prints a
// Markdown table; makes no assertions.

#include "bench/analysis.h"
#include "bench/meterprocess.h"
#include "bench/programrun.h"
#include "bench/reference.h"
#include "platform/application.h"

#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

const char Usage[] = R"(Usage: orvanta-bench [OPTION]...
Polls a virtual meter with the program's main window (offscreen) and with a plain blocking
poller, at each line speed and meter reply delay, and prints the figures as a Markdown table.

  --cycles N        poll cycles per case (default 300)
  --cases LIST      the cases, BAUD:DELAY_MS separated by commas
                    (default 9600:0,9600:20,4800:0,4800:20)
  --no-reference    leave out the plain poller
  --keep-logs       keep the virtual meter's logs and tell where they are
  --help            show this help
)";

struct Case
{
    int baud;
    int delayMs;
};

struct Settings
{
    std::size_t cycles = 300;
    std::vector<Case> cases = {{9600, 0}, {9600, 20}, {4800, 0}, {4800, 20}};
    bool reference = true;
    bool keepLogs = false;
};

bool ParseCount(const char* text, long min, long max, long* out)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool ParseCases(const std::string& text, std::vector<Case>* cases)
{
    cases->clear();
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const std::size_t colon = item.find(':');
        long baud = 0;
        long delay = 0;
        if (colon == std::string::npos ||
            !ParseCount(item.substr(0, colon).c_str(), 4800, 9600, &baud) ||
            (baud != 4800 && baud != 9600) ||
            !ParseCount(item.substr(colon + 1).c_str(), 0, 400, &delay))
            return false;
        cases->push_back({static_cast<int>(baud), static_cast<int>(delay)});
    }
    return !cases->empty();
}

// Exit status, or -1 to go on.
int ParseArguments(int argc, char** argv, Settings* settings)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long n = 0;
        if (arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "--cycles" && i + 1 < argc && ParseCount(argv[i + 1], 1, 100000, &n)) {
            settings->cycles = static_cast<std::size_t>(n);
            ++i;
        } else if (arg == "--cases" && i + 1 < argc && ParseCases(argv[i + 1], &settings->cases)) {
            ++i;
        } else if (arg == "--no-reference") {
            settings->reference = false;
        } else if (arg == "--keep-logs") {
            settings->keepLogs = true;
        } else {
            std::fprintf(stderr, "orvanta-bench: bad option or value: %s\n%s", arg.c_str(), Usage);
            return 2;
        }
    }
    return -1;
}

std::string CpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string Now()
{
    char text[64] = {};
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", &local);
    return text;
}

// The first three fields of /proc/loadavg: other work on the machine skews every figure.
std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string Fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Row
{
    Case c;
    std::string poller;
    bench::CycleFigures figures;
    std::optional<bench::Summary> pickup;
    double cpuPercent = 0;
    double switchesPerCycle = 0;
    std::optional<double> peakRssMb;
    // The program only.
    std::optional<bench::GapBreakdown> breakdown;
    double uiCpuPercent = 0;
    double uiSwitchesPerCycle = 0;
};

void PrintHeader()
{
    std::printf(
        "| Baud | Delay ms | Poller | Cycles | Period median ms | Period p99 ms | "
        "Period max ms | Ideal ms | Median/ideal | p99/ideal | Median/floor | "
        "Gap median ms | Gap p99 ms | Pickup median ms | Pickup p99 ms | CPU %% of a core | "
        "Wake-ups per cycle | Peak RSS MB |\n");
    std::printf("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
                "---:|---:|\n");
}

void PrintRow(const Row& row)
{
    const double ideal = bench::IdealPeriodMs(row.c.baud, row.c.delayMs);
    const double floor = bench::PtyFloorMs(row.c.baud, row.c.delayMs);
    const bench::Summary& p = row.figures.periodMs;
    const bench::Summary& g = row.figures.gapMs;
    const std::string dash = "—";
    std::printf("| %d | %d | %s | %zu | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s "
                "| %s | %s "
                "|\n",
                row.c.baud, row.c.delayMs, row.poller.c_str(), row.figures.cycles,
                Fixed(p.median, 2).c_str(), Fixed(p.p99, 2).c_str(), Fixed(p.max, 2).c_str(),
                Fixed(ideal, 2).c_str(), Fixed(p.median / ideal, 4).c_str(),
                Fixed(p.p99 / ideal, 4).c_str(), Fixed(p.median / floor, 4).c_str(),
                Fixed(g.median, 2).c_str(), Fixed(g.p99, 2).c_str(),
                row.pickup ? Fixed(row.pickup->median, 3).c_str() : dash.c_str(),
                row.pickup ? Fixed(row.pickup->p99, 3).c_str() : dash.c_str(),
                Fixed(row.cpuPercent, 3).c_str(), Fixed(row.switchesPerCycle, 1).c_str(),
                row.peakRssMb ? Fixed(*row.peakRssMb, 1).c_str() : dash.c_str());
}

std::string MedianP99(const bench::Summary& s)
{
    return Fixed(s.median, 3) + " / " + Fixed(s.p99, 3);
}

void PrintBreakdown(const std::vector<Row>& rows)
{
    std::printf("| Baud | Delay ms | Reply to trigger ms | Trigger to value shown ms | "
                "Value shown to next request ms | CPU %% UI thread | CPU %% other threads | "
                "Wake-ups per cycle, UI thread |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        if (!row.breakdown)
            continue;
        const bench::GapBreakdown& b = *row.breakdown;
        std::printf("| %d | %d | %s | %s | %s | %s | %s | %s |\n", row.c.baud, row.c.delayMs,
                    MedianP99(b.deliveryMs).c_str(), MedianP99(b.pickupMs).c_str(),
                    MedianP99(b.rearmMs).c_str(), Fixed(row.uiCpuPercent, 3).c_str(),
                    Fixed(row.cpuPercent - row.uiCpuPercent, 3).c_str(),
                    Fixed(row.uiSwitchesPerCycle, 1).c_str());
    }
}

std::string CaseName(const Case& c)
{
    return std::to_string(c.baud) + " baud, " + std::to_string(c.delayMs) + " ms";
}

} // namespace

int main(int argc, char** argv)
{
    const std::int64_t mainStartUs = bench::NowUs();
    Settings settings;
    if (const int status = ParseArguments(argc, argv, &settings); status >= 0)
        return status;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    platform::Application app(argc, argv);
    const std::string startDate = Now();
    const std::string startLoad = LoadAverage();

    const bench::StartupRun startup = bench::MeasureStartup(mainStartUs);

    std::string dir = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                      "/orvanta-bench-XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::perror("orvanta-bench: mkdtemp");
        return 1;
    }

    std::vector<Row> rows;
    std::vector<std::string> notes;
    std::vector<std::string> logs;
    const std::size_t requests = settings.cycles + 1;
    for (const Case& c : settings.cases) {
        for (int pass = 0; pass < (settings.reference ? 2 : 1); ++pass) {
            const bool program = pass == 0;
            Row row{c, program ? "Orvanta" : "reference", {}, {}, 0, 0, {}, {}, 0, 0};
            const std::string what = CaseName(c) + ", " + row.poller;
            std::fprintf(stderr, "orvanta-bench: %s...\n", what.c_str());
            const std::string log = dir + "/" + std::to_string(c.baud) + "-" +
                                    std::to_string(c.delayMs) + "-" + row.poller + ".log";
            logs.push_back(log);
            bench::MeterProcess meter;
            std::string error;
            if (!meter.Start({c.baud, c.delayMs, log}, &error)) {
                notes.push_back(what + ": " + error);
                continue;
            }
            bench::ProgramRun programRun;
            if (program) {
                programRun = bench::RunProgram(meter.Path(), c.baud, settings.cycles);
                const bench::ProgramRun& run = programRun;
                row.pickup = bench::Summarize(run.pickupMs);
                row.cpuPercent = run.cpuPercent;
                row.uiCpuPercent = run.uiCpuPercent;
                row.switchesPerCycle = run.switchesPerCycle;
                row.uiSwitchesPerCycle = run.uiSwitchesPerCycle;
                row.peakRssMb = run.peakRssMb;
                if (!run.ok)
                    notes.push_back(what + ": " + run.error);
                if (run.unmatched > 0)
                    notes.push_back(what + ": no pickup sample for " +
                                    std::to_string(run.unmatched) +
                                    " reading(s) that left the shown text unchanged");
            } else {
                const bench::ReferenceRun run = bench::RunReference(meter.Path(), c.baud, requests);
                row.cpuPercent = run.cpuPercent;
                row.switchesPerCycle = run.switchesPerCycle;
                if (!run.ok)
                    notes.push_back(what + ": " + run.error);
                if (run.timeouts > 0)
                    notes.push_back(what + ": " + std::to_string(run.timeouts) + " time-outs");
            }
            meter.Stop();
            bench::MeterLog meterLog;
            if (!bench::ReadMeterLog(log, &meterLog, &error)) {
                notes.push_back(what + ": " + error);
                continue;
            }
            row.figures = bench::AnalyseCycles(meterLog, settings.cycles);
            if (program)
                row.breakdown = bench::BreakDownGaps(meterLog, settings.cycles,
                                                     programRun.completeUs, programRun.shownUs);
            if (row.figures.cycles < settings.cycles)
                notes.push_back(what + ": only " + std::to_string(row.figures.cycles) + " cycles");
            if (row.figures.unanswered > 0)
                notes.push_back(what + ": " + std::to_string(row.figures.unanswered) +
                                " requests unanswered");
            if (meterLog.otherEvents > 0)
                notes.push_back(what + ": " + std::to_string(meterLog.otherEvents) +
                                " other meter events (dropped requests, faults)");
            rows.push_back(std::move(row));
        }
    }

    utsname system{};
    uname(&system);
    std::printf("Machine: %s, nproc %ld; Linux %s; Qt %s. Date: %s. Load average at start %s, at "
                "end %s.\n\n",
                CpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN), system.release, qVersion(),
                startDate.c_str(), startLoad.c_str(), LoadAverage().c_str());
    if (startup.ok)
        std::printf(
            "First activation of the main window (%s, from the start of main): %.1f ms%s.\n\n",
            qgetenv("QT_QPA_PLATFORM").constData(), startup.firstActivationMs,
            startup.neededActivateWindow ? " (activated by activateWindow())" : "");
    else
        std::printf("First activation of the main window: %s.\n\n", startup.error.c_str());
    std::printf("%zu cycles per case; a virtual meter process (model 4, a slow wave) paced at the "
                "line speed on a pseudo-terminal.\n\n",
                settings.cycles);
    PrintHeader();
    for (const Row& row : rows)
        PrintRow(row);
    std::printf(
        "\nIdeal: 100 ms + the 3-byte request and the 9-byte reply at 10 bit times a byte + the "
        "meter's delay. Floor: the ideal less the request's bytes, which a pseudo-terminal hands "
        "over at once, so the best a poller can do on it. Gap: the reply's last byte to the next "
        "request (ideal 100 ms). Pickup: the port's trigger that finds the reply complete to the "
        "value shown. CPU: the poller's process (Orvanta) or thread (reference) while polling; "
        "the meter runs in a process of its own. Wake-ups: context switches of the same threads "
        "per cycle. Peak RSS: the benchmark process so far.\n");
    std::printf("\nWhere Orvanta's gap goes, median / p99:\n\n");
    PrintBreakdown(rows);
    for (const std::string& note : notes)
        std::printf("\n- %s", note.c_str());
    if (!notes.empty())
        std::printf("\n");

    if (settings.keepLogs) {
        std::printf("\nMeter logs: %s\n", dir.c_str());
    } else {
        for (const std::string& log : logs)
            std::remove(log.c_str());
        ::rmdir(dir.c_str());
    }
    return 0;
}
