#pragma once

#include <QGroupBox>

namespace platform {

// A group box whose caption sits on its top frame line, as in the toolkit the windows were laid
// out for, so that children placed 16 pixels down stand inside the frame. Qt's own styles put
// the caption above the frame line instead.
class GroupBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit GroupBox(const QString& title, QWidget* parent = nullptr);
};

} // namespace platform
