#include "tools/virtual-meter/virtual_meter.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace vmeter {

namespace {

using std::chrono::milliseconds;

constexpr std::int64_t NsPerMs = 1'000'000;
constexpr std::int64_t TenBitsNs = 10'000'000'000LL; // one character at 1 baud
// A paced byte written later than this restarts the schedule; about a fifth of a character at
// 9600, well above the usual oversleep of an absolute sleep.
constexpr std::int64_t PacingToleranceNs = 200'000;

std::int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

timespec ToTimespec(std::int64_t ns)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return ts;
}

struct SpeedEntry
{
    speed_t code;
    int baud;
};

constexpr SpeedEntry Speeds[] = {
    {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},     {B150, 150},
    {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

int BaudOf(speed_t code)
{
    for (const SpeedEntry& entry : Speeds) {
        if (entry.code == code)
            return entry.baud;
    }
    return 0;
}

speed_t SpeedCode(int baud)
{
    for (const SpeedEntry& entry : Speeds) {
        if (entry.baud == baud)
            return entry.code;
    }
    return B9600;
}

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool SetCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool MakeRaw(int fd, int baud, std::string* error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = SystemError("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, SpeedCode(baud));
    cfsetospeed(&tio, SpeedCode(baud));
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = SystemError("tcsetattr");
        return false;
    }
    return true;
}

} // namespace

const char* EventName(Event event)
{
    switch (event) {
    case Event::Rx:
        return "rx";
    case Event::RxBadCrc:
        return "rx-dropped crc";
    case Event::RxUnknown:
        return "rx-dropped unknown";
    case Event::RxPartial:
        return "rx-dropped partial";
    case Event::RxGarbage:
        return "rx-garbage baud";
    case Event::Fault:
        return "fault";
    case Event::Tx:
        return "tx";
    case Event::TxRaw:
        return "tx-raw";
    case Event::HangUp:
        return "hangup";
    case Event::ComeBack:
        return "comeback";
    }
    return "?";
}

std::string LogEntry::Line() const
{
    std::string line = std::to_string(timeUs) + ' ' + EventName(event);
    if (event == Event::Tx || event == Event::TxRaw)
        line += " first=" + std::to_string(firstUs);
    if (!detail.empty())
        line += ' ' + detail;
    if (!bytes.empty())
        line += ' ' + Hex(bytes);
    return line;
}

std::int64_t MonotonicMicros()
{
    return NowNs() / 1000;
}

struct VirtualMeter::Impl
{
    struct Command
    {
        enum class Kind
        {
            HangUp,
            ComeBack,
        };
        Kind kind;
        milliseconds returnAfter{-1};
        bool done = false;
        bool ok = false;
        std::string error;
    };

    enum class Sent
    {
        Done,
        Interrupted, // stopping, or the device is to go away now
        Lost,        // the line failed under the write
    };

    explicit Impl(Options o)
        : options(std::move(o)), model(options.model), replyDelay(options.replyDelay)
    {
        if (options.range >= 0)
            model.SetRange(options.range);
        model.SetAutoRange(options.autoRange);
        if (options.value)
            model.SetValue(*options.value);
        if (options.baud <= 0)
            options.baud = 9600;
    }

    bool Start(std::string* error);
    void Stop();
    bool RunCommand(const std::shared_ptr<Command>& command);
    int LineBaud() const;
    void Wake();

    // Serving thread.
    void Serve();
    void RunCommands();
    void SendQueuedRaw();
    void PollOnce(std::int64_t deadlineNs);
    void ReadInput();
    void CheckSilence(std::int64_t nowNs);
    void OnByte(std::uint8_t byte, std::int64_t nowNs);
    bool HeardAtWrongSpeed() const;
    void HandleFrame(const Bytes& request, std::int64_t rxNs);
    Sent Transmit(const Plan& plan, std::int64_t rxNs, Event event);
    bool WaitUntil(std::int64_t deadlineNs);
    Sent Write(const std::uint8_t* data, std::size_t length);
    void DoHangUp(milliseconds returnAfter);
    bool DoComeBack(std::string* error);
    bool OpenLine(std::string* error);
    void CloseLine();
    bool PointLink(const std::string& target, std::string* error);
    void RemoveLink();
    void Record(LogEntry entry);

    Options options;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // Guarded by `mutex`.
    MeterModel model;
    milliseconds replyDelay;
    std::vector<ArmedFault> faults;
    std::deque<Bytes> scripted;
    std::deque<Bytes> raw;
    std::deque<std::shared_ptr<Command>> commands;
    std::deque<LogEntry> log;
    std::size_t counts[EventKinds] = {};
    std::string slavePath;
    bool running = false;
    // Written under `mutex` and only by the serving thread while it runs, so that thread reads
    // it freely; other threads take the mutex.
    int masterFd = -1;

    std::atomic<bool> stopping{false};
    std::atomic<bool> interrupt{false};

    // Owned by the serving thread while it runs.
    std::thread thread;
    int wakeFd = -1;
    // A second descriptor of the slave, never read. While nobody else has the slave open the
    // master reads EIO and polls POLLHUP without end: before the program's first open, and
    // every time it closes the port to reopen it.
    int slaveKeepFd = -1;
    std::string linkedTo;
    RequestFramer framer;
    std::int64_t lastRxNs = 0;
    std::deque<std::pair<Bytes, std::int64_t>> frames;
    std::int64_t comebackAtNs = -1;
    std::int64_t startNs = 0;
};

bool VirtualMeter::Impl::Start(std::string* error)
{
    std::string message;
    if (thread.joinable()) {
        message = "already running";
    } else if (!ValidModel(options.model)) {
        message = "model must be 1..5";
    } else if (options.baud != 4800 && options.baud != 9600) {
        message = "baud must be 4800 or 9600";
    } else if (options.range >= 0 && FullScale(options.model, options.range) <= 0.0) {
        message = "model " + std::to_string(options.model) + " has no range " +
                  std::to_string(options.range);
    } else {
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0)
            message = SystemError("eventfd");
        else if (!OpenLine(&message))
            CloseFd(wakeFd);
    }
    if (!message.empty()) {
        if (error)
            *error = message;
        return false;
    }
    stopping = false;
    interrupt = false;
    framer = RequestFramer{};
    frames.clear();
    comebackAtNs = -1;
    startNs = NowNs();
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = true;
    }
    thread = std::thread([this] { Serve(); });
    return true;
}

