#include "panel/output_layout.h"

#include "panel/form3.h"
#include "panel/label_placement.h"

namespace {
constexpr int LetterB = 5;
constexpr int LetterC = 6;
constexpr int LetterD = 4;
constexpr int Output2Up = 11;
constexpr int Output2Down = 10;
constexpr int Output4Up = 15;
} // namespace

void reduceToTwoOutputs(Form3 &panel)
{
    for (int index = 12; index <= 15; ++index)
        panel.setPictureVisible(index, false);
    panel.setLabel1Visible(LetterC, false);
    panel.setLabel1Visible(LetterD, false);
    panel.setLabel1Top(LetterB, panel.label1Rect(LetterD).top);
    panel.setLabel1Left(LetterB, panel.label1Rect(LetterD).left);
    const TwipsRect output4 = panel.pictureRect(Output4Up);
    panel.setPictureTop(Output2Up, output4.top);
    panel.setPictureTop(Output2Down, output4.top);
    panel.setPictureLeft(Output2Up, output4.left);
    panel.setPictureLeft(Output2Down, output4.left);
}

void restoreFourOutputs(Form3 &panel)
{
    panel.setPictureVisible(12, true);
    panel.setPictureVisible(14, true);
    panel.setLabel1Visible(LetterC, true);
    panel.setLabel1Visible(LetterD, true);
    for (const PanelLayout::PictureDesign &design : PanelLayout::Pictures) {
        if (design.index == Output2Up || design.index == Output2Down) {
            panel.setPictureLeft(design.index, design.rect.left);
            panel.setPictureTop(design.index, design.rect.top);
        }
    }
    CenterLabel(panel, LetterB, Output2Up);
}
