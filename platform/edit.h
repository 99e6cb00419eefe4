#pragma once

#include <QLineEdit>

namespace platform {

// A read-only edit box that shows its text from the start, as the toolkit the windows were laid
// out for does. QLineEdit scrolls to the end of a text set from code, which hides the leading
// digits of a reading that does not fit.
class Edit : public QLineEdit
{
    Q_OBJECT

public:
    explicit Edit(QWidget* parent = nullptr);
};

} // namespace platform
