#include "panel/panel_view.h"

#include "core/names.h"
#include "panel/form1.h"
#include "panel/form3.h"
#include "panel/label_placement.h"
#include "panel/output_layout.h"
#include "panel/routing_display.h"
#include "session/switcher_session.h"

#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPanel, "matrix.panel", QtWarningMsg)

using namespace PanelLayout;

namespace {
const QColor InputColour(0, 200, 0);
const QColor OutputColour(0, 0, 255);
const QColor SelectedColour(255, 0, 0);
} // namespace

PanelView::PanelView(SwitcherSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_panel(std::make_unique<Form3>())
    , m_form1(std::make_unique<Form1>())
    , m_routeSelection(session.state(), *m_panel, *this)
{
    m_panel->setRouteSelection(&m_routeSelection);
    connect(m_panel.get(), &Form3::closeRequested, &session, &SwitcherSession::endProgram);
    connect(m_form1.get(), &Form1::closeRequested, &session, &SwitcherSession::endProgram);
    connect(m_panel.get(), &Form3::presetKeyPressed, this, &PanelView::recallPreset);
}

PanelView::~PanelView()
{
    m_panel->setRouteSelection(nullptr);
}

void PanelView::load(const QString &waitingText)
{
    m_form1->label1().setText(waitingText);
    for (const LabelPicturePair &pair : StartupLabelPlacement)
        CenterLabel(*m_panel, pair.label, pair.picture);
}

void PanelView::setWaitingText(const QString &text)
{
    m_form1->label1().setText(text);
}

void PanelView::showPortTried(int number)
{
    m_form1->text1().setText(QString::number(number));
}

void PanelView::describePort(const QString &description)
{
    m_form1->label1().setToolTip(description);
}

void PanelView::showStatusWindow()
{
    if (!m_form1->isVisible())
        m_form1->show();
}

void PanelView::bringUpPanel(int matrixModel, const QString &title)
{
    m_panel->setWindowTitle(title);
    if (matrixModel == 1)
        restoreFourOutputs(*m_panel);
    m_form1->hide();
    m_panel->show();
}

void PanelView::reduceToTwoOutputs()
{
    ::reduceToTwoOutputs(*m_panel);
}

void PanelView::setPanelTitle(const QString &title)
{
    m_panel->setWindowTitle(title);
}

bool PanelView::panelVisible() const
{
    return m_panel->isVisible();
}

void PanelView::hidePanel()
{
    if (m_panel->isVisible())
        m_panel->hide();
}

void PanelView::refresh(const ShownState &shown)
{
    RefreshPanel(shown, *m_panel);
}

void PanelView::showPicked(int input, int output)
{
    for (int k = 1; k <= 4; ++k)
        m_panel->setLabel1Colour(InputLabel[k], input == k ? SelectedColour : InputColour);
    for (int k = 1; k <= 4; ++k)
        m_panel->setLabel1Colour(OutputLabel[k], output == k ? SelectedColour : OutputColour);
    m_panel->setPicked(input, output);
}

void PanelView::setNames(const Names &names)
{
    m_panel->setRouteNames(names.inputs, names.outputs);
}

void PanelView::closeWindows()
{
    m_panel->hide();
    m_form1->hide();
}

void PanelView::setMainTickEnabled(bool enabled)
{
    m_session.setMainTickEnabled(enabled);
}

void PanelView::send(uint8_t x)
{
    m_session.send(x);
}

void PanelView::recallPreset(int place)
{
    Router &router = m_session.router();
    const std::vector<Preset> &presets = router.presets();
    if (place < 1 || place > int(presets.size()))
        return;
    // The panel has nowhere to say why: the switcher's report shows what
    // was done, and the log says what was not.
    const RouterAnswer answer = router.recall(presets[size_t(place) - 1].id);
    if (answer.refusal)
        qCInfo(lcPanel).noquote() << "F" + QString::number(place)
                                  << "recalls nothing:" << answer.refusal->message;
}
