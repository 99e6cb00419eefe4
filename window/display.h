#pragma once

#include <QChar>
#include <QString>

// The measured value as the display shows it: `decimals` (1..5) places after `separator`, at
// most 7 significant digits (the 18-digit decimal form of the value rounded once more, halves
// away from zero), the exponent form ("3.402824E38") from 10 000 000 up, and no minus sign on a
// value that rounds to zero.
QString FormatValue(double value, int decimals, QChar separator);
