#include "platform/error.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

namespace platform {

QString StandardErrorText(const QString& text)
{
    if (!text.isEmpty() && text.back().isLetterOrNumber())
        return text + QLatin1Char('.');
    return text;
}

void ShowStandardError(const QString& text)
{
    const QString caption = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent)
        parent = QApplication::activeWindow();
    auto* box = new QMessageBox(QMessageBox::Critical, caption, StandardErrorText(text),
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // open(), not exec(): the handler that failed has ended already, and a nested event loop
    // would run the timers and the worker's hand-offs inside whatever called us.
    box->open();
}

} // namespace platform
