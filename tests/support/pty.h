#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

#include <termios.h>

// The far end of a serial line for tests: a pseudo-terminal whose slave the program opens as its
// port while the test reads and writes the master.
class PtyPeer
{
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool IsValid() const { return master_ >= 0; }
    QString SlavePath() const { return slavePath_; }

    void Write(const QByteArray& bytes);
    // The next `count` bytes, or fewer when `timeout` passes first. The UI thread's events are
    // processed while it waits, so that timers and the port go on.
    QByteArray Read(int count, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Everything that is there now.
    QByteArray ReadAvailable();
    // What the program has set on its side of the line: on Linux both ends share one termios.
    termios LineSettings() const;
    // The speed the program has set on its side of the line (0 when unknown).
    int LineBaud() const;
    // The far end goes away: reads on the program's side fail from now on.
    void HangUp();

private:
    int master_ = -1;
    int slaveKeeper_ = -1; // keeps the line up while the program has the port closed
    QString slavePath_;
    QByteArray unread_; // read off the line, not yet asked for
};