void VirtualMeter::Impl::Stop()
{
    if (!thread.joinable())
        return;
    stopping = true;
    Wake();
    thread.join();
    CloseLine();
    CloseFd(wakeFd);
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
        for (const std::shared_ptr<Command>& command : commands) {
            command->done = true;
            command->error = "stopped";
        }
        commands.clear();
    }
    changed.notify_all();
}

bool VirtualMeter::Impl::RunCommand(const std::shared_ptr<Command>& command)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!running) {
        command->error = "not running";
        return false;
    }
    commands.push_back(command);
    if (command->kind == Command::Kind::HangUp)
        interrupt = true;
    Wake();
    changed.wait(lock, [&] { return command->done || !running; });
    return command->done && command->ok;
}

int VirtualMeter::Impl::LineBaud() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (masterFd < 0)
        return 0;
    termios tio{};
    if (tcgetattr(masterFd, &tio) != 0)
        return 0;
    return BaudOf(cfgetospeed(&tio));
}

void VirtualMeter::Impl::Wake()
{
    const std::uint64_t one = 1;
    if (wakeFd >= 0 && ::write(wakeFd, &one, sizeof one) < 0) {
        // The counter cannot overflow in practice; a full one still wakes the poll.
    }
}

void VirtualMeter::Impl::Serve()
{
    while (!stopping) {
        RunCommands();
        if (stopping)
            break;
        SendQueuedRaw();
        if (!frames.empty()) {
            std::pair<Bytes, std::int64_t> frame = std::move(frames.front());
            frames.pop_front();
            HandleFrame(frame.first, frame.second);
            continue;
        }
        std::int64_t deadline = -1;
        if (masterFd >= 0 && framer.InFrame())
            deadline = lastRxNs + ResyncSilence(options.baud).count();
        else if (masterFd < 0 && comebackAtNs >= 0)
            deadline = comebackAtNs;
        PollOnce(deadline);
        const std::int64_t now = NowNs();
        CheckSilence(now);
        if (masterFd < 0 && comebackAtNs >= 0 && now >= comebackAtNs) {
            std::string error;
            if (!DoComeBack(&error))
                comebackAtNs = now + 500 * NsPerMs; // a device not plugged back in yet
        }
    }
}

