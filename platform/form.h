#pragma once

#include <QFont>
#include <QWidget>

class QEventLoop;
class QMenuBar;

namespace platform {

// A top-level window: an optional menu bar above a client area in which controls stand at fixed
// positions. The first form created is the application's main form: closing it ends the program.
class Form : public QWidget
{
    Q_OBJECT

public:
    explicit Form(QWidget* parent = nullptr);
    ~Form() override;

    // The application's main form, while it exists.
    static Form* Main();

    // The toolkit's default font of a form, "MS Sans Serif" (or the system's sans serif where it
    // is missing) at the given character height; every form starts with it at 11 pixels.
    static QFont DefaultFont(int pixelHeight = 11);

    // The menu bar, made on first use.
    QMenuBar* Menu();
    // Controls are children of this and positioned in its coordinates.
    QWidget* Client() const { return client_; }

    // Outer bounds on the screen, frame and caption included (a classic Windows frame is assumed
    // where the window system does not say).
    void SetBounds(int left, int top, int outerWidth, int outerHeight);

    // Shows the form modal to the whole application and returns when it has been hidden again
    // (by its close box or hide()). Events, timers and other threads' hand-offs go on meanwhile.
    void ShowModal();

Q_SIGNALS:
    // The form has become the active window. Raised on every activation.
    void Activate();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* client_;
    QMenuBar* menu_ = nullptr;
    QEventLoop* modalLoop_ = nullptr;
};

} // namespace platform
