#pragma once

#include <cstdint>

class Form3;

// Puts digit or letter label `labelIndex` centred directly above picture
// `pictureIndex`, and sizes the panel window to end one margin right of
// output 4 and just above Option1.
void CenterLabel(Form3 &panel, uint8_t labelIndex, uint8_t pictureIndex);

// The label and picture pairs placed at start-up, letters first.
struct LabelPicturePair
{
    uint8_t label;
    uint8_t picture;
};
inline constexpr LabelPicturePair StartupLabelPlacement[8]
    = { { 7, 9 }, { 5, 11 }, { 6, 13 }, { 4, 15 }, { 0, 1 }, { 2, 3 }, { 1, 5 }, { 3, 7 } };
