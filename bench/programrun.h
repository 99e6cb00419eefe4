#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The program's own windows driven in this process, as the operator drives them.

namespace bench {

struct StartupRun
{
    bool ok = false;
    std::string error;
    double firstActivationMs = 0; // from the start of main() to the worker's creation
    bool neededActivateWindow = false;
};

// Creates both windows and shows the main one, as the program's main() does, and waits for its
// first activation. The windows are gone again on return.
StartupRun MeasureStartup(std::int64_t mainStartUs);

struct ProgramRun
{
    bool ok = false;
    std::string error;
    std::vector<double> pickupMs; // complete reply seen by the trigger to the value shown
    // Per reading, CLOCK_MONOTONIC µs: the trigger that found the reply complete, and the value
    // shown (-1 when the text stayed the same), to be matched with the meter's log.
    std::vector<std::int64_t> completeUs;
    std::vector<std::int64_t> shownUs;
    std::size_t unmatched = 0;    // readings that left the text as it was: no pickup sample
    std::size_t messageBoxes = 0; // error boxes that came up
    double cpuPercent = 0;        // of one core, all threads, from the first reading on
    double uiCpuPercent = 0;      // the same, the UI thread alone
    double switchesPerCycle = 0;  // context switches of all threads per poll cycle
    double uiSwitchesPerCycle = 0;
    double peakRssMb = 0; // of this process so far
};

// Polls the meter at `path` for `cycles` cycles with the program's main window (model 4, the
// port at `baud`), then stops it with Stop and ends the windows.
ProgramRun RunProgram(const std::string& path, int baud, std::size_t cycles);

} // namespace bench
