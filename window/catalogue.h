#pragma once

#include <QString>

#include <cstdint>

// The five meter models. A model's ranges stand on the window at range indices 0..7, under
// selectors RadioButton4..RadioButton11; the meter numbers them itself: range number = range
// index + the model's offset.

inline constexpr int ModelCount = 5;
inline constexpr int RangeSlots = 8;

struct ModelInfo
{
    const char* name;     // menu item and window caption
    const char* unitText; // in the unit box
    int rangeCount;       // ranges shown, from index 0
    std::uint8_t rangeOffset;
    const char* labels[RangeSlots]; // by range index; the unused ones are never shown
};

// Full scale by model (row 0 = model 1) and range number, in the model's own unit (A, mV, V).
extern const double FullScaleTable[ModelCount][RangeSlots];

// `model` is 1..5.
const ModelInfo& Model(std::uint8_t model);

// The full scale of a range number as the meter reports it; 0.0 outside the table, which shows
// the value with 5 decimals like the table's empty entries.
double FullScale(std::uint8_t model, std::uint8_t rangeNumber);

// The integer-digit class of a full scale (0..4); a value on that range is shown with
// 5 - class decimals.
std::uint8_t ScaleDigits(double fullScale);
