#include "platform/groupbox.h"

namespace platform {

GroupBox::GroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent)
{
    setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 8px; padding: 0 2px; }"));
}

} // namespace platform