void VirtualMeter::Impl::RunCommands()
{
    std::deque<std::shared_ptr<Command>> todo;
    {
        std::lock_guard<std::mutex> lock(mutex);
        todo.swap(commands);
        interrupt = false;
    }
    for (const std::shared_ptr<Command>& command : todo) {
        bool ok = false;
        std::string error;
        if (command->kind == Command::Kind::HangUp) {
            ok = masterFd >= 0;
            if (ok)
                DoHangUp(command->returnAfter);
            else
                error = "already gone";
        } else {
            ok = DoComeBack(&error);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            command->ok = ok;
            command->error = error;
            command->done = true;
        }
        changed.notify_all();
    }
}

void VirtualMeter::Impl::SendQueuedRaw()
{
    for (;;) {
        Bytes bytes;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (raw.empty())
                return;
            bytes = std::move(raw.front());
            raw.pop_front();
        }
        if (masterFd < 0)
            continue;
        Plan plan;
        plan.pieces.push_back(Piece{std::move(bytes), {}});
        if (Transmit(plan, NowNs(), Event::TxRaw) != Sent::Done)
            return;
    }
}

void VirtualMeter::Impl::PollOnce(std::int64_t deadlineNs)
{
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {masterFd, POLLIN, 0}};
    const nfds_t count = masterFd >= 0 ? 2 : 1;
    timespec timeout{};
    const timespec* wait = nullptr;
    if (deadlineNs >= 0) {
        timeout = ToTimespec(std::max<std::int64_t>(0, deadlineNs - NowNs()));
        wait = &timeout;
    }
    if (ppoll(fds, count, wait, nullptr) <= 0)
        return;
    if (fds[0].revents & POLLIN) {
        std::uint64_t value = 0;
        if (::read(wakeFd, &value, sizeof value) < 0) {
            // Already drained; nothing to do.
        }
    }
    if (count == 2 && fds[1].revents != 0) {
        if (fds[1].revents & POLLIN) {
            ReadInput();
        } else {
            // Only possible on a device that was unplugged: without this the loop would spin.
            DoHangUp(milliseconds(-1));
        }
    }
}

