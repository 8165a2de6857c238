#include "panel/routing_display.h"

#include "core/shown_state.h"
#include "core/texts.h"
#include "panel/form3.h"

using namespace PanelLayout;

void RefreshPanel(const ShownState &shown, Form3 &panel)
{
    for (int k = 1; k <= 4; ++k)
        panel.setPictureVisible(inputUpFace(k), shown.inputLit[k - 1]);
    for (int k = 1; k <= 4; ++k)
        panel.setPictureVisible(outputUpFace(k), shown.outputLit[k - 1]);
    // A caption that names no input yet keeps its design text; the others
    // are set again unchanged, which costs nothing.
    for (int k = 0; k < 4; ++k) {
        if (const int input = shown.shownInput[k])
            panel.setLabel2Caption(k, QString::fromLatin1(Texts::InputCaptions[input - 1]));
    }
}
