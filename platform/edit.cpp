#include "platform/edit.h"

namespace platform {

Edit::Edit(QWidget* parent) : QLineEdit(parent)
{
    setReadOnly(true);
    connect(this, &QLineEdit::textChanged, this, [this] { setCursorPosition(0); });
}

} // namespace platform