void VirtualMeter::Impl::ReadInput()
{
    std::uint8_t buffer[512];
    const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
    if (n > 0) {
        const std::int64_t now = NowNs();
        CheckSilence(now);
        for (ssize_t i = 0; i < n; ++i)
            OnByte(buffer[i], now);
        lastRxNs = now;
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // EOF or EIO: the device is gone from under us.
    DoHangUp(milliseconds(-1));
}

void VirtualMeter::Impl::CheckSilence(std::int64_t nowNs)
{
    if (!framer.InFrame() || nowNs - lastRxNs < ResyncSilence(options.baud).count())
        return;
    if (std::optional<RequestFramer::Event> event = framer.GiveUp())
        Record(LogEntry{nowNs / 1000, Event::RxPartial, {}, std::move(event->bytes), 0});
}

void VirtualMeter::Impl::OnByte(std::uint8_t byte, std::int64_t nowNs)
{
    std::optional<RequestFramer::Event> event = framer.Feed(byte);
    if (!event)
        return;
    Event kind = Event::Rx;
    switch (event->outcome) {
    case RequestFramer::Outcome::Frame:
        kind = HeardAtWrongSpeed() ? Event::RxGarbage : Event::Rx;
        break;
    case RequestFramer::Outcome::BadCrc:
        kind = Event::RxBadCrc;
        break;
    case RequestFramer::Outcome::Unknown:
        kind = Event::RxUnknown;
        break;
    case RequestFramer::Outcome::Partial:
        kind = Event::RxPartial;
        break;
    }
    if (kind == Event::Rx)
        frames.emplace_back(event->bytes, nowNs);
    Record(LogEntry{nowNs / 1000, kind, {}, std::move(event->bytes), 0});
}

bool VirtualMeter::Impl::HeardAtWrongSpeed() const
{
    // A pty carries bytes at any speed, so the mismatch a real line would garble is judged from
    // the speed the far end set: master and slave share one termios on Linux.
    if (!options.baudCheck || !options.device.empty())
        return false;
    termios tio{};
    if (tcgetattr(masterFd, &tio) != 0)
        return false;
    return BaudOf(cfgetospeed(&tio)) != options.baud;
}

void VirtualMeter::Impl::HandleFrame(const Bytes& request, std::int64_t rxNs)
{
    Bytes reply;
    std::vector<Fault> firing;
    bool isScripted = false;
    milliseconds delay{};
    {
        std::lock_guard<std::mutex> lock(mutex);
        reply = model.Answer(request, static_cast<double>(rxNs - startNs) / 1e9);
        delay = replyDelay;
        if (!scripted.empty()) {
            reply = std::move(scripted.front());
            scripted.pop_front();
            isScripted = true;
        } else {
            for (ArmedFault& armed : faults) {
                if (armed.Fires())
                    firing.push_back(armed.GetFault());
            }
            faults.erase(std::remove_if(faults.begin(), faults.end(),
                                        [](const ArmedFault& f) { return f.Spent(); }),
                         faults.end());
        }
    }
    const std::int64_t nowUs = NowNs() / 1000;
    if (isScripted)
        Record(LogEntry{nowUs, Event::Fault, "scripted", {}, 0});
    for (const Fault& fault : firing)
        Record(LogEntry{nowUs, Event::Fault, fault.Describe(), {}, 0});

    Plan plan;
    if (isScripted) {
        plan.delay = delay;
        plan.pieces.push_back(Piece{std::move(reply), {}});
    } else {
        plan = MakePlan(request, reply, delay, firing);
    }
    if (Transmit(plan, rxNs, Event::Tx) == Sent::Done && plan.hangUp)
        DoHangUp(plan.returnAfter);
}

VirtualMeter::Impl::Sent VirtualMeter::Impl::Transmit(const Plan& plan, std::int64_t rxNs,
                                                      Event event)
{
    std::int64_t start = rxNs + plan.delay.count() * NsPerMs;
    bool firstPiece = true;
    std::int64_t firstNs = -1;
    std::int64_t lastNs = -1;
    Bytes sent;
    Sent result = Sent::Done;

    for (const Piece& piece : plan.pieces) {
        if (piece.bytes.empty())
            continue;
        if (!firstPiece)
            start += piece.gapBefore.count() * NsPerMs;
        firstPiece = false;
        if (options.pace) {
            // Byte i has fully arrived at the far end (i + 1) character times after the piece
            // began. Deadlines come from that start, so the usual small oversleep never
            // accumulates; after a real hiccup the schedule restarts from the late byte, as a
            // UART whose FIFO ran dry does, so no two bytes ever come closer than the line allows.
            const std::size_t n = piece.bytes.size();
            auto offset = [this](std::size_t count) {
                return static_cast<std::int64_t>(count) * TenBitsNs / options.baud;
            };
            for (std::size_t i = 0; i < n; ++i) {
                const std::int64_t deadline = start + offset(i + 1);
                if (!WaitUntil(deadline)) {
                    result = Sent::Interrupted;
                    break;
                }
                result = Write(&piece.bytes[i], 1);
                if (result != Sent::Done)
                    break;
                lastNs = NowNs();
                if (firstNs < 0)
                    firstNs = lastNs;
                sent.push_back(piece.bytes[i]);
                if (lastNs - deadline > PacingToleranceNs)
                    start = lastNs - offset(i + 1);
            }
            start += offset(n);
        } else {
            if (!WaitUntil(start)) {
                result = Sent::Interrupted;
            } else {
                result = Write(piece.bytes.data(), piece.bytes.size());
                if (result == Sent::Done) {
                    lastNs = NowNs();
                    if (firstNs < 0)
                        firstNs = lastNs;
                    sent.insert(sent.end(), piece.bytes.begin(), piece.bytes.end());
                }
            }
        }
        if (result != Sent::Done)
            break;
    }
    if (!sent.empty())
        Record(LogEntry{lastNs / 1000, event, {}, std::move(sent), firstNs / 1000});
    if (result == Sent::Lost)
        DoHangUp(milliseconds(-1));
    return result;
}

bool VirtualMeter::Impl::WaitUntil(std::int64_t deadlineNs)
{
    // Long waits poll, so requests keep their true arrival time and Stop() and HangUp() act at
    // once; the last stretch sleeps to an absolute deadline for sub-millisecond pacing.
    const std::int64_t sleepStretch = 2 * NsPerMs;
    for (;;) {
        if (stopping || interrupt || masterFd < 0)
            return false;
        const std::int64_t now = NowNs();
        if (now >= deadlineNs)
            return true;
        if (deadlineNs - now > sleepStretch) {
            PollOnce(deadlineNs - NsPerMs);
            continue;
        }
        PollOnce(now);
        if (stopping || interrupt || masterFd < 0)
            return false;
        const timespec until = ToTimespec(deadlineNs);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        return !(stopping || interrupt);
    }
}

VirtualMeter::Impl::Sent VirtualMeter::Impl::Write(const std::uint8_t* data, std::size_t length)
{
    while (length > 0) {
        if (stopping || interrupt)
            return Sent::Interrupted;
        if (masterFd < 0)
            return Sent::Lost;
        const ssize_t n = ::write(masterFd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return Sent::Lost;
        // The far end's input buffer is full: wait until it reads, or until told to stop.
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {masterFd, POLLOUT, 0}};
        if (poll(fds, 2, 100) > 0 && (fds[0].revents & POLLIN)) {
            std::uint64_t value = 0;
            if (::read(wakeFd, &value, sizeof value) < 0) {
                // Drained by someone else.
            }
        }
    }
    return Sent::Done;
}

void VirtualMeter::Impl::DoHangUp(milliseconds returnAfter)
{
    if (masterFd < 0)
        return;
    CloseLine();
    framer = RequestFramer{};
    frames.clear();
    Record(LogEntry{NowNs() / 1000, Event::HangUp, {}, {}, 0});
    comebackAtNs = returnAfter.count() >= 0 ? NowNs() + returnAfter.count() * NsPerMs : -1;
}

bool VirtualMeter::Impl::DoComeBack(std::string* error)
{
    if (masterFd >= 0)
        return true;
    if (!OpenLine(error))
        return false;
    comebackAtNs = -1;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex);
        path = slavePath;
    }
    Record(LogEntry{NowNs() / 1000, Event::ComeBack, path, {}, 0});
    return true;
}

