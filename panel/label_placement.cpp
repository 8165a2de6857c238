#include "panel/label_placement.h"

#include "panel/form3.h"

void CenterLabel(Form3 &panel, uint8_t labelIndex, uint8_t pictureIndex)
{
    // Single precision, as the layout was worked out; the results are exact
    // halves of twips for every label of the panel.
    const TwipsRect picture = panel.pictureRect(pictureIndex);
    const TwipsRect label = panel.label1Rect(labelIndex);
    const float left
        = float(picture.left) + float(picture.width) / 2.0f - float(label.width) / 2.0f;
    const float top = float(picture.top) - float(label.height);
    panel.setLabel1Left(labelIndex, left);
    panel.setLabel1Top(labelIndex, top);

    const float height = float(panel.frameTop()) + float(panel.option1Top());
    const TwipsRect output4 = panel.pictureRect(15);
    const TwipsRect output1 = panel.pictureRect(9);
    const float width = float(output4.left) + float(output4.width) + float(output1.left);
    panel.setOuterSize(width, height);
}
