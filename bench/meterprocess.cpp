#include "bench/meterprocess.h"

#include "bench/analysis.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr std::int64_t StartTimeoutUs = 5'000'000;
constexpr std::int64_t StopTimeoutUs = 3'000'000;

std::string SystemError(const char* what, int code)
{
    return std::string(what) + ": " + std::strerror(code);
}

} // namespace

MeterProcess::~MeterProcess()
{
    Stop();
}

bool MeterProcess::Start(const Options& options, std::string* error)
{
    Stop();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = SystemError("pipe", errno);
        return false;
    }
    const std::string baud = std::to_string(options.baud);
    const std::string delay = std::to_string(options.delayMs);
    // The default signal, a slow wave, changes the shown value from one reading to the next.
    std::vector<std::string> args = {
        ORVANTA_VIRTUAL_METER, "--model", "4", "--baud", baud, "--delay", delay, "--log",
        options.logPath};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // Forked by hand rather than spawned, so that the meter ends with this process even when it
    // is killed. Between fork and exec only async-signal-safe calls.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        *error = SystemError("fork", forkError);
        return false;
    }
    pid_ = pid;
    output_ = pipeFds[0];

    // The first line of its output is the path to open.
    std::string line;
    const std::int64_t deadline = NowUs() + StartTimeoutUs;
    while (line.find('\n') == std::string::npos) {
        const std::int64_t left = deadline - NowUs();
        pollfd pfd{output_, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left / 1000) + 1) <= 0) {
            if (left > 0 && errno == EINTR)
                continue;
            *error = "the virtual meter told no path in time";
            Stop();
            return false;
        }
        char buffer[256];
        const ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0) {
            *error = "the virtual meter ended at start";
            Stop();
            return false;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    path_ = line.substr(0, line.find('\n'));
    return true;
}

void MeterProcess::Stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const std::int64_t deadline = NowUs() + StopTimeoutUs;
        for (;;) {
            const pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR))
                break;
            if (NowUs() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            ::usleep(10'000);
        }
        pid_ = -1;
    }
    if (output_ >= 0)
        ::close(output_);
    output_ = -1;
    path_.clear();
}

} // namespace bench
