#pragma once

#include <string>

#include <sys/types.h>

namespace bench {

// The `virtual-meter` program run as a child process, so that the CPU time of this process is
// the poller's alone.
class MeterProcess
{
public:
    struct Options
    {
        int baud = 9600;
        int delayMs = 0;
        std::string logPath;
    };

    MeterProcess() = default;
    ~MeterProcess();
    MeterProcess(const MeterProcess&) = delete;
    MeterProcess& operator=(const MeterProcess&) = delete;

    // Returns once the meter serves and has told its device path.
    bool Start(const Options& options, std::string* error);
    const std::string& Path() const { return path_; }
    // Ends the meter and waits for it, so that its log is complete. Idempotent.
    void Stop();

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string path_;
};

} // namespace bench