bool VirtualMeter::Impl::OpenLine(std::string* error)
{
    int master = -1;
    int keep = -1;
    std::string path;
    if (!options.device.empty()) {
        master = ::open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0) {
            *error = SystemError("open " + options.device);
            return false;
        }
        path = options.device;
        if (!MakeRaw(master, options.baud, error)) {
            CloseFd(master);
            return false;
        }
    } else {
        if (openpty(&master, &keep, nullptr, nullptr, nullptr) != 0) {
            *error = SystemError("openpty");
            return false;
        }
        char name[128] = {};
        const int flags = fcntl(master, F_GETFL);
        // Raw from the start: until the far end sets its own termios the line discipline would
        // echo its bytes back to it and turn CR into LF.
        if (!SetCloseOnExec(master) || !SetCloseOnExec(keep) || flags < 0 ||
            fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0 ||
            ptsname_r(master, name, sizeof name) != 0) {
            *error = SystemError("pty setup");
        } else if (MakeRaw(keep, options.baud, error)) {
            path = name;
        }
        if (path.empty()) {
            CloseFd(master);
            CloseFd(keep);
            return false;
        }
    }
    if (!options.link.empty() && !PointLink(path, error)) {
        CloseFd(master);
        CloseFd(keep);
        return false;
    }
    slaveKeepFd = keep;
    std::lock_guard<std::mutex> lock(mutex);
    masterFd = master;
    slavePath = path;
    return true;
}

void VirtualMeter::Impl::CloseLine()
{
    RemoveLink();
    int master = -1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        master = masterFd;
        masterFd = -1;
        slavePath.clear();
    }
    // Closing the master hangs up the slave: the far end's reads fail from here on, and the
    // /dev/pts node disappears.
    CloseFd(master);
    CloseFd(slaveKeepFd);
}

bool VirtualMeter::Impl::PointLink(const std::string& target, std::string* error)
{
    struct stat st
    {};
    if (lstat(options.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = options.link + " exists and is not a symlink";
        return false;
    }
    // A fresh name renamed over the link: whoever opens the link never finds it missing or
    // pointing at a half-made pty.
    const std::string temporary = options.link + ".tmp" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        *error = SystemError("symlink " + temporary);
        return false;
    }
    if (rename(temporary.c_str(), options.link.c_str()) != 0) {
        *error = SystemError("rename to " + options.link);
        ::unlink(temporary.c_str());
        return false;
    }
    linkedTo = target;
    return true;
}

