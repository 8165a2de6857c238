#pragma once

#include <QColor>
#include <cstdint>

// The panel as designed, in twips (1/1440 inch). Everything the program
// computes about positions (label centring, the two-output layout, dragging)
// works in these units; the window converts to pixels in one place.
struct TwipsRect
{
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

namespace PanelLayout {

constexpr double TwipsPerPixel = 12.0;

enum class Face {
    InputUp,
    InputDown,
    OutputUp,
    OutputDown,
    Cmd16Up,
    Cmd16Down,
    Cmd40Up,
    Cmd40Down
};

struct PictureDesign
{
    int index;
    TwipsRect rect;
    Face face;
};

// Up faces are the odd elements and lie over the even down face of the same
// button. Elements 16 to 32 do not exist.
inline constexpr PictureDesign Pictures[] = {
    { 0, { 990, 830, 816, 816 }, Face::InputDown },
    { 1, { 990, 830, 816, 816 }, Face::InputUp },
    { 2, { 2305, 830, 816, 816 }, Face::InputDown },
    { 3, { 2305, 830, 816, 816 }, Face::InputUp },
    { 4, { 3620, 830, 816, 816 }, Face::InputDown },
    { 5, { 3620, 830, 816, 816 }, Face::InputUp },
    { 6, { 4935, 830, 816, 816 }, Face::InputDown },
    { 7, { 4935, 830, 816, 816 }, Face::InputUp },
    { 8, { 990, 2790, 840, 612 }, Face::OutputDown },
    { 9, { 990, 2790, 840, 612 }, Face::OutputUp },
    { 10, { 2250, 2790, 840, 612 }, Face::OutputDown },
    { 11, { 2250, 2790, 840, 612 }, Face::OutputUp },
    { 12, { 3555, 2790, 840, 612 }, Face::OutputDown },
    { 13, { 3555, 2790, 840, 612 }, Face::OutputUp },
    { 14, { 4905, 2790, 840, 612 }, Face::OutputDown },
    { 15, { 4905, 2790, 840, 612 }, Face::OutputUp },
    { 34, { 4905, 4190, 840, 840 }, Face::Cmd16Down },
    { 33, { 4905, 4190, 840, 840 }, Face::Cmd16Up },
    { 36, { 1020, 4190, 840, 840 }, Face::Cmd40Down },
    { 35, { 1020, 4190, 840, 840 }, Face::Cmd40Up },
};

struct LabelDesign
{
    int index;
    const char *caption;
    TwipsRect rect;
    QColor colour;
    bool bold;
    bool visible;
};

inline const LabelDesign Label1[] = {
    { 0, "1", { 1170, 240, 135, 285 }, QColor(0, 192, 0), false, true },
    { 2, "2", { 2505, 240, 135, 285 }, QColor(0, 192, 0), false, true },
    { 1, "3", { 3870, 240, 135, 285 }, QColor(0, 192, 0), false, true },
    { 3, "4", { 5190, 240, 135, 285 }, QColor(0, 192, 0), false, true },
    { 7, "A", { 1260, 2460, 150, 285 }, QColor(0, 0, 255), false, true },
    { 5, "B", { 2595, 2460, 165, 285 }, QColor(0, 0, 255), false, true },
    { 6, "C", { 3930, 2460, 165, 285 }, QColor(0, 0, 255), false, true },
    { 4, "D", { 5265, 2460, 165, 285 }, QColor(0, 0, 255), false, true },
    { 9, "INPUT", { 3150, 4170, 645, 255 }, QColor(0, 128, 0), true, false },
    { 8, "OUTPUT", { 3000, 4680, 885, 255 }, QColor(0, 0, 255), true, false },
};

// Captions inside the output up faces, positioned relative to that face.
inline const LabelDesign Label2[] = {
    { 0, "Label 2", { 30, 90, 890, 230 }, QColor(255, 0, 0), true, true },
    { 1, "Label 2", { 30, 90, 890, 210 }, QColor(255, 0, 0), true, true },
    { 2, "Label 2", { 30, 90, 830, 200 }, QColor(255, 0, 0), true, true },
    { 3, "Label 2", { 30, 90, 860, 200 }, QColor(255, 0, 0), true, true },
};

inline constexpr TwipsRect Frame1 = { 0, 0, 8025, 8130 };
inline constexpr TwipsRect Option1 = { 900, 6390, 160, 200 };
inline constexpr double LabelFontPoints = 9.6;

// Route buttons by number (1 to 4) to element indices.
inline constexpr int inputUpFace(int k)
{
    return 2 * k - 1;
}
inline constexpr int outputUpFace(int k)
{
    return 2 * k + 7;
}
// Digit and letter labels of inputs and outputs 1 to 4 (index 0 unused).
inline constexpr int InputLabel[5] = { -1, 0, 2, 1, 3 };
inline constexpr int OutputLabel[5] = { -1, 7, 5, 6, 4 };

inline constexpr int Command16UpFace = 33;
inline constexpr int Command40UpFace = 35;

} // namespace PanelLayout
