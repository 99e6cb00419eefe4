#pragma once

#include "tests/support/pty.h"

#include <QByteArray>

#include <memory>

class TForm1;
class TForm2;

// Whether a request waits for its reply. The worker clears the flag, so it is read under the
// exchange lock, as the program reads it.
bool RequestIsPending();

// The program's two windows, shown and activated, with COM1 on a pseudo-terminal whose far end
// the test holds, or on the device given.
class WindowRig
{
public:
    explicit WindowRig(const QString& com1 = QString());
    ~WindowRig();
    WindowRig(const WindowRig&) = delete;
    WindowRig& operator=(const WindowRig&) = delete;

    PtyPeer& Line() { return *line_; }
    TForm1& Main();
    TForm2& Dialog();

    // The next request frame on the line (empty when none comes within the time-out).
    QByteArray NextRequest(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Chooses a model from the menu, as the operator does.
    void ChooseModel(int model);
    // Ends the windows now, as closing the main window at exit does.
    void Close();

private:
    std::unique_ptr<PtyPeer> line_;
    std::unique_ptr<TForm1> main_;
    std::unique_ptr<TForm2> dialog_;
};
