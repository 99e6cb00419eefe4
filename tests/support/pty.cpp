#include "tests/support/pty.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    char name[128] = {};
    int slave = -1;
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        master_ = -1;
        return;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slaveKeeper_ = slave;
    slavePath_ = QString::fromLocal8Bit(name);
}

PtyPeer::~PtyPeer()
{
    HangUp();
}

void PtyPeer::Write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        else
            ::poll(nullptr, 0, 1);
    }
}

QByteArray PtyPeer::Read(int count, std::chrono::milliseconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        unread_ += ReadAvailable();
        if (unread_.size() >= count || clock.elapsed() >= timeout.count())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd pfd{master_, POLLIN, 0};
        ::poll(&pfd, 1, 2);
    }
    const QByteArray got = unread_.left(count);
    unread_.remove(0, got.size());
    return got;
}

QByteArray PtyPeer::ReadAvailable()
{
    QByteArray got;
    std::swap(got, unread_);
    char buf[4096];
    ssize_t n;
    while (master_ >= 0 && (n = ::read(master_, buf, sizeof buf)) > 0)
        got.append(buf, n);
    return got;
}

termios PtyPeer::LineSettings() const
{
    termios t{};
    ::tcgetattr(master_, &t);
    return t;
}

int PtyPeer::LineBaud() const
{
    const termios t = LineSettings();
    switch (::cfgetospeed(&t)) {
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    default:
        return 0;
    }
}

void PtyPeer::HangUp()
{
    if (slaveKeeper_ >= 0)
        ::close(slaveKeeper_);
    if (master_ >= 0)
        ::close(master_);
    slaveKeeper_ = master_ = -1;
}
