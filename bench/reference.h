#pragma once

#include <cstddef>
#include <string>

namespace bench {

struct ReferenceRun
{
    bool ok = false;
    std::string error;
    std::size_t timeouts = 0; // requests with no complete reply within 500 ms
    double cpuPercent = 0;    // of one core, from the first reply to the last
    double switchesPerCycle = 0;
};

// The simplest poller a user could write: a blocking loop on the raw line that sends the
// measurement request, waits for the 9 reply bytes and sleeps 100 ms, `requests` times.
ReferenceRun RunReference(const std::string& path, int baud, std::size_t requests);

} // namespace bench
