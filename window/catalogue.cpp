#include "window/catalogue.h"

#include <QtGlobal>

#include <algorithm>

const double FullScaleTable[ModelCount][RangeSlots] = {
    {0.1, 0.25, 0.5, 1.0, 2.5, 0.0, 0.0, 0.0},
    {2.5, 5.0, 10.0, 20.0, 50.0, 0.0, 0.0, 0.0},
    {75.0, 75.0, 150.0, 300.0, 450.0, 600.0, 750.0, 1500.0}, // number 0 has no selector
    {1.5, 3.0, 4.5, 6.0, 7.5, 15.0, 30.0, 45.0},
    {45.0, 60.0, 75.0, 150.0, 300.0, 450.0, 600.0, 750.0},
};

namespace {

// The unit texts are Cyrillic; the range labels use the Latin letters A and V.
const ModelInfo Models[ModelCount] = {
    {"MK-21/1", "А", 5, 0, {" 0.1A", " 0.25A", " 0.5A", "  1A", " 2.5A"}},
    {"MK-21/2", "А", 5, 0, {" 2.5A", "  5A", "  10A", "  20A", "  50A"}},
    {"MK-23/1", "мВ", 7, 1, {"0.075V", " 0.15V", " 0.3V", " 0.45V", " 0.6V", " 0.75V", " 1.5V"}},
    {"MK-23/2", "В", 8, 0, {" 1.5V", " 3.0V", " 4.5V", " 6.0V", " 7.5V", " 15V", " 30V", " 45V"}},
    {"MK-23/3", "В", 8, 0, {" 45V", " 60V", " 75V", " 150V", " 300V", " 450V", " 600V", " 750V"}},
};

} // namespace

const ModelInfo& Model(std::uint8_t model)
{
    Q_ASSERT(model >= 1 && model <= ModelCount);
    // Never read outside the table, even before a model has been set.
    return Models[std::clamp<int>(model, 1, ModelCount) - 1];
}

double FullScale(std::uint8_t model, std::uint8_t rangeNumber)
{
    if (model < 1 || model > ModelCount || rangeNumber >= RangeSlots)
        return 0.0;
    return FullScaleTable[model - 1][rangeNumber];
}

std::uint8_t ScaleDigits(double fullScale)
{
    if (fullScale >= 1000)
        return 4;
    if (fullScale >= 100)
        return 3;
    if (fullScale >= 10)
        return 2;
    if (fullScale >= 1)
        return 1;
    return 0;
}