void VirtualMeter::Impl::RemoveLink()
{
    if (options.link.empty() || linkedTo.empty())
        return;
    // Only our own link: someone may have pointed it elsewhere meanwhile.
    char target[4096];
    const ssize_t n = readlink(options.link.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == linkedTo)
        ::unlink(options.link.c_str());
    linkedTo.clear();
}

void VirtualMeter::Impl::Record(LogEntry entry)
{
    const std::string line = options.logLine ? entry.Line() : std::string();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++counts[static_cast<std::size_t>(entry.event)];
        log.push_back(std::move(entry));
        while (log.size() > options.logLimit)
            log.pop_front();
    }
    changed.notify_all();
    if (options.logLine)
        options.logLine(line);
}

VirtualMeter::VirtualMeter(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualMeter::~VirtualMeter()
{
    Stop();
}

bool VirtualMeter::Start(std::string* error)
{
    return impl_->Start(error);
}

void VirtualMeter::Stop()
{
    impl_->Stop();
}

bool VirtualMeter::Running() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->running;
}

std::string VirtualMeter::Path() const
{
    if (!impl_->options.link.empty())
        return impl_->options.link;
    return SlavePath();
}

std::string VirtualMeter::SlavePath() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->slavePath;
}

bool VirtualMeter::SetModel(int model)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.SetModel(model);
}

bool VirtualMeter::SetRange(int range)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.SetRange(range);
}

void VirtualMeter::SetAutoRange(bool on)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.SetAutoRange(on);
}

void VirtualMeter::SetValue(double value)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.SetValue(value);
}

void VirtualMeter::SetWave()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.SetWave();
}

void VirtualMeter::SetReplyDelay(std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->replyDelay = delay;
}

void VirtualMeter::InjectFault(const Fault& fault, const Schedule& schedule)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.emplace_back(fault, schedule);
}

void VirtualMeter::ClearFaults()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
}

void VirtualMeter::QueueReply(Bytes reply)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->scripted.push_back(std::move(reply));
}

void VirtualMeter::SendRaw(Bytes bytes)
{
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->raw.push_back(std::move(bytes));
    }
    impl_->Wake();
}

bool VirtualMeter::HangUp(std::chrono::milliseconds returnAfter)
{
    auto command = std::make_shared<Impl::Command>();
    command->kind = Impl::Command::Kind::HangUp;
    command->returnAfter = returnAfter;
    return impl_->RunCommand(command);
}

bool VirtualMeter::ComeBack(std::string* error)
{
    auto command = std::make_shared<Impl::Command>();
    command->kind = Impl::Command::Kind::ComeBack;
    const bool ok = impl_->RunCommand(command);
    if (!ok && error) {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        *error = command->error;
    }
    return ok;
}

int VirtualMeter::LineBaud() const
{
    return impl_->LineBaud();
}

std::vector<LogEntry> VirtualMeter::Log() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return std::vector<LogEntry>(impl_->log.begin(), impl_->log.end());
}

std::size_t VirtualMeter::Count(Event event) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->counts[static_cast<std::size_t>(event)];
}

std::size_t VirtualMeter::RequestCount() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const std::size_t* c = impl_->counts;
    return c[static_cast<std::size_t>(Event::Rx)] + c[static_cast<std::size_t>(Event::RxBadCrc)] +
           c[static_cast<std::size_t>(Event::RxGarbage)];
}

std::size_t VirtualMeter::ReplyCount() const
{
    return Count(Event::Tx);
}

bool VirtualMeter::WaitFor(Event event, std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(
        lock, timeout, [&] { return impl_->counts[static_cast<std::size_t>(event)] >= count; });
}

bool VirtualMeter::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] {
        const std::size_t* c = impl_->counts;
        return c[static_cast<std::size_t>(Event::Rx)] +
                   c[static_cast<std::size_t>(Event::RxBadCrc)] +
                   c[static_cast<std::size_t>(Event::RxGarbage)] >=
               count;
    });
}

bool VirtualMeter::WaitForReplies(std::size_t count, std::chrono::milliseconds timeout) const
{
    return WaitFor(Event::Tx, count, timeout);
}

} // namespace vmeter
