#include "supervision/routing_display.h"

#include "core/controller_state.h"
#include "core/texts.h"
#include "panel/form3.h"

using namespace PanelLayout;

namespace {
// The switcher names the routed input as one bit; any other value (none, or
// several bits) leaves the caption as it was.
const char *captionForSource(uint8_t source)
{
    switch (source) {
    case 1:
        return Texts::InputCaptions[0];
    case 2:
        return Texts::InputCaptions[1];
    case 4:
        return Texts::InputCaptions[2];
    case 8:
        return Texts::InputCaptions[3];
    default:
        return nullptr;
    }
}
} // namespace

void RefreshPanel(const ControllerState &state, Form3 &panel)
{
    const bool shown = state.powerState != 0 && state.linkUp();
    if (!shown) {
        for (int k = 1; k <= 4; ++k)
            panel.setPictureVisible(inputUpFace(k), false);
        for (int k = 1; k <= 4; ++k)
            panel.setPictureVisible(outputUpFace(k), false);
        return;
    }

    for (int k = 1; k <= 4; ++k)
        panel.setPictureVisible(inputUpFace(k), state.inputFlags[k - 1] != 0);
    for (int k = 1; k <= 4; ++k)
        panel.setPictureVisible(outputUpFace(k), state.outputFlags[k - 1] != 0);

    const uint8_t sources[4]
        = { state.outputSource1, state.outputSource2, state.outputSource3, state.outputSource4 };
    for (int k = 0; k < 4; ++k) {
        if (const char *caption = captionForSource(sources[k]))
            panel.setLabel2Caption(k, QString::fromLatin1(caption));
    }
}
