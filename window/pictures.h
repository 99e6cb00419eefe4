#pragma once

#include <QIcon>

// The program's pictures, drawn for it. Buttons grey their picture out while disabled.
namespace Pictures {
QIcon WindowIcon(); // a tilted black chip with yellow pins, 32 x 32
QIcon Read();       // an open yellow folder, 16 x 16
QIcon Stop();       // a red prohibition sign, 16 x 16
} // namespace Pictures
