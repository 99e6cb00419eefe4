#pragma once

#include <QString>

#include <functional>

class QMessageBox;

// The program's own error box: the text with one blank appended, caption "Ошибка", the error
// icon and one OK button. It is not modal: the main window stays usable and the timers tick
// while it is up. `closed` runs when the user has closed it. UI thread only.
QMessageBox* ShowError(const QString& text, std::function<void()> closed);
