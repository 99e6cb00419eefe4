#include "bench/reference.h"

#include "bench/analysis.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr std::uint8_t Request[] = {0x41, 0x7F, 0x70};
constexpr std::size_t ReplyLength = 9;
constexpr std::int64_t ReplyTimeoutUs = 500'000;
constexpr std::size_t GiveUpAfter = 3; // timeouts in a row

// CPU time and context switches of the calling thread.
struct Usage
{
    std::int64_t cpuUs = 0;
    long switches = 0;

    static Usage Now()
    {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return {(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000LL +
                    usage.ru_utime.tv_usec + usage.ru_stime.tv_usec,
                usage.ru_nvcsw + usage.ru_nivcsw};
    }
};

bool OpenRaw(const std::string& path, int baud, int* fd, std::string* error)
{
    *fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (*fd < 0 || tcgetattr(*fd, &tio) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = baud == 4800 ? B4800 : B9600;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(*fd, TCSANOW, &tio) != 0 || tcflush(*fd, TCIOFLUSH) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool SendRequest(int fd)
{
    std::size_t done = 0;
    while (done < sizeof Request) {
        const ssize_t n = ::write(fd, Request + done, sizeof Request - done);
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t ReadReply(int fd)
{
    std::uint8_t reply[ReplyLength];
    std::size_t got = 0;
    const std::int64_t deadline = NowUs() + ReplyTimeoutUs;
    while (got < ReplyLength) {
        const std::int64_t left = deadline - NowUs();
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>((left + 999) / 1000)) <= 0)
            continue;
        const ssize_t n = ::read(fd, reply + got, ReplyLength - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return got;
}

} // namespace

ReferenceRun RunReference(const std::string& path, int baud, std::size_t requests)
{
    ReferenceRun run;
    int fd = -1;
    if (!OpenRaw(path, baud, &fd, &run.error)) {
        if (fd >= 0)
            ::close(fd);
        return run;
    }
    Usage start;
    Usage end;
    std::int64_t wallStart = -1;
    std::int64_t wallEnd = 0;
    std::size_t replies = 0;
    std::size_t inARow = 0;
    for (std::size_t i = 0; i < requests; ++i) {
        if (!SendRequest(fd)) {
            run.error = path + ": " + std::strerror(errno);
            break;
        }
        if (ReadReply(fd) < ReplyLength) {
            ++run.timeouts;
            if (++inARow >= GiveUpAfter) {
                run.error = "no reply to " + std::to_string(inARow) + " requests in a row";
                break;
            }
        } else {
            inARow = 0;
            ++replies;
            end = Usage::Now();
            wallEnd = NowUs();
            if (wallStart < 0) {
                start = end;
                wallStart = wallEnd;
            }
        }
        if (i + 1 < requests)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::close(fd);
    if (replies > 1 && wallEnd > wallStart) {
        run.cpuPercent = 100.0 * static_cast<double>(end.cpuUs - start.cpuUs) /
                         static_cast<double>(wallEnd - wallStart);
        run.switchesPerCycle =
            static_cast<double>(end.switches - start.switches) / static_cast<double>(replies - 1);
    }
    run.ok = run.error.empty();
    return run;
}

} // namespace bench
