#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <exception>
#include <utility>

namespace platform {

// An operation of the platform that failed: a port that cannot be opened, a refused setting.
// It ends the handler it was raised in; the binding below shows it and the program goes on.
class Error : public std::exception
{
public:
    explicit Error(QString text) : text_(std::move(text)), utf8_(text_.toUtf8()) {}
    const QString& Text() const { return text_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString text_;
    QByteArray utf8_;
};

// The text as the standard error box shows it: a full stop added after a letter or a digit.
QString StandardErrorText(const QString& text);

// The application's standard error box: error icon, one OK button, the program file's name as
// caption. Modal to the active window, but it does not block the caller.
void ShowStandardError(const QString& text);

// Runs `handler`; whatever it raises is shown in the standard error box instead of crossing the
// toolkit's own frames.
template <typename Handler> void RunGuarded(Handler&& handler) noexcept
{
    try {
        std::forward<Handler>(handler)();
    } catch (const Error& e) {
        ShowStandardError(e.Text());
    } catch (const std::exception& e) {
        ShowStandardError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowStandardError(QStringLiteral("Unknown error"));
    }
}

// Binds an event of `sender` to `handler`, run on `context`'s thread; every binding of an event
// to a handler goes through here so that no handler's error escapes.
template <typename Sender, typename Signal, typename Handler>
QMetaObject::Connection Bind(Sender* sender, Signal signal, QObject* context, Handler handler)
{
    return QObject::connect(sender, signal, context,
                            [handler = std::move(handler)] { RunGuarded(handler); });
}

} // namespace platform
