#pragma once

#include <QApplication>

namespace platform {

// The application object. Errors are caught where each handler is bound (platform/error.h);
// notify() is only the backstop for one that slipped past a binding.
class Application : public QApplication
{
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace platform
